#include "helper/runtime/tailscale_compatibility_validation.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <exception>
#include <optional>
#include <set>
#include <utility>

#include "common/base/error.hpp"
#include "common/base/log.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/interface_names.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "common/process/system_tools.hpp"
#include "helper/protection/tailscale_cli_output.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "platform/info_plist.hpp"

namespace tarnel::ClientCodeValidator {

namespace {

using codesign::CodeSigning;
namespace flags = codesign::flags;
namespace status = codesign::status;

constexpr std::string_view kExtensionBundleName = "io.tailscale.ipn.macsys.network-extension.systemextension";
constexpr std::string_view kSudo = "/usr/bin/sudo";
constexpr std::uint32_t kStaticValidity = flags::allArchitectures | flags::strictValidation;  // 17
constexpr std::uint32_t kLiveValidity = flags::strictValidation;                              // 16

void checkpoint(const PrivilegedTunnelStartupControl& control, const Clock& clock) {
    control.checkpoint(clock.uptime());
}

// The bundle identifier of the bundle directory at `url`; nothing when there
// is no bundle there.
std::optional<std::string> bundleIdentifier(const std::filesystem::path& url) {
    std::error_code error;
    if (!std::filesystem::is_directory(url, error)) return std::nullopt;
    return info_plist::string(url / "Contents" / "Info.plist", "CFBundleIdentifier");
}

// Runs a tool through the bounded command runner for `stage`: a non-zero exit
// status fails the stage with "exit=<status>", a runner failure with
// "runner=<error type>"; the control's own errors pass on.
std::string runStageCommand(const BoundedCommandInvocation& invocation, std::int64_t limit, std::string_view stage,
                            const PrivilegedTunnelStartupControl& control, const Clock& clock) {
    BoundedCommandResult result;
    try {
        result = BoundedCommandRunner::run(invocation, limit, control, clock);
    } catch (const PrivilegedRuntimeError&) {
        throw;
    } catch (const Error& error) {
        throw logTailscaleValidation(stage, "runner=" + std::string(error.typeBaseName()));
    } catch (const std::exception& error) {
        throw logTailscaleValidation(stage, "runner=" + errorTypeName(error));
    }
    if (result.terminationStatus != 0) {
        throw logTailscaleValidation(stage, "exit=" + std::to_string(result.terminationStatus));
    }
    return std::move(result.output);
}

// The application's own executable: the bundle's main executable, inside its
// Contents/MacOS, an executable regular file and not a link. Throws the
// SystemError of an lstat that fails for another reason than a missing file.
std::filesystem::path commandLineTool(const std::filesystem::path& application) {
    const auto executableName = info_plist::string(application / "Contents" / "Info.plist", "CFBundleExecutable");
    if (!executableName || executableName->empty()) throw logTailscaleValidation("command_identity");
    const std::filesystem::path tool = standardized(application / "Contents" / "MacOS" / *executableName);
    if (!tool.native().starts_with(standardized(application).native() + "/Contents/MacOS/")) {
        throw logTailscaleValidation("command_identity");
    }
    struct stat status {};
    if (::stat(tool.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || ::access(tool.c_str(), X_OK) != 0) {
        throw logTailscaleValidation("command_identity");
    }
    if (::lstat(tool.c_str(), &status) != 0) {
        const int error = errno;
        throw SystemError("lstat " + tool.string(), error);
    }
    if (S_ISLNK(status.st_mode)) throw logTailscaleValidation("command_identity");
    return tool;
}

void requireUserContext(std::uint32_t userIdentifier, const std::filesystem::path& tool) {
    if (userIdentifier == 0 || !tool.is_absolute()) throw logTailscaleValidation("user_context");
}

// The tool's command as the user: launchctl asuser, then sudo to that user.
BoundedCommandInvocation asUser(std::uint32_t userIdentifier, const std::filesystem::path& tool,
                                std::vector<std::string> toolArguments) {
    const std::string user = std::to_string(userIdentifier);
    std::vector<std::string> arguments = {"asuser", user, std::string(kSudo), "-n", "-H", "-u", "#" + user, "--",
                                          tool.string()};
    arguments.insert(arguments.end(), std::make_move_iterator(toolArguments.begin()),
                     std::make_move_iterator(toolArguments.end()));
    return BoundedCommandInvocation{std::string(SystemTools::launchctl), std::move(arguments)};
}

std::vector<std::int32_t> numericEntries(const std::filesystem::path& directory) {
    std::vector<std::int32_t> identifiers;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::int32_t value = 0;
        const auto [rest, failure] = std::from_chars(name.data(), name.data() + name.size(), value);
        if (failure == std::errc{} && rest == name.data() + name.size() && name.front() != '0') {
            identifiers.push_back(value);
        }
    }
    return identifiers;
}

}  // namespace

std::filesystem::path TailscaleInstallation::applicationURL() const {
    return standardized(root / "Applications" / "Tailscale.app");
}

std::filesystem::path TailscaleInstallation::extensionURL() const {
    return applicationURL() / "Contents" / "Library" / "SystemExtensions" / kExtensionBundleName;
}

std::string TailscaleInstallation::liveExtensionPrefix() const {
    return standardized(root / "Library" / "SystemExtensions").native() + "/";
}

std::string requirement(std::string_view identifier, std::string_view teamIdentifier) {
    return "identifier \"" + std::string(identifier) + "\" and anchor apple generic " +
           "and certificate leaf[subject.OU] = \"" + std::string(teamIdentifier) + "\"";
}

PrivilegedRuntimeError logTailscaleValidation(std::string_view stage, std::string_view detail) noexcept {
    try {
        static const Log logger{std::string(logSubsystem), std::string(logCategory)};
        std::string text = "tailscale_validation stage=" + std::string(stage);
        if (!detail.empty()) text += " " + std::string(detail);
        logger.error(text);
    } catch (...) {
        // Logging never fails its caller.
    }
    return PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tailscaleCompatibilityUnavailable);
}

