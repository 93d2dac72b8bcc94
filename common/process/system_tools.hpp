#pragma once

#include <filesystem>
#include <span>
#include <string_view>
#include <utility>

namespace tarnel::SystemTools {

// The system tools keep their macOS paths everywhere in the code: in
// invocations, in logs and in what tests assert. `resolve` is the one point
// that maps such a path to where the tool lives on this host (the stand-in
// tools in tests and in the demo); a path without a mapping is used as it is.
// On Linux the route tool is tarnel-route (tools/route), mapped in with `map`.
inline constexpr std::string_view route = "/sbin/route";
inline constexpr std::string_view scutil = "/usr/sbin/scutil";
inline constexpr std::string_view netstat = "/usr/sbin/netstat";
inline constexpr std::string_view pfctl = "/sbin/pfctl";
inline constexpr std::string_view networksetup = "/usr/sbin/networksetup";
inline constexpr std::string_view launchctl = "/bin/launchctl";
inline constexpr std::string_view tailscale = "/Applications/Tailscale.app/Contents/MacOS/Tailscale";
// Linux only: the service manager, through which the application registers the helper.
inline constexpr std::string_view systemctl = "/usr/bin/systemctl";
// curl is the real tool on every host (the local proxy's readiness probe runs
// it); tests map it with `map` to a program that records its calls. It has no
// stand-in, so it is not among the short names below.
inline constexpr std::string_view curl = "/usr/bin/curl";

// Every tool above with its short name: (system path, short name).
[[nodiscard]] std::span<const std::pair<std::string_view, std::string_view>> toolsByShortName() noexcept;

// Where the tool at `systemPath` is run from. Thread-safe.
[[nodiscard]] std::filesystem::path resolve(const std::filesystem::path& systemPath);

// Runs the tool at `systemPath` from `hostPath` instead.
void map(const std::filesystem::path& systemPath, const std::filesystem::path& hostPath);

// Runs every tool listed above from `directory`, under its short name:
// "route", "scutil", "netstat", "pfctl", "networksetup", "launchctl",
// "tailscale", "systemctl".
void mapAllInto(const std::filesystem::path& directory);

// Removes every mapping.
void clearMappings();

// Installs mappings for the life of the object and removes all mappings when
// it ends (tests).
class ScopedMapping {
public:
    ScopedMapping(const std::filesystem::path& systemPath, const std::filesystem::path& hostPath) {
        map(systemPath, hostPath);
    }
    explicit ScopedMapping(const std::filesystem::path& directory) { mapAllInto(directory); }
    ~ScopedMapping() { clearMappings(); }
    ScopedMapping(const ScopedMapping&) = delete;
    ScopedMapping& operator=(const ScopedMapping&) = delete;
};

}  // namespace tarnel::SystemTools
