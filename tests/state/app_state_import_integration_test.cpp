#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/files.hpp"
#include "common/base/url.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "tests/catalog/subscription_fetch_test_support.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/support/test_support.hpp"
#include "tests/tunnel/netstat_standin.hpp"

// The subscription's import and update over real HTTPS (the test servers of
// one test CA), with the application's fetch, a file keychain and the
// fixture envelopes at their instant; forget during an import; and the
// configuration file written on demand, with the netstat stand-in.

namespace tarnel {
namespace {

using testing::kFixtureNow;
using testing::kMirrorHost;
using testing::kPrimaryHost;
using testing::TestHttpAnswer;

const std::string kLink = "https://sub.tarnel.test/sub/f/T.txt";
const std::string kInvalidManifest =
    "The signed transport manifest is invalid, expired, or older than the saved revision.";
const std::string kPairMismatch = "The equal-revision v1 and v2 transport manifests disagree.";
const std::string kForgotten = "the saved subscription was forgotten during the import.";
// The subscription origins of the fixture manifests (expected.json).
const std::vector<std::string> kFixtureOrigins{"https://subscribe.example.net", "https://mirror.example.org"};

std::string envelope(const std::string& name) { return testing::readFixture("manifest/" + name + ".json"); }
TestHttpAnswer ok(const std::string& body) { return TestHttpAnswer::ok(body); }
TestHttpAnswer missing() { return TestHttpAnswer::withStatus(404); }

// The HTTP layer, recording the URL of every request.
class RecordingHttpClient final : public HttpClient {
public:
    explicit RecordingHttpClient(const HttpClientSettings& settings) : inner_(settings) {}

    [[nodiscard]] HttpResponse perform(const HttpRequest& request, std::stop_token stop) const override {
        {
            std::lock_guard lock(mutex_);
            urls_.push_back(request.url);
        }
        return inner_.perform(request, std::move(stop));
    }

    // The hosts asked since the last call, each once, in order.
    [[nodiscard]] std::vector<std::string> takeHosts() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> hosts;
        for (const auto& url : std::exchange(urls_, {})) {
            const std::string host(*UrlComponents::parse(url)->host());
            if (std::ranges::find(hosts, host) == hosts.end()) hosts.push_back(host);
        }
        return hosts;
    }

private:
    CurlHttpClient inner_;
    mutable std::mutex mutex_;
    mutable std::vector<std::string> urls_;
};

class AppStateImportIntegrationTest : public testing::AppStateFixture {
protected:
    AppStateImportIntegrationTest() {
        trustRoot = testing::readFixture("manifest/root.spki.der");
        clock->setWallSeconds(kFixtureNow);
        keychainInUse = fileKeychain;
        // The fixture origins lead to a refused port on loopback: each of
        // their requests fails as a transport failure.
        HttpClientSettings httpSettings = servers.clientSettings();
        for (const char* host : {"subscribe.example.net", "mirror.example.org"}) {
            httpSettings.connectPins.push_back({host, 443, "127.0.0.1", 1});
        }
        http = std::make_shared<RecordingHttpClient>(httpSettings);
        fetch = AppEnvironment::subscriptionFetcher(http, clock, trustRoot, fetchSleeper);
    }

    void serve(const TestHttpAnswer& compact, const TestHttpAnswer& full) {
        servers.script(kPrimaryHost, "/sub/m/T.v2.json", {compact});
        servers.script(kPrimaryHost, "/sub/m/T.json", {full});
    }

    [[nodiscard]] std::optional<DirectStoredAccess> record() const {
        return DirectSecureSubscriptionStore::load(*fileKeychain);
    }
    [[nodiscard]] std::optional<std::string> storedRecordBytes() const {
        return fileKeychain->copy(DirectSecureSubscriptionStore::baseQuery()).data;
    }

    // The Romanian Hysteria2 route and the Estonian AnyTLS one.
    [[nodiscard]] const RouteNode& route(std::string_view region, RouteTransport transport) const {
        const auto found = std::ranges::find_if(state->routes(), [&](const RouteNode& candidate) {
            return candidate.regionCode() == region && candidate.transport == transport;
        });
        EXPECT_NE(found, state->routes().end());
        return *found;
    }
    [[nodiscard]] const RouteNode& roHysteria2() const { return route("RO", RouteTransport::hysteria2); }

    // Row 1: the compact and the full list of revision 42.
    void importRevision42() {
        serve(ok(envelope("envelope-v2")), ok(envelope("envelope-v1")));
        import("  " + kLink + "\n");
    }

