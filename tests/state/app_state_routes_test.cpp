#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/state/app_state_fixture.hpp"
#include "tests/support/test_support.hpp"

// What the window reads from the application state (the route list, the
// buttons' conditions, the hints) and the small connection helpers.

namespace tarnel {
namespace {

RouteNode route(std::string id, RouteTransport transport, std::optional<std::string> nodeCode, bool quic = false) {
    RouteNode node;
    node.id = std::move(id);
    node.transport = transport;
    node.title = "Route " + node.id;
    node.nodeCode = std::move(nodeCode);
    node.server = "server.example.net";
    node.port = 443;
    node.serverName = "server.example.net";
    node.quic = quic;
    return node;
}

RouteCatalogItem catalogItem(std::string id, CatalogRouteStatus status) {
    return RouteCatalogItem{std::move(id), "RO", "Romania", "t", "label", "kind", status};
}

class AppStateRoutesTest : public testing::AppStateFixture {
protected:
    AppState& app = start();
};

TEST_F(AppStateRoutesTest, TheRouteListJoinsTheCatalogByRegionAndTransport) {
    const RouteNode naive = route("naive", RouteTransport::naive, "RO", true);
    app.setRoutes({naive});
    app.setRouteCatalog({catalogItem("RO:naive-h3", CatalogRouteStatus::available),
                         catalogItem("RO:reality", CatalogRouteStatus::paidRequired),
                         catalogItem("EE:trojan", CatalogRouteStatus::temporarilyUnavailable)});
    const auto items = app.routeListItems();
    ASSERT_EQ(items.size(), 3U);
    EXPECT_EQ(items[0].route, naive);
    EXPECT_EQ(items[1].route, std::nullopt);
    std::vector<RouteAvailability> shown;
    for (const auto& item : items) shown.push_back(app.availability(item));
    EXPECT_EQ(shown, (std::vector<RouteAvailability>{RouteAvailability::untested, RouteAvailability::paidRequired,
                                                     RouteAvailability::unavailable}));
    app.setRouteAvailability(RouteAvailability::slow, "naive");
    EXPECT_EQ(app.availability(items[0]), RouteAvailability::slow);

    // Of two routes with one catalog key, the first joins.
    const RouteNode first = route("first", RouteTransport::hysteria2, "RO");
    app.setRoutes({first, route("second", RouteTransport::hysteria2, "ro ")});
    app.setRouteCatalog({catalogItem("RO:hysteria2", CatalogRouteStatus::available)});
    EXPECT_EQ(app.routeListItems().at(0).route, first);

    // Without a catalog every route with a region is listed with an entry of its own.
    app.setRoutes({naive, route("nowhere", RouteTransport::vless, std::nullopt)});
    app.setRouteCatalog({});
    EXPECT_EQ(app.routeListItems(),
              (std::vector<RouteListItem>{{RouteCatalogItem{"RO:naive-h3", "RO", "Romania", "naive", "Naive H3",
                                                            "naive", CatalogRouteStatus::available},
                                           naive}}));
}

TEST_F(AppStateRoutesTest, TheSelectedActiveAndDisplayedRoutes) {
    EXPECT_EQ(app.selectedRoute(), nullptr);
    EXPECT_FALSE(app.canConnect());
    EXPECT_FALSE(app.canTestAllRoutes());

    app.setRoutes({route("a", RouteTransport::vless, "EE"), route("b", RouteTransport::trojan, "RO")});
    app.setSelectedRouteID("gone");
    EXPECT_EQ(app.selectedRoute()->id, "a");
    app.setSelectedRouteID("b");
    app.setActiveRouteID("a");
    EXPECT_EQ(app.displayedRoute()->id, "b");
    app.setTunnelStatus(TunnelStatus::failed);
    EXPECT_EQ(app.displayedRoute()->id, "a");
    EXPECT_EQ(app.activeRoute()->id, "a");
    app.setActiveRouteID("gone");
    EXPECT_EQ(app.activeRoute(), nullptr);
    EXPECT_EQ(app.displayedRoute()->id, "b");
    EXPECT_EQ(app.routeTestCurrentRouteName(), std::nullopt);
    app.setRouteTestProgress(RouteTestProgress{0, 2, "b"});
    EXPECT_EQ(app.routeTestCurrentRouteName(), "Romania · Trojan TLS");
}

TEST_F(AppStateRoutesTest, WhatEachButtonMayDo) {
    app.setRoutes({route("a", RouteTransport::vless, "EE"), route("b", RouteTransport::trojan, "RO")});
    app.setSubscriptionInput(std::string(testing::kLink));
    EXPECT_TRUE(app.canConnect());
    EXPECT_TRUE(app.canImport());
    EXPECT_TRUE(app.canRefresh());
    EXPECT_TRUE(app.canTestAllRoutes());

    app.setTunnelStatus(TunnelStatus::connected);
    app.setSelectedRouteID("a");
    app.setActiveRouteID("a");
    EXPECT_FALSE(app.canConnect());
    app.setSelectedRouteID(std::nullopt);
    EXPECT_TRUE(app.canConnect());
    EXPECT_FALSE(app.canImport());
    EXPECT_TRUE(app.canRefresh());
    EXPECT_FALSE(app.canTestAllRoutes());

    app.setTunnelStatus(TunnelStatus::failed);
    EXPECT_TRUE(app.canImport());
    app.activeMode = ConnectionMode::tun;
    EXPECT_TRUE(app.isConnectionEngaged());
    EXPECT_FALSE(app.canImport());

    app.setTunnelStatus(TunnelStatus::connecting);
    EXPECT_FALSE(app.canConnect());
    EXPECT_FALSE(app.canRefresh());

    app.setTunnelStatus(TunnelStatus::disconnected);
    app.setRouteTestProgress(RouteTestProgress{0, 2, std::nullopt});
    EXPECT_FALSE(app.canConnect());
    EXPECT_FALSE(app.canRefresh());
    app.setRouteTestProgress(std::nullopt);
    app.connectionAttemptID = Uuid::random();
    EXPECT_FALSE(app.canTestAllRoutes());
    app.connectionAttemptID.reset();
    app.setConnectionMode(ConnectionMode::proxy);
    EXPECT_FALSE(app.canTestAllRoutes());
}

TEST_F(AppStateRoutesTest, AccessLinksAndTheHints) {
    struct Case {
        std::string input;
        bool link;
        std::string savedHint;
    };
    const std::string linkHint = "Ссылка сохранена только на этом Mac";
    const std::string keyHint = "Ключ сохранён только на этом Mac";
    for (const auto& [input, link, savedHint] : std::vector<Case>{
             {std::string(testing::kLink) + "\u00a0", true, linkHint},
             {"HTTPS://h.example/x", true, linkHint},
             {"ftp://x", false, keyHint},
             {"https://a b", false, keyHint},
             {std::string(testing::kVlessLink), false, keyHint},
             {"   ", false, "No access link saved"},
         }) {
        SCOPED_TRACE(input);
        app.setSubscriptionInput(input);
        EXPECT_EQ(app.hasAccessLink(), link);
        EXPECT_EQ(app.savedAccessHint(), savedHint);
    }
    EXPECT_EQ(AppState::accessLinkURL(" https://h.example/x"), std::nullopt);

    app.setSubscriptionInput("ftp://x");
    EXPECT_EQ(app.refreshHint(), "Один раз импортируйте ссылку доступа, чтобы включить обновления.");
    app.setSubscriptionInput(std::string(testing::kLink));
    EXPECT_EQ(app.refreshHint(), "Загрузить свежие маршруты по сохранённой ссылке.");
    app.setTunnelStatus(TunnelStatus::connected);
    EXPECT_EQ(app.refreshHint(), "Загрузить свежие маршруты через работающий VPN.");
}

TEST_F(AppStateRoutesTest, TheDefaultRoutePrefersRomanianHysteria2) {
    const auto preferred = [](std::vector<RouteNode> routes) { return AppState::preferredDefaultRouteID(routes); };
    EXPECT_EQ(preferred({route("ee", RouteTransport::trojan, "EE"), route("ro-vless", RouteTransport::vless, "RO"),
                         route("ro-hy2", RouteTransport::hysteria2, "RO")}),
              "ro-hy2");
    EXPECT_EQ(preferred({route("ee", RouteTransport::trojan, "EE"), route("ro-vless", RouteTransport::vless, "RO")}),
              "ro-vless");
    EXPECT_EQ(preferred({route("ee", RouteTransport::vless, "EE")}), "ee");
    EXPECT_EQ(preferred({}), std::nullopt);
}

TEST_F(AppStateRoutesTest, AvailabilityWritesAndTheActiveRoutesSetting) {
    app.setRouteAvailability(RouteAvailability::available, "r");
    app.setRouteAvailability(RouteAvailability::available, "r");
    EXPECT_EQ(app.routeAvailabilityGeneration.at("r"), 2U);
    EXPECT_EQ(app.routeAvailability().at("r"), RouteAvailability::available);

    app.setActiveRouteID("r");
    EXPECT_EQ(settings->string(AppState::savedActiveRouteIDKey), "r");
    app.setActiveRouteID(std::nullopt);
    EXPECT_FALSE(settings->contains(AppState::savedActiveRouteIDKey));
    EXPECT_EQ(app.activeRouteID(), std::nullopt);

    // Only routes equal in every field keep their availability.
    const RouteNode kept = route("kept", RouteTransport::vless, "RO");
    RouteNode moved = route("moved", RouteTransport::vless, "RO");
    app.setRoutes({kept, moved});
    app.setRouteAvailability(RouteAvailability::available, "kept");
    app.setRouteAvailability(RouteAvailability::slow, "moved");
    moved.port = 8443;
    app.pruneRouteAvailability(std::vector<RouteNode>{kept, moved});
    EXPECT_EQ(app.routeAvailability(), (RouteAvailabilityMap{{"kept", RouteAvailability::available}}));
}

// A locale whose decimal separator is a comma, made with the system's
// locale compiler when none is installed.
class CommaDecimalLocale {
public:
    CommaDecimalLocale() {
        if (use("de_DE.UTF-8")) return;
        const std::string made = (directory_ / "de_DE.UTF-8").string();
        const std::string command = "localedef -i de_DE -f UTF-8 '" + made + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            ::setenv("LOCPATH", directory_.path().c_str(), 1);
            use("de_DE.UTF-8");
        }
    }
    ~CommaDecimalLocale() {
        std::setlocale(LC_NUMERIC, "C");
        ::unsetenv("LOCPATH");
    }
    CommaDecimalLocale(const CommaDecimalLocale&) = delete;
    CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

