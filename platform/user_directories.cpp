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

}  // namespace

std::optional<std::filesystem::path> applicationSupport(std::optional<std::string_view> xdgDataHome,
                                                        std::optional<std::string_view> home) {
    if (isAbsolute(xdgDataHome)) return std::filesystem::path(*xdgDataHome);
    if (isAbsolute(home)) return std::filesystem::path(*home) / ".local" / "share";
    return std::nullopt;
}

std::filesystem::path applicationSupport() {
    if (auto path = applicationSupport(environmentValue("XDG_DATA_HOME"), environmentValue("HOME"))) return *path;
    const std::optional<std::string> home = accountHome();
    if (auto path = applicationSupport(std::nullopt, home)) return *path;
    throw SystemError("Application Support folder", ENOENT);
}

}  // namespace tarnel::UserDirectories