    testing::TemporaryDirectory directory;
    std::shared_ptr<FileKeychain> fileKeychain = std::make_shared<FileKeychain>(directory.path());
    testing::SubscriptionServers servers;
    testing::RecordingSleeper fetchSleeper;
    std::shared_ptr<RecordingHttpClient> http;
};

TEST_F(AppStateImportIntegrationTest, ALinksSignedListsAreImportedAndUpdatedOnlyAboveTheirFloor) {
    start();
    newLogLines();
    importRevision42();
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", "Imported 6 route(s). Selected " +
                                                                                     roHysteria2().diagnosticDescription() +
                                                                                     "."}));
    DirectStoredAccess expected{kLink, kLink, envelope("envelope-v2"), kFixtureOrigins,
                                SubscriptionImportParser::floorIdentity(kLink), 42,
                                "0a9c229fc118e4a6dfb225f5aecd181311d222d3e40eae6596aaa50648f62995",
                                "823b157ac30448dadbffc34c3fa8cdbae2d52b4aad22c28c382ce0b48a632421",
                                TransportManifestFormat::v2};
    EXPECT_EQ(record(), expected);
    EXPECT_EQ(state->subscriptionInput(), kLink);
    EXPECT_EQ(state->selectedRouteID(), roHysteria2().id);
    EXPECT_EQ(settings->string(AppState::savedRouteIDKey), roHysteria2().id);
    EXPECT_EQ(settings->values().at(std::string(AppState::savedAutomaticCrossNodeSelectionKey)), SettingValue(false));
    EXPECT_EQ(state->subscriptionServiceClass, "paid");
    EXPECT_EQ(http->takeHosts(), std::vector<std::string>{kPrimaryHost});

    // Refreshes that fail keep everything; the mirrors the list named are asked too.
    const std::string storedBytes = *storedRecordBytes();
    const auto routes = state->routes();
    const auto values = settings->values();
    for (const auto& [full, failure] : std::vector<std::pair<std::string, std::string>>{
             {"envelope-v1-revision-0", kInvalidManifest},
             {"envelope-v1-revision-42-other-content", kPairMismatch},
         }) {
        SCOPED_TRACE(full);
        serve(missing(), ok(envelope(full)));
        import(kLink, false, true);
        EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Updating subscription...", "Import failed: " + failure}));
        EXPECT_EQ(storedRecordBytes(), storedBytes);
        EXPECT_EQ(state->routes(), routes);
        EXPECT_EQ(state->selectedRouteID(), roHysteria2().id);
        EXPECT_EQ(settings->values(), values);
        EXPECT_EQ(http->takeHosts(),
                  (std::vector<std::string>{kPrimaryHost, "subscribe.example.net", "mirror.example.org"}));
    }

    serve(missing(), ok(envelope("envelope-v1-revision-43")));
    import(kLink, false, true);
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Updating subscription...", "Updated 5 route(s). Selected " +
                                                                                    roHysteria2().diagnosticDescription() +
                                                                                    "."}));
    expected.cache = envelope("envelope-v1-revision-43");
    expected.manifestFloorRevision = 43;
    expected.manifestFloorLegacySHA256 = "6ea686528c03659701f56c7c0028be6b6c0772d12b02f2736b119e7a78ec1bcd";
    expected.manifestFloorCompactV2SHA256.reset();
    expected.manifestFormat = TransportManifestFormat::v1;
    EXPECT_EQ(record(), expected);
    EXPECT_EQ(storedRecordBytes()->find("manifestFloorCompactV2SHA256"), std::string::npos);
}

TEST_F(AppStateImportIntegrationTest, AFailoversSelectionStaysOnlyWhileTheSubscriptionDoesNotMoveOn) {
    start();
    importRevision42();
    const std::string anyTLS = route("EE", RouteTransport::anyTLS).id;
    state->setSelectedRouteID(anyTLS);
    state->automaticCrossNodeSelection = true;

    importRevision42();
    EXPECT_EQ(state->selectedRouteID(), anyTLS);
    EXPECT_TRUE(state->automaticCrossNodeSelection);
    EXPECT_EQ(settings->values().at(std::string(AppState::savedAutomaticCrossNodeSelectionKey)), SettingValue(true));

    serve(missing(), ok(envelope("envelope-v1-revision-43")));
    import(kLink, false, true);
    EXPECT_EQ(state->selectedRouteID(), roHysteria2().id);
    EXPECT_FALSE(state->automaticCrossNodeSelection);
    EXPECT_EQ(settings->values().at(std::string(AppState::savedAutomaticCrossNodeSelectionKey)), SettingValue(false));
}

