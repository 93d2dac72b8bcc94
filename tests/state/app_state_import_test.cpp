#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/catalog/subscription_import_parser.hpp"
#include "common/base/base64.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/support/test_support.hpp"

// The subscription's import, update and forget over a fetch that the tests
// answer: the entry, pasted bodies, the commit's availability pruning, a
// keychain that refuses the record, the held content floor, and forget.

namespace tarnel {
namespace {

using testing::FakeKeychain;
using testing::kLink;

const std::string kInvalidManifest =
    "The signed transport manifest is invalid, expired, or older than the saved revision.";
// 2031-03-15T12:00:00Z: inside the fixture envelopes' delegation window.
constexpr double kFixtureNow = 1'931'342'400.0;

// Two routes of one host each, and their variants under the same identifier.
const std::string kRouteA = "hy2://pa@a.example.net:443?sni=one.example.net#RO%20A";
const std::string kRouteAOtherSNI = "hy2://pa@a.example.net:443?sni=two.example.net#RO%20A";
const std::string kRouteB = "hy2://pb@b.example.net:443#EE%20B";
const std::string kRouteBOtherPassword = "hy2://other@b.example.net:443#EE%20B";
const std::string kRouteAID = "hysteria2-RO A-a.example.net-443";
const std::string kRouteBID = "hysteria2-EE B-b.example.net-443";

class AppStateImportTest : public testing::AppStateFixture {
protected:
    // The signed route lists verify at the fixtures' instant against their root.
    void trustFixtureRoot() {
        trustRoot = testing::readFixture("manifest/root.spki.der");
        clock->setWallSeconds(kFixtureNow);
    }

    std::string importedLine(std::string_view verb, std::size_t count) const {
        return std::string(verb) + " " + std::to_string(count) + " route(s). Selected " +
               state->selectedRoute()->diagnosticDescription() + ".";
    }
};

TEST_F(AppStateImportTest, AnEmptyFieldLogsOnceUnlessQuietAndStartsNothing) {
    start();
    newLogLines();
    for (const bool quietly : {false, true}) {
        SCOPED_TRACE(quietly);
        import("  \n", quietly);
        EXPECT_EQ(newLogLines(), quietly ? std::vector<std::string>{}
                                       : std::vector<std::string>{
                                             "Import failed: paste your access link or subscription body first."});
    }
    EXPECT_TRUE(fetchedURLs().empty());
}

TEST_F(AppStateImportTest, OneImportAtATimeAndAQuietOneLogsOnlyFailures) {
    fetchAnswer = [](const SubscriptionFetchRequest&) {
        return SubscriptionFetchResult{{std::string(testing::kVlessLink)}, true};
    };
    start();
    newLogLines();
    state->setSubscriptionInput(std::string(kLink));
    state->importSubscription(false, false);
    state->importSubscription(false, false);
    finishImports();
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", importedLine("Imported", 1)}));
    EXPECT_EQ(fetchedURLs(), std::vector<std::string>{std::string(kLink)});

    import(std::string(kLink), true, true);
    EXPECT_TRUE(newLogLines().empty());
    fetchAnswer = [](const SubscriptionFetchRequest&) -> SubscriptionFetchResult {
        throw DirectAppError::httpStatus(503);
    };
    import(std::string(kLink), true, true);
    EXPECT_EQ(newLogLines(),
              std::vector<std::string>{"Background update failed: Subscription download failed with HTTP 503."});
    EXPECT_EQ(state->routes().size(), 1U);
}

TEST_F(AppStateImportTest, PastedBodies) {
    trustFixtureRoot();
    const std::string envelope = testing::readFixture("manifest/envelope-v2.json");
    const std::string links = std::string(testing::kVlessLink) + "\n" + kRouteA;
    start();
    newLogLines();

    // A signed list counts only through its link, in Base64 too, and is
    // refused before it is verified.
    for (const std::string& signedBody :
         {envelope, base64Encode(envelope), testing::readFixture("manifest/envelope-v2-untrusted-root.json")}) {
        import(signedBody);
        EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", "Import failed: " + kInvalidManifest}));
    }
    import("hello");
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...",
                                                    "Import failed: No supported Tarnel routes were found."}));
    EXPECT_FALSE(storedRecord());

    import(links);
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", importedLine("Imported", 2)}));
    EXPECT_EQ(state->selectedRouteID(), kRouteAID);
    // The two lines need no escape but their line feed.
    const std::string quoted = "\"" + std::string(testing::kVlessLink) + "\\n" + kRouteA + "\"";
    EXPECT_EQ(storedRecord(), "{\"subscription\":" + quoted + ",\"source\":\"\",\"cache\":" + quoted +
                                  ",\"subscriptionOrigins\":[]}");
    EXPECT_EQ(state->subscriptionInput(), links);
    EXPECT_TRUE(fetchedURLs().empty());
}

