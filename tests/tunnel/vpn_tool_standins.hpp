#pragma once

// The scutil and Tailscale stand-ins in place of the system's tools, over
// documents that a test writes, with their calls and processes recorded.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/files.hpp"
#include "common/process/system_tools.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

inline constexpr std::string_view kTailscaleServiceLine =
    "* (Connected)      6f1c5c1e-8a4e-4c2e-9a43-1c0b4e7d2a10 VPN (io.tailscale.ipn.macsys) \"Tailscale\"  "
    "[VPN:io.tailscale.ipn.macsys]\n";
inline constexpr std::string_view kPreferences = R"({"ExitNodeID": "", "ExitNodeIP": "", "WantRunning": true})";
inline constexpr std::string_view kStatus =
    R"({"BackendState": "Running", "Self": {"Online": true, "Relay": "fra", "HostName": "mac"}})";
inline constexpr std::string_view kDERPMap = R"({"Regions": {
  "3": {"RegionID": 3, "RegionCode": "fra", "RegionName": "Frankfurt", "Nodes": []},
  "1": {"RegionID": 1, "RegionCode": "nyc", "RegionName": "New York City", "Nodes": []}}})";

class VPNToolStandIns {
public:
    // Tailscale connected, with the documents above.
    VPNToolStandIns() {
        SystemTools::map(SystemTools::scutil, TARNEL_STANDIN_SCUTIL);
        SystemTools::map(SystemTools::tailscale, TARNEL_STANDIN_TAILSCALE);
        set("TARNEL_SCUTIL_LIST", directory_ / "scutil-list");
        set("TARNEL_SCUTIL_CALLS", scutilCalls());
        set("TARNEL_SCUTIL_PID_FILE", directory_ / "scutil-pid");
        set("TARNEL_TAILSCALE_PREFS", directory_ / "prefs");
        set("TARNEL_TAILSCALE_STATUS", directory_ / "status");
        set("TARNEL_TAILSCALE_DERP_MAP", directory_ / "derp-map");
        set("TARNEL_TAILSCALE_CALLS", tailscaleCalls());
        set("TARNEL_TAILSCALE_PID_FILE", directory_ / "tailscale-pid");
        writeServiceList(std::string(kTailscaleServiceLine));
        writeDocuments(kPreferences, kStatus, kDERPMap);
    }
    ~VPNToolStandIns() {
        for (const char* name : kVariables) ::unsetenv(name);
        SystemTools::clearMappings();
    }
    VPNToolStandIns(const VPNToolStandIns&) = delete;
    VPNToolStandIns& operator=(const VPNToolStandIns&) = delete;

    void writeServiceList(const std::string& text) const { files::writeAtomically(directory_ / "scutil-list", text); }
    void writeDocuments(std::string_view preferences, std::string_view status, std::string_view derpMap) const {
        files::writeAtomically(directory_ / "prefs", preferences);
        files::writeAtomically(directory_ / "status", status);
        files::writeAtomically(directory_ / "derp-map", derpMap);
    }
    static void setScutil(const char* name, const char* value) { ::setenv(name, value, 1); }
    static void setTailscaleFaults(const char* faults) { ::setenv("TARNEL_TAILSCALE_FAULTS", faults, 1); }
    // Runs Tailscale's tool from `path` instead of the stand-in.
    static void mapTailscale(const std::filesystem::path& path) { SystemTools::map(SystemTools::tailscale, path); }
    static void mapScutil(const std::filesystem::path& path) { SystemTools::map(SystemTools::scutil, path); }

    [[nodiscard]] std::filesystem::path scutilCalls() const { return directory_ / "scutil-calls"; }
    [[nodiscard]] std::filesystem::path tailscaleCalls() const { return directory_ / "tailscale-calls"; }
    // The calls recorded in the file, as one text ("" when none was made).
    [[nodiscard]] static std::string calls(const std::filesystem::path& file) {
        return files::readIfExists(file).value_or("");
    }
    // The process of the stand-in's last call, once it has written it.
    [[nodiscard]] std::optional<pid_t> scutilProcess() const { return pidIn(directory_ / "scutil-pid"); }
    [[nodiscard]] std::optional<pid_t> tailscaleProcess() const { return pidIn(directory_ / "tailscale-pid"); }
    [[nodiscard]] const TemporaryDirectory& directory() const noexcept { return directory_; }

private:
    static constexpr const char* kVariables[] = {
        "TARNEL_SCUTIL_LIST",        "TARNEL_SCUTIL_CALLS",       "TARNEL_SCUTIL_PID_FILE",    "TARNEL_SCUTIL_SLEEP",
        "TARNEL_SCUTIL_EXIT_STATUS", "TARNEL_TAILSCALE_PREFS",    "TARNEL_TAILSCALE_STATUS",   "TARNEL_TAILSCALE_DERP_MAP",
        "TARNEL_TAILSCALE_CALLS",    "TARNEL_TAILSCALE_PID_FILE", "TARNEL_TAILSCALE_FAULTS",
    };

    static void set(const char* name, const std::filesystem::path& value) { ::setenv(name, value.c_str(), 1); }
    static std::optional<pid_t> pidIn(const std::filesystem::path& file) {
        const std::string text = files::readIfExists(file).value_or("");
        if (text.empty() || text.back() != '\n') return std::nullopt;
        return static_cast<pid_t>(std::stol(text));
    }

    TemporaryDirectory directory_;
};

}  // namespace tarnel::testing
