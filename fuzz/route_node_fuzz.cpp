// A stored route (the application's saved selection) read back with
// RouteNode::fromJson: never crashes, fails only with the JSON reader's
// error, reads back from its own stored form, and everything built from it
// (names, the sing-box documents) is built or refused with the builder's own
// errors. A TUN document the helper's validator accepts names the route's
// own server and port.

#include <cstddef>
#include <cstdint>

#include "app/catalog/route_model.hpp"
#include "app/tunnel/sing_box_config.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RouteNode route;
    try {
        route = RouteNode::fromJson(json::parse(fuzz::bytesOf(data, size)));
    } catch (const json::JsonError&) {
        return 0;
    }
    require(RouteNode::fromJson(json::parse(json::writeCanonical(route.toJson()))) == route,
            "a route reads back from its stored form", route.id);

    static_cast<void>(route.regionCode());
    static_cast<void>(route.displayTitle());
    static_cast<void>(route.diagnosticDescription());
    static_cast<void>(RouteNode::maskedHost(route.server));

    for (const std::optional<std::string>& interface : {std::optional<std::string>(), std::optional<std::string>("en1")}) {
        try {
            static_cast<void>(SingBoxConfig::proxyConfiguration(route, interface));
            const std::string configuration = SingBoxConfig::tunnelConfiguration(route, interface);
            try {
                const auto accepted = PrivilegedTunnelConfigurationValidator::validate(configuration);
                require(accepted.endpoint == route.server, "an accepted TUN document's endpoint is the route's server",
                        route.server);
                require(accepted.endpointPort == route.port, "an accepted TUN document's port is the route's port");
                require(accepted.defaultInterface == interface, "an accepted TUN document pins the given interface");
            } catch (const PrivilegedHelperContractError&) {
            }
        } catch (const SingBoxConfigError&) {
        } catch (const json::JsonError&) {
        }
    }
    return 0;
}
