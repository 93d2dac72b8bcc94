#include "platform/user_directories.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/base/error.hpp"

namespace tarnel::UserDirectories {

namespace {

std::optional<std::string_view> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

bool isAbsolute(std::optional<std::string_view> path) { return path && !path->empty() && path->front() == '/'; }

// The home directory of the account of the real user, from the user database.
std::optional<std::string> accountHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
}

// The directory that `fromValues` makes of the XDG variable `variable` and
// HOME, or else of the account's home directory.
template <typename FromValues>
std::filesystem::path userDirectory(const char* variable, FromValues&& fromValues, const char* description) {
    if (auto path = fromValues(environmentValue(variable), environmentValue("HOME"))) return *path;
    const std::optional<std::string> home = accountHome();
    if (auto path = fromValues(std::nullopt, home)) return *path;
    throw SystemError(description, ENOENT);
}

// The XDG directory when its variable holds an absolute path, else the
// directory `underHome` of an absolute home directory.
std::optional<std::filesystem::path> xdgDirectory(std::optional<std::string_view> xdgValue,
                                                  std::optional<std::string_view> home,
                                                  const std::filesystem::path& underHome) {
    if (isAbsolute(xdgValue)) return std::filesystem::path(*xdgValue);
    if (isAbsolute(home)) return std::filesystem::path(*home) / underHome;
    return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> applicationSupport(std::optional<std::string_view> xdgDataHome,
                                                        std::optional<std::string_view> home) {
    return xdgDirectory(xdgDataHome, home, std::filesystem::path(".local") / "share");
}

std::filesystem::path applicationSupport() {
    return userDirectory(
        "XDG_DATA_HOME", [](auto xdg, auto home) { return applicationSupport(xdg, home); },
        "Application Support folder");
}

std::optional<std::filesystem::path> preferences(std::optional<std::string_view> xdgConfigHome,
                                                 std::optional<std::string_view> home) {
    return xdgDirectory(xdgConfigHome, home, ".config");
}

std::filesystem::path preferences() {
    return userDirectory(
        "XDG_CONFIG_HOME", [](auto xdg, auto home) { return preferences(xdg, home); }, "Preferences folder");
}

}  // namespace tarnel::UserDirectories
