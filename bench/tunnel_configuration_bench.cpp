// The TUN-mode configuration of one route, built by the application and
// checked by the validator that both programs run before a tunnel starts:
// once per transport kind, on the routes the configuration tests use.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "app/tunnel/sing_box_config.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "tests/tunnel/sample_routes.hpp"

namespace tarnel {
namespace {

void BuildAndValidate(benchmark::State& state, RouteTransport transport) {
    const RouteNode route = testing::sampleRoute(transport);
    const std::optional<std::string> interface = "en0";
    try {
        for (auto _ : state) {
            const std::string document = SingBoxConfig::tunnelConfiguration(route, interface);
            benchmark::DoNotOptimize(PrivilegedTunnelConfigurationValidator::validate(document));
        }
    } catch (const Error& error) {
        state.SkipWithError(error.message().c_str());
    }
}

[[maybe_unused]] const bool registered = [] {
    for (const RouteTransport transport : kAllRouteTransports) {
        const std::string name = "TunnelConfiguration/" + std::string(rawValue(transport));
        benchmark::RegisterBenchmark(name.c_str(), BuildAndValidate, transport)->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace
}  // namespace tarnel