TailscaleValidationResult validateTailscaleCompatibility(const std::vector<std::int64_t>& regions,
                                                         std::int64_t relayRegion,
                                                         const std::string& physicalInterface,
                                                         std::uint32_t userIdentifier,
                                                         const PrivilegedTunnelStartupControl& control,
                                                         const TailscaleInstallation& installation,
                                                         const CodeSigning& codeSigning, const Clock& clock) {
    checkpoint(control, clock);
    if (!InterfaceNames::isPhysical(physicalInterface)) throw logTailscaleValidation("physical_interface");

    const std::filesystem::path application = installation.applicationURL();
    const std::filesystem::path extension = installation.extensionURL();
    if (bundleIdentifier(application) != tailscaleApplicationBundleIdentifier ||
        bundleIdentifier(extension) != tailscaleExtensionBundleIdentifier) {
        throw logTailscaleValidation("bundle_identity");
    }
    const std::string applicationRequirementText =
        requirement(tailscaleApplicationBundleIdentifier, tailscaleTeamIdentifier);
    const std::string extensionRequirementText = requirement(tailscaleExtensionBundleIdentifier, tailscaleTeamIdentifier);
    validateTailscaleStaticCode(application, applicationRequirementText, "tailscale_application_static", codeSigning);
    checkpoint(control, clock);
    validateTailscaleStaticCode(extension, extensionRequirementText, "tailscale_extension_static", codeSigning);
    checkpoint(control, clock);

    std::string tunnelInterface = tailscaleTunnelInterface(control, clock);
    (void)validateLiveTailscaleExtension(extensionRequirementText, control, installation, codeSigning, clock);

    const std::filesystem::path tool = commandLineTool(application);
    requireUserContext(userIdentifier, tool);
    const std::string derpMap = runStageCommand(asUser(userIdentifier, tool, {"debug", "derp-map"}),
                                                tailscaleToolOutputLimit, "derp_map_command", control, clock);
    if (derpMap.empty()) throw logTailscaleValidation("derp_map_empty");
    checkpoint(control, clock);
    requireUserContext(userIdentifier, tool);
    const std::string status = runStageCommand(asUser(userIdentifier, tool, {"status", "--json"}),
                                               tailscaleToolOutputLimit, "status_command", control, clock);
    if (status.empty()) throw logTailscaleValidation("status_empty");
    checkpoint(control, clock);

    // The parsers' own errors are replaced by the stage that failed.
    std::vector<TailscaleUnderlayEndpoint> endpoints;
    try {
        endpoints = PrivilegedHelperContract::tailscaleUnderlayEndpointsFromDERPMap(derpMap, regions, relayRegion);
    } catch (const std::exception&) {
        throw logTailscaleValidation("derp_map_parse");
    }
    std::vector<TailscaleUnderlayEndpoint> peers;
    try {
        peers = PrivilegedHelperContract::tailscaleUnderlayEndpointsFromStatus(status);
    } catch (const std::exception&) {
        throw logTailscaleValidation("status_parse");
    }
    endpoints.insert(endpoints.end(), std::make_move_iterator(peers.begin()), std::make_move_iterator(peers.end()));
    try {
        endpoints = TailscaleUnderlayEndpoint::validatedList(endpoints);
    } catch (const std::exception&) {
        throw logTailscaleValidation("underlay_parse");
    }
    return TailscaleValidationResult{std::move(endpoints), std::move(tunnelInterface)};
}

