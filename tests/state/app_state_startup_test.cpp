#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/catalog/subscription_import_parser.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/support/test_support.hpp"

// Start-up of the application state: the stored access record and its
// migrations, the floor, the restored subscription, the log's start-up
// lines and the two tasks it leaves running.

namespace tarnel {
namespace {

using testing::FakeKeychain;
using testing::kLink;
using testing::kLinkIdentity;
using testing::kVlessLink;
using testing::kVlessRouteID;

const std::string kInitialLog(AppState::initialDiagnosticLog);
const std::string kLoadedOne = "\nLoaded 1 cached route(s).";
const std::string kSecureStorageNotice =
    "\nSecure storage migration did not finish. Existing access remains available; re-import the link before "
    "removing the app.";
const std::string kRollbackRejection =
    "\nCached subscription rejected: The signed transport manifest is invalid, expired, or older than the saved "
    "revision.";

std::string json(std::string_view text) { return "\"" + std::string(text) + "\""; }

class AppStateStartupTest : public testing::AppStateFixture {
protected:
    [[nodiscard]] bool hasLegacyKeys() const {
        return hasSetting(AppState::savedSubscriptionKey) && hasSetting(AppState::savedSubscriptionSourceKey) &&
               hasSetting(AppState::savedSubscriptionCacheKey);
    }
    [[nodiscard]] bool hasNoLegacyKey() const {
        return !hasSetting(AppState::savedSubscriptionKey) && !hasSetting(AppState::savedSubscriptionSourceKey) &&
               !hasSetting(AppState::savedSubscriptionCacheKey);
    }
    // The start-up tasks, once they have had their turn.
    std::vector<std::string> tasksRun() {
        testing::runPostedEvents();
        return taskRuns;
    }
};

TEST_F(AppStateStartupTest, AFreshInstallReadsTheKeychainOnceAndOnlyDropsTheAvailabilityKey) {
    settings = std::make_shared<MemorySettings>(
        std::map<std::string, SettingValue, std::less<>>{{std::string(AppState::savedRouteAvailabilityKey), "{}"}});
    const AppState& app = start();
    EXPECT_EQ(app.diagnosticLog(), kInitialLog);
    EXPECT_EQ(keychain->calls(), (std::vector<FakeKeychain::Call>{{FakeKeychain::Operation::copy,
                                                                   std::string(DirectSecureSubscriptionStore::kService),
                                                                   std::string(DirectSecureSubscriptionStore::kAccount),
                                                                   std::nullopt, std::nullopt}}));
    EXPECT_EQ(settings->changes(), (std::vector<MemorySettings::Change>{
                                       {std::string(AppState::savedRouteAvailabilityKey), std::nullopt}}));
    EXPECT_TRUE(settings->values().empty());
    EXPECT_EQ(app.subscriptionInput(), "");
    EXPECT_TRUE(app.routes().empty());
    EXPECT_EQ(tasksRun(), std::vector<std::string>{"launch recovery"});
    EXPECT_TRUE(fetchedURLs().empty());
}

TEST_F(AppStateStartupTest, LegacySettingsMoveIntoTheKeychainAndTheirCachedRoutesAreShown) {
    setLegacy(kLink, kLink, kVlessLink);
    const AppState& app = start();
    const std::string record =
        "{\"subscription\":" + json(kLink) + ",\"source\":" + json(kLink) + ",\"cache\":" + json(kVlessLink) + "}";
    const std::string service(DirectSecureSubscriptionStore::kService);
    const std::string account(DirectSecureSubscriptionStore::kAccount);
    EXPECT_EQ(keychain->calls(),
              (std::vector<FakeKeychain::Call>{
                  {FakeKeychain::Operation::copy, service, account, std::nullopt, std::nullopt},
                  {FakeKeychain::Operation::update, service, account, record, std::nullopt},
                  {FakeKeychain::Operation::add, service, account, record,
                   KeychainAccessibility::afterFirstUnlockThisDeviceOnly},
              }));
    EXPECT_TRUE(hasNoLegacyKey());
    EXPECT_EQ(app.subscriptionInput(), kLink);
    EXPECT_EQ(app.selectedRouteID(), kVlessRouteID);
    EXPECT_EQ(app.diagnosticLog(), kInitialLog + kLoadedOne);
    EXPECT_EQ(tasksRun(), std::vector<std::string>{"launch recovery"});
    // The saved link is updated quietly: only a failure is logged.
    finishImports();
    const SubscriptionFetchRequest update{std::string(kLink), true, {}, std::nullopt, std::nullopt};
    EXPECT_EQ(fetchRequests(), std::vector<SubscriptionFetchRequest>{update});
    EXPECT_TRUE(app.diagnosticLog().ends_with(
        kLoadedOne + "\n[2024-03-05T06:07:08Z] Background update failed: Subscription download failed with HTTP 404."));
}

TEST_F(AppStateStartupTest, AMigrationThatCannotFinishKeepsTheLegacySettingsInUse) {
    const std::vector<std::pair<std::string, std::function<void()>>> failures{
        {"load fails", [this] { keychain->queue(FakeKeychain::Operation::copy, {-25308}); }},
        {"record of an unknown format",
         [this] {
             storeRecord("{\"subscription\":\"s\",\"source\":\"\",\"cache\":\"c\",\"manifestFormat\":\"v3\"}");
         }},
        {"add fails", [this] { keychain->always(FakeKeychain::Operation::add, -61); }},
    };
    for (const auto& [name, fail] : failures) {
        SCOPED_TRACE(name);
        settings = std::make_shared<MemorySettings>();
        keychain = std::make_shared<FakeKeychain>();
        setLegacy(kLink, kLink, kVlessLink);
        fail();
        const AppState& app = start();
        EXPECT_TRUE(hasLegacyKeys());
        EXPECT_EQ(app.selectedRouteID(), kVlessRouteID);
        EXPECT_EQ(app.diagnosticLog(), kInitialLog + kLoadedOne + kSecureStorageNotice);
    }
}

TEST_F(AppStateStartupTest, AnInvalidContentFloorIsDroppedWithItsNotice) {
    storeRecord("{\"subscription\":\"x\",\"source\":\"\",\"cache\":\"\",\"manifestFloorRevision\":3,"
                "\"manifestFloorCompactV2SHA256\":\"" +
                std::string(64, 'a') + "\"}");
    const AppState& app = start();
    EXPECT_EQ(app.manifestContentFloor, std::nullopt);
    EXPECT_EQ(app.manifestFloorRevision, 3);
    EXPECT_EQ(app.diagnosticLog(),
              kInitialLog +
                  "\nCached subscription rejected: No supported Tarnel routes were found.\nRollback content state is "
                  "invalid. Refresh the subscription before connecting.");
}

TEST_F(AppStateStartupTest, ALegacyRevisionBecomesTheLinksFloorWhenTheKeychainTakesIt) {
    storeRecord("{\"subscription\":" + json(kLink) + ",\"source\":" + json(kLink) + ",\"cache\":\"\"}");
    settings->set(AppState::savedManifestRevisionKey, std::int64_t{7});
    const AppState& app = start();
    EXPECT_EQ(storedRecord(), "{\"subscription\":" + json(kLink) + ",\"source\":" + json(kLink) +
                                  ",\"cache\":\"\",\"manifestFloorIdentity\":" + json(kLinkIdentity) +
                                  ",\"manifestFloorRevision\":7}");
    EXPECT_FALSE(hasSetting(AppState::savedManifestRevisionKey));
    EXPECT_EQ(app.manifestFloorIdentity, kLinkIdentity);
    EXPECT_EQ(app.manifestFloorRevision, 7);
    EXPECT_EQ(app.diagnosticLog(), kInitialLog);

    // With a keychain that takes nothing, the revision is held in memory only.
    state.reset();
    settings = std::make_shared<MemorySettings>();
    keychain = std::make_shared<FakeKeychain>();
    keychain->failEverything(-61);
    setLegacy(kLink, kLink, "");
    settings->set(AppState::savedManifestRevisionKey, std::int64_t{7});
    const AppState& failing = start();
    EXPECT_EQ(failing.diagnosticLog(),
              kInitialLog +
                  "\nRollback protection migration did not finish. Re-import the access link before removing the app.");
    EXPECT_TRUE(hasLegacyKeys());
    EXPECT_TRUE(hasSetting(AppState::savedManifestRevisionKey));
    EXPECT_EQ(failing.manifestFloorRevision, 7);
}

TEST_F(AppStateStartupTest, AHeldFloorRefusesACachedBodyBelowIt) {
    storeRecord("{\"subscription\":" + json(kLink) + ",\"source\":" + json(kLink) + ",\"cache\":" + json(kVlessLink) +
                ",\"manifestFloorIdentity\":" + json(kLinkIdentity) + ",\"manifestFloorRevision\":5}");
    const AppState& app = start();
    EXPECT_EQ(app.diagnosticLog(), kInitialLog + kRollbackRejection);
    EXPECT_TRUE(app.routes().empty());
}

TEST_F(AppStateStartupTest, ACachedSignedListIsVerifiedAgainstItsHeldFloor) {
    const std::string envelope = testing::readFixture("manifest/envelope-v2.json");
    trustRoot = testing::readFixture("manifest/root.spki.der");
    clock->setWallSeconds(static_cast<double>(*iso8601::parse("2031-03-15T12:00:00Z")));
    const auto verified = SubscriptionImportParser::parse(envelope, trustRoot, std::nullopt, std::nullopt, *clock);
    ASSERT_EQ(verified.manifestRevision, 42);
    const ManifestContentFloor floor = *verified.manifestContentFloor;
    const auto recordAt = [&](std::int64_t revision) {
        DirectStoredAccess record;
        record.subscription = record.source = std::string(kLink);
        record.cache = envelope;
        record.manifestFloorIdentity = std::string(kLinkIdentity);
        record.manifestFloorRevision = revision;
        record.manifestFloorLegacySHA256 = floor.legacySHA256();
        record.manifestFloorCompactV2SHA256 = floor.compactV2SHA256();
        return encodeDirectStoredAccess(record);
    };

    storeRecord(recordAt(42));
    const AppState& app = start();
    EXPECT_EQ(app.routes(), verified.routes);
    EXPECT_EQ(app.routeCatalog(), verified.catalog);
    EXPECT_EQ(app.subscriptionServiceClass, "paid");
    EXPECT_EQ(app.subscriptionManifestFormat, TransportManifestFormat::v2);
    EXPECT_EQ(app.manifestContentFloor, floor);
    EXPECT_EQ(app.diagnosticLog(), kInitialLog + "\nLoaded " + std::to_string(verified.routes.size()) +
                                       " cached route(s).");

    state.reset();
    storeRecord(recordAt(43));
    const AppState& newer = start();
    EXPECT_TRUE(newer.routes().empty());
    EXPECT_EQ(newer.diagnosticLog(), kInitialLog + kRollbackRejection);
}

TEST_F(AppStateStartupTest, UnderATestHostTheKeychainIsUntouchedAndNoRecoveryRuns) {
    variables["XCTestConfigurationFilePath"] = "/x";
    setLegacy(kLink, kLink, kVlessLink);
    settings->set(AppState::savedManifestRevisionKey, std::int64_t{7});
    settings->set(AppState::savedActiveRouteIDKey, std::string("a"));
    const AppState& app = start();
    EXPECT_TRUE(keychain->calls().empty());
    EXPECT_EQ(app.manifestFloorRevision, 7);
    EXPECT_TRUE(hasSetting(AppState::savedManifestRevisionKey));
    EXPECT_TRUE(hasLegacyKeys());
    EXPECT_EQ(app.activeRouteID(), std::nullopt);
    EXPECT_FALSE(hasSetting(AppState::savedActiveRouteIDKey));
    EXPECT_TRUE(tasksRun().empty());
    finishImports();
    EXPECT_EQ(fetchedURLs(), std::vector<std::string>{std::string(kLink)});
}

TEST_F(AppStateStartupTest, OnlyTheExactDiagnosticArgumentRestrictsConnects) {
    const std::string line = "\nSelected-route-only diagnostic mode is active with a 30-second traffic gate.";
    for (const auto& [argument, active] : std::vector<std::pair<std::string, bool>>{
             {"--selected-route-only-diagnostic", true},
             {"--selected-route-only-diagnostic=1", false},
         }) {
        SCOPED_TRACE(argument);
        state.reset();
        arguments = {"Tarnel Direct", argument};
        setLegacy("", "", kVlessLink);
        const AppState& app = start();
        EXPECT_EQ(app.selectedRouteOnlyDiagnostic, active);
        EXPECT_EQ(app.diagnosticLog(), kInitialLog + kLoadedOne + (active ? line : ""));
    }
}

TEST_F(AppStateStartupTest, APastedBodyIsRestoredWithTheSavedSelectionAndActiveRoute) {
    const std::string body = std::string(kVlessLink) + "\nhy2://p@ro.example.net:443#RO%20two";
    setLegacy(body, "", body);
    settings->set(AppState::savedRouteIDKey, std::string(kVlessRouteID));
    settings->set(AppState::savedAutomaticCrossNodeSelectionKey, true);
    settings->set(AppState::savedActiveRouteIDKey, std::string("gone"));
    const AppState& app = start();
    EXPECT_EQ(app.subscriptionInput(), body);
    EXPECT_EQ(app.routes().size(), 2U);
    EXPECT_EQ(app.selectedRouteID(), kVlessRouteID);
    EXPECT_TRUE(app.automaticCrossNodeSelection);
    EXPECT_EQ(app.activeRouteID(), "gone");
    EXPECT_EQ(tasksRun(), std::vector<std::string>{"launch recovery"});
}

}  // namespace
}  // namespace tarnel
