#include "helper/runtime/privileged_runtime.hpp"

#include <stdexcept>
#include <utility>

#include "helper/runtime/prepared_runtime_cache.hpp"

namespace tarnel {

std::shared_ptr<const Clock> PrivilegedRuntimeEnvironment::systemClock() {
    // Not owned: the system clock lives for the whole process.
    return std::shared_ptr<const Clock>(std::shared_ptr<const Clock>(), &SystemClock::shared());
}

std::shared_ptr<PreparedRuntimeCache> PrivilegedRuntimeEnvironment::sharedPreparedRuntimes() {
    return std::shared_ptr<PreparedRuntimeCache>(std::shared_ptr<PreparedRuntimeCache>(),
                                                 &PreparedRuntimeCache::shared());
}

PrivilegedRuntime::PrivilegedRuntime(PrivilegedRuntimeEnvironment environment, std::filesystem::path applicationURL,
                                     std::shared_ptr<const codesign::StaticCode> applicationStaticCode,
                                     std::optional<std::string> applicationCodeIdentity,
                                     std::optional<std::uint32_t> clientUserIdentifier)
    : environment_(std::move(environment)),
      applicationURL_(std::move(applicationURL)),
      applicationStaticCode_(std::move(applicationStaticCode)),
      applicationCodeIdentity_(std::move(applicationCodeIdentity)),
      clientUserIdentifier_(clientUserIdentifier) {
    if (!environment_.codeSigning || !environment_.clock || !environment_.preparedRuntimes) {
        throw std::invalid_argument("a privileged runtime needs a code-signing service, a clock and a cache");
    }
}

PrivilegedRuntime PrivilegedRuntime::forApplication(PrivilegedRuntimeEnvironment environment,
                                                    const ClientCodeValidator::ValidatedApplication& application,
                                                    std::uint32_t clientUserIdentifier) {
    return PrivilegedRuntime(std::move(environment), application.url, application.staticCode,
                             application.codeIdentity, clientUserIdentifier);
}

std::shared_ptr<SystemDNSOverride> PrivilegedRuntime::dnsOverride() const {
    if (!environment_.systemConfiguration) {
        throw SystemDNSOverrideError(SystemDNSOverrideError::Case::configurationFailed);
    }
    return std::make_shared<SystemDNSOverride>(runtimeDirectory(), environment_.systemConfiguration);
}

PacketFilterKillSwitch PrivilegedRuntime::killSwitch() const {
    return PacketFilterKillSwitch(runtimeDirectory(), dnsOverride(), environment_.killSwitchServices);
}

KillSwitchWatchdog::Configuration PrivilegedRuntime::watchdogConfiguration(
    const PrivilegedRuntimeEnvironment& environment) {
    KillSwitchWatchdog::Configuration configuration;
    configuration.makeKillSwitch = [environment] { return forLaunchRecovery(environment).killSwitch(); };
    configuration.stopTunnel = [environment] { forLaunchRecovery(environment).stopTunnel(); };
    return configuration;
}

PrivilegedRuntime PrivilegedRuntime::forLaunchRecovery(PrivilegedRuntimeEnvironment environment) {
    return PrivilegedRuntime(std::move(environment), "/", nullptr, std::nullopt, std::nullopt);
}

}  // namespace tarnel
