#include "app/state/app_environment.hpp"

#include <cstdlib>
#include <utility>

#include "app/tunnel/competing_vpn_detector.hpp"
#include "app/tunnel/privileged_helper_installer.hpp"

namespace tarnel {

void AppEnvironment::useApplicationConnectServices(std::shared_ptr<const PrivilegedHelperClient> client) {
    helper = client;
    networkConnectionList = [] { return CompetingVPNDetector::networkConnectionList(); };
    ensureHelper = [client = std::move(client)] {
        return PrivilegedHelperInstaller::forApplication(*client).ensureHelper();
    };
}

std::shared_ptr<const Clock> AppEnvironment::systemClock() {
    return {std::shared_ptr<const Clock>(), &SystemClock::shared()};
}

std::optional<std::string> AppEnvironment::processEnvironmentVariable(std::string_view name) {
    const char* const value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace tarnel