void validateTailscaleStaticCode(const std::filesystem::path& url, std::string_view requirementText,
                                 std::string_view stage, const CodeSigning& codeSigning) {
    (void)staticCode(url, requirementText, stage, kStaticValidity, codeSigning);
}

std::string tailscaleTunnelInterface(const PrivilegedTunnelStartupControl& control, const Clock& clock) {
    const std::string list =
        utf8::decodeReplacingInvalid(runScutil({"--nc", "list"}, "profile_list_command", control, clock));
    const auto service =
        PrivilegedHelperContract::connectedVPNServiceIdentifier(list, tailscaleApplicationBundleIdentifier);
    if (!service) throw logTailscaleValidation("profile_lookup");
    const std::string serviceStatus =
        utf8::decodeReplacingInvalid(runScutil({"--nc", "status", *service}, "profile_status_command", control, clock));
    auto name = PrivilegedHelperContract::tunnelInterfaceNameFromScutilStatus(serviceStatus);
    if (!name) throw logTailscaleValidation("tunnel_interface");
    return std::move(*name);
}

std::string runScutil(const std::vector<std::string>& arguments, std::string_view stage,
                      const PrivilegedTunnelStartupControl& control, const Clock& clock) {
    return runStageCommand(BoundedCommandInvocation{std::string(SystemTools::scutil), arguments}, scutilOutputLimit,
                           stage, control, clock);
}

std::filesystem::path validateLiveTailscaleExtension(std::string_view requirementText,
                                                     const PrivilegedTunnelStartupControl& control,
                                                     const TailscaleInstallation& installation,
                                                     const CodeSigning& codeSigning, const Clock& clock) {
    checkpoint(control, clock);
    const auto compiled = codeSigning.createRequirement(requirementText, flags::none);
    if (compiled.status != status::success || !compiled.value) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::invalidCodeSignature);
    }
    const std::string prefix = installation.liveExtensionPrefix();
    std::set<std::string> validated;
    for (const std::int32_t processIdentifier : allProcessIdentifiers()) {
        checkpoint(control, clock);
        const auto executable = executableURL(processIdentifier);
        if (!executable || executable->filename() != tailscaleExtensionBundleIdentifier) continue;
        const std::filesystem::path location = standardized(*executable);
        if (!location.native().starts_with(prefix)) continue;
        const auto guest = codeSigning.copyGuest(processIdentifier, flags::none);
        if (guest.status != status::success || !guest.value) continue;
        if (codeSigning.checkValidity(*guest.value, kLiveValidity, compiled.value.get()) != status::success) continue;
        validated.insert(location.native());
    }
    if (validated.size() != 1) {
        throw logTailscaleValidation("live_extension", "validated_count=" + std::to_string(validated.size()));
    }
    return *validated.begin();
}

std::vector<std::int32_t> allProcessIdentifiers() {
    std::vector<std::int32_t> identifiers = numericEntries("/proc");
    std::erase_if(identifiers, [](std::int32_t identifier) { return identifier <= 1; });
    std::sort(identifiers.begin(), identifiers.end());
    return identifiers;
}

}  // namespace tarnel::ClientCodeValidator
