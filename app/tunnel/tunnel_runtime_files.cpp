#include "app/tunnel/tunnel_runtime_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <vector>

#include "app/tunnel/sing_box_config.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/cancellation_error.hpp"
#include "common/process/system_tools.hpp"
#include "platform/user_directories.hpp"

namespace tarnel::TunnelRuntimeFiles {

namespace {

[[noreturn]] void fail(const char* operation, const std::filesystem::path& path) {
    const int error = errno;
    throw SystemError(std::string(operation) + " " + path.string(), error);
}

// Creates `path` and the directories missing above it with mode 0700 (set
// explicitly, so a umask cannot narrow it); a directory that is already there
// keeps its mode.
void createDirectories(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return;
        errno = ENOTDIR;
        fail("mkdir", path);
    }
    if (errno != ENOENT) fail("stat", path);
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) createDirectories(parent);
    if (::mkdir(path.c_str(), 0700) != 0) {
        // Made by someone else meanwhile: judged like one that was there.
        if (errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return;
        fail("mkdir", path);
    }
    // The mode goes on the directory just made, never through a link put in its place.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || ::fchmod(fd.get(), 0700) != 0) fail("chmod", path);
}

// Splits a line at blanks and tabs, dropping empty fields.
std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t end = line.find_first_of(" \t", start);
        const std::size_t stop = end == std::string_view::npos ? line.size() : end;
        if (stop > start) fields.push_back(line.substr(start, stop - start));
        start = stop + 1;
    }
    return fields;
}

using Run = std::function<BoundedCommandResult(const BoundedCommandInvocation&)>;

// Runs `netstat -rn -f inet` through `run` and reads the default interface.
// The runner's cancellation and deadline errors are thrown; any other failure
// and a non-zero exit status give none.
std::optional<std::string> readDefaultInterface(const Run& run) {
    const BoundedCommandInvocation invocation{std::string(SystemTools::netstat), {"-rn", "-f", "inet"}};
    BoundedCommandResult result;
    try {
        result = run(invocation);
    } catch (const CancellationError&) {
        throw;
    } catch (const TailscaleCompatibilityError&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (result.terminationStatus != 0) return std::nullopt;
    return defaultIPv4InterfaceFromNetstat(result.output);
}

}  // namespace

std::filesystem::path directoryURL() { return UserDirectories::applicationSupport() / kDirectoryName; }

std::filesystem::path tunnelConfigurationURL() { return directoryURL() / kTunnelConfigurationName; }

std::filesystem::path proxyConfigurationURL() { return directoryURL() / kProxyConfigurationName; }

std::filesystem::path attemptConfigurationURL(const Uuid& attemptID) {
    return directoryURL() / ("tun-config-" + attemptID.text() + ".json");
}

void createDirectory() { createDirectories(directoryURL()); }

void writeConfigurationFile(const std::filesystem::path& url, std::string_view contents) {
    files::writeAtomically(url, contents, 0600);
    // The file is private whatever the temporary file's creation gave it; set
    // on the file itself, never through a link put in its place.
    UniqueFd fd(::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fchmod(fd.get(), 0600) != 0) fail("chmod", url);
}

std::filesystem::path writeTunnelConfiguration(const RouteNode& route, std::optional<double> detectInterface,
                                               const Clock& clock) {
    const std::filesystem::path url = tunnelConfigurationURL();
    createDirectory();
    const double deadline = detectInterface.value_or(clock.uptime() + kInterfaceDetectionSeconds);
    const std::optional<std::string> interface = readDefaultInterface([&](const BoundedCommandInvocation& invocation) {
        return BoundedCommandRunner::runConfigurationFileCommand(invocation, kNetstatOutputCap, deadline, clock);
    });
    writeConfigurationFile(url, SingBoxConfig::tunnelConfiguration(route, interface));
    return url;
}

std::filesystem::path writeProxyConfiguration(const RouteNode& route, const Clock& clock) {
    createDirectory();
    const double deadline = clock.uptime() + kInterfaceDetectionSeconds;
    std::optional<std::string> interface;
    try {
        interface = readDefaultInterface([&](const BoundedCommandInvocation& invocation) {
            return BoundedCommandRunner::runConfigurationFileCommand(invocation, kNetstatOutputCap, deadline, clock);
        });
    } catch (const std::exception&) {
        // Proxy mode never fails for want of an interface.
    }
    const std::filesystem::path url = proxyConfigurationURL();
    writeConfigurationFile(url, SingBoxConfig::proxyConfiguration(route, interface));
    return url;
}

std::optional<std::string> defaultIPv4Interface(double deadlineUptime, const std::stop_token& stop,
                                                const Clock& clock) {
    return readDefaultInterface([&](const BoundedCommandInvocation& invocation) {
        return BoundedCommandRunner::runConnectionPlanCommand(invocation, kNetstatOutputCap, deadlineUptime, stop,
                                                              clock);
    });
}

std::optional<std::string> defaultIPv4InterfaceFromNetstat(std::string_view output) {
    const std::string text = utf8::decodeReplacingInvalid(output);
    for (const std::string_view line : PrivilegedHelperContract::outputLines(text)) {
        const std::vector<std::string_view> fields = fieldsOf(line);
        if (fields.size() < 4) continue;
        if (fields.front() == "default" && SingBoxConfig::isDottedQuad(fields[1]) && fields.back().starts_with("en")) {
            return std::string(fields.back());
        }
    }
    return std::nullopt;
}

}  // namespace tarnel::TunnelRuntimeFiles