TEST_F(AppStateImportTest, ACommitKeepsTheAvailabilityOfRoutesThatStayTheSame) {
    struct Case {
        std::string name;
        std::vector<std::string> before;
        std::vector<std::string> after;
        std::vector<std::string> tested;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases{
        {"a changed server name", {kRouteA, kRouteB}, {kRouteAOtherSNI, kRouteB}, {kRouteAID, kRouteBID, "Z"},
         {kRouteBID}},
        {"a later route of the same identifier wins", {kRouteB}, {kRouteB, kRouteBOtherPassword}, {kRouteBID}, {}},
        {"an earlier one does not", {kRouteB}, {kRouteBOtherPassword, kRouteB}, {kRouteBID}, {kRouteBID}},
    };
    const auto body = [](const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        state.reset();
        start();
        import(body(test.before));
        for (const auto& id : test.tested) state->setRouteAvailability(RouteAvailability::slow, id);
        const auto generations = state->routeAvailabilityGeneration;
        import(body(test.after));
        RouteAvailabilityMap kept;
        for (const auto& id : test.kept) kept.emplace(id, RouteAvailability::slow);
        EXPECT_EQ(state->routeAvailability(), kept);
        EXPECT_EQ(state->routeAvailabilityGeneration, generations);
    }
}

TEST_F(AppStateImportTest, ACommitRemovesTheLegacyKeysAndAKeychainRefusalChangesNothing) {
    trustFixtureRoot();
    fetchAnswer = [](const SubscriptionFetchRequest&) {
        return SubscriptionFetchResult{{testing::readFixture("manifest/envelope-v2.json")}, false};
    };
    start();
    setLegacy("s", "s", "c");
    settings->set(AppState::savedManifestRevisionKey, std::int64_t{3});
    import(std::string(kLink));
    for (const std::string_view key : {AppState::savedSubscriptionKey, AppState::savedSubscriptionSourceKey,
                                       AppState::savedSubscriptionCacheKey, AppState::savedManifestRevisionKey}) {
        EXPECT_FALSE(hasSetting(key)) << key;
    }
    ASSERT_EQ(state->manifestFloorRevision, 42);
    newLogLines();

    const auto fields = [this] {
        return std::tuple(state->routes(), state->routeCatalog(), state->selectedRouteID(), state->manifestFloorIdentity,
                          state->manifestFloorRevision, state->manifestContentFloor, state->subscriptionOrigins,
                          state->subscriptionManifestFormat, state->subscriptionServiceClass, settings->changes(),
                          storedRecord());
    };
    const auto before = fields();
    keychain->queue(FakeKeychain::Operation::update, {-61});
    import(std::string(kLink), false, true);
    EXPECT_EQ(newLogLines(),
              (std::vector<std::string>{"Updating subscription...", "Import failed: Secure storage is unavailable."}));
    EXPECT_EQ(fields(), before);
    EXPECT_FALSE(state->isImporting());
}

TEST_F(AppStateImportTest, AHeldFloorThatDisagreesWithItsContentFloorFailsBeforeAnyRequest) {
    start();
    state->manifestFloorIdentity = SubscriptionImportParser::floorIdentity(kLink);
    state->manifestFloorRevision = 42;
    state->manifestContentFloor = ManifestContentFloor::validated(41, std::string(64, 'a'), std::nullopt);
    newLogLines();
    import(std::string(kLink));
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", "Import failed: " + kInvalidManifest}));
    EXPECT_TRUE(fetchedURLs().empty());
}

TEST_F(AppStateImportTest, ForgetRemovesTheRecordThenEverythingOfTheSubscription) {
    trustFixtureRoot();
    fetchAnswer = [](const SubscriptionFetchRequest&) {
        return SubscriptionFetchResult{{testing::readFixture("manifest/envelope-v2.json")}, false};
    };
    const std::vector<std::string_view> keys{
        AppState::savedSubscriptionKey,       AppState::savedSubscriptionSourceKey,
        AppState::savedSubscriptionCacheKey,  AppState::savedRouteIDKey,
        AppState::savedAutomaticCrossNodeSelectionKey, AppState::savedActiveRouteIDKey,
        AppState::savedManifestRevisionKey,   AppState::savedRouteAvailabilityKey};
    struct Case {
        std::string name;
        std::function<void()> prepare;
        std::vector<std::string> refusal;  // the lines when nothing is removed
    };
    const std::vector<Case> cases{
        {"a stored record", [] {}, {}},
        {"no item", [this] { keychain->queue(FakeKeychain::Operation::remove, {keychainItemNotFound}); }, {}},
        {"the keychain fails", [this] { keychain->queue(FakeKeychain::Operation::remove, {-61}); },
         {"Saved access was not removed because secure storage is unavailable."}},
        {"a connection that does not stop",
         [this] {
             state->setTunnelStatus(TunnelStatus::connected);
             helper->onDisconnectTunnel = [](double, bool) {
                 throw PrivilegedHelperClientError::helperRejected("PF busy");
             };
             helper->onTunnelProtectionStatus = [](double) { return true; };
         },
         {"Disconnect failed: PF busy",
          "Subscription was not forgotten because the active VPN process did not stop."}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        state.reset();
        keychain = std::make_shared<FakeKeychain>();
        start();
        import(std::string(kLink));
        ASSERT_TRUE(storedRecord());
        state->setRouteAvailability(RouteAvailability::available, state->routes().front().id);
        for (const std::string_view key : keys) settings->set(key, std::string("x"));
        test.prepare();
        const std::size_t changesBefore = settings->changes().size();
        const std::size_t routesBefore = state->routes().size();
        newLogLines();

        state->forgetSavedSubscription();
        if (!test.refusal.empty()) {
            EXPECT_EQ(newLogLines(), test.refusal);
            EXPECT_TRUE(storedRecord());
            EXPECT_EQ(state->subscriptionInput(), kLink);
            EXPECT_EQ(state->routes().size(), routesBefore);
            EXPECT_EQ(state->manifestFloorRevision, 42);
            EXPECT_EQ(settings->changes().size(), changesBefore);
            continue;
        }
        EXPECT_EQ(newLogLines(), std::vector<std::string>{"Forgot saved subscription on this Mac."});
        if (test.name == "a stored record") {
            EXPECT_FALSE(storedRecord());
        }
        EXPECT_EQ(state->subscriptionInput(), "");
        EXPECT_TRUE(state->routes().empty() && state->routeCatalog().empty() && state->routeAvailability().empty() &&
                    state->routeAvailabilityGeneration.empty());
        EXPECT_FALSE(state->subscriptionServiceClass || state->subscriptionOrigins || state->manifestFloorIdentity ||
                     state->manifestFloorRevision || state->manifestContentFloor ||
                     state->subscriptionManifestFormat || state->selectedRouteID());
        std::vector<MemorySettings::Change> removals;
        for (const std::string_view key : keys) removals.push_back({std::string(key), std::nullopt});
        EXPECT_EQ(std::vector(settings->changes().begin() + static_cast<std::ptrdiff_t>(changesBefore),
                              settings->changes().end()),
                  removals);
    }
}

}  // namespace
}  // namespace tarnel
