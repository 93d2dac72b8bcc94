// A subscription signed at test time (tests/support/signed_subscription.hpp)
// verifies at the real wall clock against the fixture root key, gives the
// routes and catalog of the nodes it was made of, and is valid only around
// the time it was signed.

#include "tests/support/signed_subscription.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/subscription_import_parser.hpp"
#include "common/base/clock.hpp"
#include "common/base/json.hpp"

namespace tarnel {
namespace {

using Parser = SubscriptionImportParser;

constexpr double kDay = 86'400.0;

const json::Value& description() {
    static const json::Value nodes = json::parse(R"({
      "service_class": "free",
      "revision": 9,
      "subscription_origins": ["https://mirror1.tarnel.test"],
      "nodes": [
        {"id": "RO", "d": {"server": "203.0.113.6", "port": 7000, "server_name": "tarnel.test"},
         "t": [{"s": "hysteria2", "k": "hysteria2", "e": {"password": "a-secret"}}]},
        {"id": "EE", "d": {"server": "203.0.113.5", "port": 7000, "server_name": "tarnel.test"},
         "t": [{"s": "reality", "k": "vless-reality",
                "e": {"uuid": "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f", "public_key": "reality-public-key",
                      "short_id": "0123abcd"}}]}]})");
    return nodes;
}

std::optional<std::string> rootKey() { return testing::readFixture("manifest/root.spki.der"); }

// The verifier's failure at `clock`'s wall time, nothing when it verifies.
std::optional<SignedTransportManifestError::Case> failureAt(const std::string& envelope, const Clock& clock) {
    try {
        static_cast<void>(Parser::parse(envelope, rootKey(), std::nullopt, std::nullopt, clock));
    } catch (const SignedTransportManifestError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

TEST(SignedSubscription, VerifiesNowAndGivesTheRoutesAndCatalogOfItsNodes) {
    const std::string envelope = testing::signedSubscription(description());
    const Parser::ParsedRoutes parsed =
        Parser::parse(envelope, rootKey(), std::nullopt, std::nullopt, SystemClock::shared());

    EXPECT_EQ(parsed.serviceClass, "free");
    EXPECT_EQ(parsed.manifestRevision, 9);
    EXPECT_EQ(parsed.manifestFormat, TransportManifestFormat::v2);
    EXPECT_EQ(parsed.subscriptionOrigins, std::vector<std::string>{"https://mirror1.tarnel.test"});
    ASSERT_EQ(parsed.routes.size(), 2U);
    const RouteNode& a = parsed.routes[0];
    EXPECT_EQ(a.transport, RouteTransport::hysteria2);
    EXPECT_EQ(a.nodeCode, "RO");
    EXPECT_EQ(a.server, "203.0.113.6");
    EXPECT_EQ(a.port, 7000);
    EXPECT_EQ(a.password, "a-secret");
    const RouteNode& b = parsed.routes[1];
    EXPECT_EQ(b.transport, RouteTransport::vless);
    EXPECT_EQ(b.nodeCode, "EE");
    EXPECT_EQ(b.server, "203.0.113.5");
    EXPECT_EQ(b.port, 7000);
    EXPECT_EQ(b.publicKey, "reality-public-key");

    std::vector<std::string> available;
    for (const RouteCatalogItem& item : parsed.catalog) {
        if (item.status == CatalogRouteStatus::available) available.push_back(item.id);
    }
    EXPECT_EQ(available, (std::vector<std::string>{"EE:reality", "RO:hysteria2"}));
}

// The delegation holds from a day before the signing to 30 days after it.
TEST(SignedSubscription, IsValidOnlyAroundTheTimeItWasSigned) {
    const std::string envelope = testing::signedSubscription(description());
    const double now = SystemClock::shared().wallSeconds();
    const struct {
        double offset;
        std::optional<SignedTransportManifestError::Case> failure;
    } cases[] = {
        {-2 * kDay, SignedTransportManifestError::Case::expiredDelegation},
        {-0.5 * kDay, std::nullopt},
        {29 * kDay, std::nullopt},
        {31 * kDay, SignedTransportManifestError::Case::expiredDelegation},
    };
    for (const auto& [offset, failure] : cases) {
        const FakeClock clock(1000.0, now + offset);
        EXPECT_EQ(failureAt(envelope, clock), failure) << "days from now: " << offset / kDay;
    }
}

}  // namespace
}  // namespace tarnel
