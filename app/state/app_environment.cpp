#include "app/state/app_environment.hpp"

#include <cstdlib>
#include <random>
#include <utility>

#include "app/tunnel/competing_vpn_detector.hpp"
#include "app/tunnel/privileged_helper_installer.hpp"

namespace tarnel {

int AppEnvironment::uniformFailoverPauseJitter() {
    std::random_device source;
    return std::uniform_int_distribution<int>(0, 400)(source);
}

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

AppEnvironment::SubscriptionFetch AppEnvironment::subscriptionFetcher(std::shared_ptr<const HttpClient> http,
                                                                    std::shared_ptr<const Clock> clock,
                                                                    std::optional<std::string> trustRootSPKI,
                                                                    ManifestSleeper sleeper) {
    // The fetcher refers to the HTTP layer and the clock, which the function owns.
    auto fetcher = std::make_shared<const SubscriptionFetcher>(*http, std::move(sleeper), *clock, std::move(trustRootSPKI));
    return [http = std::move(http), clock = std::move(clock), fetcher = std::move(fetcher)](
               const SubscriptionFetchRequest& request, std::stop_token stop) {
        return fetcher->fetchSubscriptionText(request.url, request.signedOnly, request.origins, request.savedRevision,
                                              request.savedFloor, std::move(stop));
    };
}

}  // namespace tarnel
