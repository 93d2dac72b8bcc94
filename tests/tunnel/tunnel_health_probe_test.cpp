#include "app/tunnel/tunnel_health_probe.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tunnel/deployment_configuration.hpp"

namespace tarnel {
namespace {

TEST(TunnelHealthProbe, NamesTheFailedChecksInTheirFixedOrder) {
    const TunnelHealthCheck pass{true, 0.1};
    const TunnelHealthCheck fail{false, 0.1};
    const struct {
        TunnelHealthProbe::Result checks;
        std::vector<std::string> names;
    } cases[] = {
        {{pass, pass, pass}, {}},
        {{fail, pass, fail}, {"IP route", "HTTPS"}},
        {{pass, fail, fail}, {"DNS", "HTTPS"}},
        {{fail, fail, fail}, {"IP route", "DNS", "HTTPS"}},
    };
    for (const auto& [checks, names] : cases) EXPECT_EQ(TunnelHealthProbe::failedCheckNames(checks), names);
}

TEST(TraceProbeURL, CarriesTheProbesUpperCaseUUIDAndBracketsAnIPv6Host) {
    const auto probe = Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
    ASSERT_TRUE(probe);
    EXPECT_EQ(traceProbeURL("trace.tarnel.test", *probe),
              "https://trace.tarnel.test/cdn-cgi/trace?tarnel_probe=0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
    EXPECT_EQ(traceProbeURL("::1", *probe),
              "https://[::1]/cdn-cgi/trace?tarnel_probe=0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
}

}  // namespace
}  // namespace tarnel
