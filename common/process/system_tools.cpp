#include "common/process/system_tools.hpp"

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tarnel::SystemTools {

namespace {

std::mutex gMutex;
std::map<std::string, std::filesystem::path>& mappings() {
    static std::map<std::string, std::filesystem::path> table;
    return table;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kTools{{
    {route, "route"},
    {scutil, "scutil"},
    {netstat, "netstat"},
    {pfctl, "pfctl"},
    {networksetup, "networksetup"},
    {launchctl, "launchctl"},
    {tailscale, "tailscale"},
    {systemctl, "systemctl"},
}};

}  // namespace

std::span<const std::pair<std::string_view, std::string_view>> toolsByShortName() noexcept { return kTools; }

std::filesystem::path resolve(const std::filesystem::path& systemPath) {
    std::lock_guard lock(gMutex);
    const auto found = mappings().find(systemPath.string());
    return found == mappings().end() ? systemPath : found->second;
}

void map(const std::filesystem::path& systemPath, const std::filesystem::path& hostPath) {
    std::lock_guard lock(gMutex);
    mappings()[systemPath.string()] = hostPath;
}

void mapAllInto(const std::filesystem::path& directory) {
    std::lock_guard lock(gMutex);
    for (const auto& [systemPath, name] : kTools) {
        mappings()[std::string(systemPath)] = directory / name;
    }
}

void clearMappings() {
    std::lock_guard lock(gMutex);
    mappings().clear();
}

}  // namespace tarnel::SystemTools
