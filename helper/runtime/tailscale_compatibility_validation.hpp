#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/startup_control.hpp"
#include "helper/runtime/tailscale_validation_result.hpp"
#include "platform/codesign/code_signing.hpp"

// The check that the Tailscale running beside a tunnel start is the genuine,
// signed Tailscale with its network extension running, that the connected VPN
// profile is its own, and what its command-line tool, run as the connecting
// user, reports: the relay map and the peers, which become the underlay
// endpoints the kill switch lets through. Tailscale's files, profile and
// processes are only read; nothing on the system is changed.
namespace tarnel::ClientCodeValidator {

inline constexpr std::string_view tailscaleApplicationBundleIdentifier = "io.tailscale.ipn.macsys";
inline constexpr std::string_view tailscaleExtensionBundleIdentifier = "io.tailscale.ipn.macsys.network-extension";
inline constexpr std::string_view tailscaleTeamIdentifier = "W5364U7YZB";
inline constexpr std::int64_t scutilOutputLimit = 262'144;
inline constexpr std::int64_t tailscaleToolOutputLimit = 2'097'152;

// Where Tailscale is installed. The fixed macOS locations lie under `root`,
// which is "/" in production; tests point it at a fixture tree.
struct TailscaleInstallation {
    std::filesystem::path root = "/";

    // "<root>/Applications/Tailscale.app", standardized.
    [[nodiscard]] std::filesystem::path applicationURL() const;
    // The extension bundle inside the application.
    [[nodiscard]] std::filesystem::path extensionURL() const;
    // "<root>/Library/SystemExtensions/": running extensions lie below it.
    [[nodiscard]] std::string liveExtensionPrefix() const;
};

// `identifier "<identifier>" and anchor apple generic and certificate
// leaf[subject.OU] = "<team>"`.
[[nodiscard]] std::string requirement(std::string_view identifier, std::string_view teamIdentifier);

// Logs "tailscale_validation stage=<stage>" (and " <detail>" when one is
// given) at error level and returns tailscaleCompatibilityUnavailable for the
// caller to throw.
[[nodiscard]] PrivilegedRuntimeError logTailscaleValidation(std::string_view stage,
                                                            std::string_view detail = {}) noexcept;

// The whole validation for `regions` (canonical) and `relayRegion`, the
// connecting client's physical interface and user. Throws
// tailscaleCompatibilityUnavailable after logging the failed stage;
// invalidCodeSignature when a static signature check fails or a requirement
// does not compile; the control's tunnelStartupCancelled and
// tunnelStartupDeadlineExceeded unchanged; the SystemError of an lstat of the
// command-line tool that fails.
[[nodiscard]] TailscaleValidationResult validateTailscaleCompatibility(
    const std::vector<std::int64_t>& regions, std::int64_t relayRegion, const std::string& physicalInterface,
    std::uint32_t userIdentifier, const PrivilegedTunnelStartupControl& control,
    const TailscaleInstallation& installation, const codesign::CodeSigning& codeSigning,
    const Clock& clock = SystemClock::shared());

// The static signature check of one bundle (stages
// "tailscale_application_static" and "tailscale_extension_static"), logged in
// the client-validation format. Throws invalidCodeSignature.
void validateTailscaleStaticCode(const std::filesystem::path& url, std::string_view requirementText,
                                 std::string_view stage, const codesign::CodeSigning& codeSigning);

// The tunnel interface of Tailscale's one connected VPN service.
[[nodiscard]] std::string tailscaleTunnelInterface(const PrivilegedTunnelStartupControl& control,
                                                   const Clock& clock = SystemClock::shared());

// The output of "/usr/sbin/scutil" with these arguments; a non-zero exit
// status or a failure of the runner fails `stage`.
[[nodiscard]] std::string runScutil(const std::vector<std::string>& arguments, std::string_view stage,
                                    const PrivilegedTunnelStartupControl& control,
                                    const Clock& clock = SystemClock::shared());

// The one executable location of the running, validly signed Tailscale
// network extensions (several processes of one executable count once).
[[nodiscard]] std::filesystem::path validateLiveTailscaleExtension(std::string_view requirementText,
                                                                   const PrivilegedTunnelStartupControl& control,
                                                                   const TailscaleInstallation& installation,
                                                                   const codesign::CodeSigning& codeSigning,
                                                                   const Clock& clock = SystemClock::shared());

// Every process identifier of the system greater than 1, ascending.
[[nodiscard]] std::vector<std::int32_t> allProcessIdentifiers();

}  // namespace tarnel::ClientCodeValidator