TEST_F(AppStateImportIntegrationTest, APlainBodyAtAFloorIdentityAddressIsHeldToItsFloor) {
    const std::string plain = "https://sub.tarnel.test/sub/m/P.json";
    const std::string twoLinks = std::string(testing::kVlessLink) + "\nhy2://p@ro.example.net:443#RO%20two\n";
    start();
    servers.script(kPrimaryHost, "/sub/m/P.json", {ok(envelope("envelope-v2"))});
    import(plain);
    ASSERT_EQ(state->manifestFloorRevision, 42);
    EXPECT_EQ(state->manifestFloorIdentity, SubscriptionImportParser::floorIdentity(plain));
    newLogLines();

    struct Case {
        std::string body;
        bool quietly;
        std::vector<std::string> lines;
    };
    for (const Case& test : std::vector<Case>{
             {twoLinks, true, {"Background update failed: " + kInvalidManifest}},
             {envelope("envelope-v1-revision-0"), false, {"Importing subscription...", "Import failed: " + kInvalidManifest}},
             {envelope("envelope-v1-revision-42-other-content"), false,
              {"Importing subscription...", "Import failed: " + kPairMismatch}},
         }) {
        servers.script(kPrimaryHost, "/sub/m/P.json", {ok(test.body)});
        import(plain, test.quietly, test.quietly);
        EXPECT_EQ(newLogLines(), test.lines);
        EXPECT_EQ(state->manifestFloorRevision, 42);
    }
    // Only the address itself was asked: it has no signed lists.
    EXPECT_EQ(servers.requests(), std::vector<std::string>(4, "sub.tarnel.test /sub/m/P.json"));
}

TEST_F(AppStateImportIntegrationTest, AnImportRunningWhenTheSubscriptionIsForgottenCommitsNothing) {
    struct Case {
        std::string name;
        bool atStartup;  // start-up's quiet update of a saved link, else Import
        std::vector<std::string> lines;
    };
    for (const Case& test : std::vector<Case>{
             {"Import", false,
              {"Importing subscription...", "Forgot saved subscription on this Mac.", "Import failed: " + kForgotten}},
             {"start-up's update", true,
              {"Forgot saved subscription on this Mac.", "Background update failed: " + kForgotten}},
         }) {
        SCOPED_TRACE(test.name);
        state.reset();
        settings = std::make_shared<MemorySettings>();
        auto gate = std::make_shared<testing::TestHttpGate>();
        serve(ok(envelope("envelope-v2")), ok(envelope("envelope-v1")).heldBy(gate));
        if (test.atStartup) {
            DirectSecureSubscriptionStore::save(*fileKeychain, encodeDirectStoredAccess({kLink, kLink, ""}));
        }
        start();
        newLogLines();
        if (!test.atStartup) {
            state->setSubscriptionInput(kLink);
            state->importSubscription(false, false);
        }
        ASSERT_TRUE(testing::runEventsUntil([&] { return gate->reached() > 0; }));
        state->forgetSavedSubscription();
        gate->release();
        finishImports();

        EXPECT_EQ(newLogLines(), test.lines);
        EXPECT_FALSE(storedRecordBytes());
        EXPECT_EQ(state->subscriptionInput(), "");
        EXPECT_TRUE(state->routes().empty());
        EXPECT_FALSE(state->isImporting());
        for (const auto& change : settings->changes()) EXPECT_FALSE(change.value) << change.key << " was written";
    }
}

TEST_F(AppStateImportIntegrationTest, TheSelectedRoutesConfigurationIsWrittenOnDemand) {
    testing::NetstatStandIn netstat;
    netstat.printing("default 192.168.1.1 UGScg en0\n");
    start();
    newLogLines();
    // Waits for the one line of a write.
    const auto written = [this] {
        const std::size_t before = state->diagnosticLog().size();
        state->writeRedactedConfig();
        EXPECT_TRUE(testing::runEventsUntil([&] { return state->diagnosticLog().size() > before; }));
        return newLogLines();
    };
    EXPECT_EQ(written(), std::vector<std::string>{"No selected route."});

    import("hy2://pa@a.example.net:443?sni=one.example.net#RO%20A");
    newLogLines();
    const std::string description = state->selectedRoute()->diagnosticDescription();
    const auto tunnel = netstat.folder() / "tun-config.json";
    EXPECT_EQ(written(), std::vector<std::string>{"Wrote redacted VPN config for " + description + " to " +
                                                  tunnel.string() + "."});
    struct stat status {};
    ASSERT_EQ(::stat(tunnel.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(files::readIfExists(tunnel)->find("\"default_interface\" : \"en0\""), std::string::npos);

    state->setConnectionMode(ConnectionMode::proxy);
    EXPECT_EQ(written(), std::vector<std::string>{"Wrote redacted Proxy config for " + description + " to " +
                                                  (netstat.folder() / "proxy-config.json").string() + "."});

    std::filesystem::remove_all(netstat.folder());
    files::writeAtomically(netstat.folder(), "not a folder");
    const std::string failure = testing::failureOf([] { TunnelRuntimeFiles::createDirectory(); });
    EXPECT_EQ(written(), std::vector<std::string>{"Config write failed: " + failure});
    EXPECT_EQ(files::readIfExists(netstat.folder()), "not a folder");
}

}  // namespace
}  // namespace tarnel
