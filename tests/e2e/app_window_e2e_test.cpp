// The application-state driver's window end to end: the signed fixture
// application's main executable as user 65534, its window over the
// application's state, offscreen and on an X server of the test's namespace,
// worked and read by object name through the driver's commands, every reply
// stamped on the monotonic clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/app_state_driver.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/virtual_display.hpp"

namespace tarnel::testing {
namespace {

// The width and height a PNG file's header gives; none for a file that is
// not a PNG.
std::optional<std::pair<int, int>> pngSize(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    unsigned char header[24] = {};
    if (!stream.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
    const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!std::equal(signature, signature + 8, header) || std::string(header + 12, header + 16) != "IHDR") {
        return std::nullopt;
    }
    const auto word = [&](int at) {
        return (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3];
    };
    return std::pair{word(16), word(20)};
}

double stampOf(double at) { return at; }
double stampOf(const AppStateDriver::Reply& reply) { return reply.at; }

// The window's platform: Qt's offscreen one, or X (Xvfb in the namespace).
class AppWindowE2E : public NamespaceTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        space_.emplace();
        helper_.emplace(*space_);
        helper_->startHelper();
        ASSERT_TRUE(helper_->listening());
        AppStateDriver::Options options;
        if (GetParam() == "xcb") {
            display_ = VirtualDisplay::start(
                [this](const ChildProcess::Options& launch) { return space_->launch(launch); });
            ASSERT_TRUE(display_);
            options.environment = {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display_->display()};
        }
        AppStateDriver::Checks checks;
        checks.ipRouteAddress = "127.0.0.1";
        checks.wildcardDNSDomain = "tarnel.test";
        checks.traceHost = "trace.tarnel.test";
        checks.resolver = "127.0.0.1";
        started_ = monotonicNow();
        app_.emplace(*helper_, checks, nullptr, options);
    }
    void TearDown() override {
        app_.reset();
        display_.reset();
        helper_.reset();
    }

    std::optional<NetworkNamespace> space_;
    std::optional<HelperHarness> helper_;
    std::optional<VirtualDisplay> display_;
    std::optional<AppStateDriver> app_;
    double started_ = 0;
};

TEST_P(AppWindowE2E, TheWindowsControlsAreWorkedAndReadByNameWithStampedReplies) {
    if (IsSkipped()) return;
    AppStateDriver& app = *app_;
    std::vector<double> stamps;
    // Each reply is stamped between the request and its arrival.
    const auto stamped = [&](auto&& request) {
        const double sent = monotonicNow();
        const auto reply = request();
        const double at = stampOf(reply);
        EXPECT_LE(sent, at);
        EXPECT_LE(at, monotonicNow());
        stamps.push_back(at);
        return reply;
    };

    const auto headline = stamped([&] { return app.control("tunnel.headline"); }).value;
    EXPECT_EQ(headline.at("text"), "Ready to connect");
    EXPECT_EQ(headline.at("visible"), true);
    EXPECT_TRUE(headline.at("checked").is_null());
    EXPECT_EQ(app.control("tunnel.status").value.at("text"), "Disconnected");
    EXPECT_EQ(app.control("tunnel.retry-hint").value.at("visible"), false);
    const auto disconnect = app.control("tunnel.disconnect").value;
    EXPECT_EQ(disconnect.at("enabled"), false);

    // What a user cannot do, the driver refuses, and nothing happens.
    for (const auto& [what, request] : std::vector<std::pair<std::string, std::function<void()>>>{
             {"a missing control", [&] { app.press("tunnel.nothing"); }},
             {"a disabled button", [&] { app.press("tunnel.disconnect"); }},
             {"a hidden picker", [&] { app.choose("connection.mode", "Proxy"); }},
             {"a label", [&] { app.press("tunnel.headline"); }},
         }) {
        EXPECT_THROW(request(), std::runtime_error) << what;
    }
    EXPECT_EQ(app.state().at("connectionMode"), "tun");

    // The advanced panel opens, and its picker chooses Proxy for the state.
    EXPECT_EQ(app.control("connection.mode").value.at("visible"), false);
    stamped([&] { return app.press("panel.advanced"); });
    const auto picker = app.control("connection.mode").value;
    EXPECT_EQ(picker.at("visible"), true);
    EXPECT_EQ(picker.at("text"), "TUN");
    EXPECT_EQ(picker.at("texts"), json::Value({"TUN", "Proxy"}));
    EXPECT_THROW(app.choose("connection.mode", "WireGuard"), std::runtime_error);
    stamped([&] { return app.choose("connection.mode", "Proxy"); });
    EXPECT_EQ(app.control("connection.mode").value.at("text"), "Proxy");
    EXPECT_EQ(app.state().at("connectionMode"), "proxy");

    // A link typed into the access key field is the state's input; Import
    // makes its route a row of the list.
    const std::string link =
        "vless://0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f@203.0.113.5:7000?security=reality&pbk=reality-public-key"
        "&sid=0123abcd&sni=tarnel.test&fp=chrome#EE%20route";
    stamped([&] { return app.setAccessKey(link); });
    EXPECT_EQ(app.state().at("subscriptionInput"), link);
    EXPECT_EQ(app.control("subscription.access-key").value.at("text"), link);
    const std::size_t seen = app.log().size();
    stamped([&] { return app.press("subscription.import"); });
    ASSERT_TRUE(app.waitForLine("Imported 1 route(s).", 30.0, seen)) << ::testing::PrintToString(app.log());
    const json::Value state = app.state();
    ASSERT_EQ(state.at("routes").size(), 1u);
    ASSERT_EQ(state.at("routeList").size(), 1u);
    const std::string row = "route." + state.at("routeList").at(0).get<std::string>();
    EXPECT_EQ(app.control("routes.count").value.at("text"), "1");
    const auto shown = stamped([&] { return app.control(row); }).value;
    EXPECT_NE(std::ranges::find(shown.at("texts"), json::Value("Not tested")), shown.at("texts").end())
        << shown.dump();
    const std::size_t beforeSelection = app.log().size();
    stamped([&] { return app.press(row); });
    EXPECT_TRUE(app.waitForLine("Selected ", 10.0, beforeSelection)) << ::testing::PrintToString(app.log());
    EXPECT_EQ(app.control(row).value.at("selected"), true);
    EXPECT_EQ(app.state().at("selectedRouteID"), state.at("routes").at(0));

    // The window's picture: a PNG of the whole window, as large as it opens
    // (from the X server on X).
    const auto picture = app.output() / "window.png";
    stamped([&] { return app.grab(picture); });
    EXPECT_EQ(pngSize(picture), std::pair(1120, 780));
    EXPECT_THROW(app.grab("/nonexistent/window.png"), std::runtime_error);

    // Every stamp follows the one before; the log's lie within the driver's life.
    EXPECT_TRUE(std::ranges::is_sorted(stamps));
    for (const auto& entry : app.logEntries()) {
        EXPECT_LE(started_, entry.at) << entry.text;
        EXPECT_LE(entry.at, monotonicNow()) << entry.text;
    }
    EXPECT_EQ(app.finish(30.0), 0);
    EXPECT_TRUE(app.otherLines().empty()) << ::testing::PrintToString(app.otherLines());
}

INSTANTIATE_TEST_SUITE_P(Platforms, AppWindowE2E, ::testing::Values("offscreen", "xcb"),
                         [](const auto& platform) { return platform.param; });

}  // namespace
}  // namespace tarnel::testing