    [[nodiscard]] bool active() const { return active_; }

private:
    bool use(const char* name) {
        if (std::setlocale(LC_NUMERIC, name) == nullptr) return false;
        char formatted[16];
        std::snprintf(formatted, sizeof formatted, "%.1f", 0.5);
        active_ = std::string(formatted) == "0,5";
        return active_;
    }

    testing::TemporaryDirectory directory_;
    bool active_ = false;
};

TEST_F(AppStateRoutesTest, TimesAreWrittenWithThreeDecimalsAndAPointWhateverTheLocale) {
    const auto check = [this] {
        EXPECT_EQ(AppState::checkResultText(true, 1.5), "pass/1.500s");
        EXPECT_EQ(AppState::checkResultText(true, 0.1235), "pass/0.123s");
        EXPECT_EQ(AppState::checkResultText(true, 0.0005), "pass/0.001s");
        EXPECT_EQ(AppState::checkResultText(false, -0.0), "fail/0.000s");
        EXPECT_EQ(AppState::checkResultText(false, -2.0), "fail/0.000s");
        EXPECT_EQ(app.elapsedText(clock->uptime() + 3.0), "0.000s");
        EXPECT_EQ(app.elapsedText(clock->uptime() - 12.25), "12.250s");
    };
    check();
    const CommaDecimalLocale comma;
    ASSERT_TRUE(comma.active()) << "no locale with a decimal comma could be made";
    check();
}

}  // namespace
}  // namespace tarnel
