#include <gtest/gtest.h>

#include <QTest>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/state/connection_plan_fixture.hpp"
#include "tests/ui/ui_test_support.hpp"

// The window's Connect through the real plan runner over the scripted helper
// and traffic checks, and the netstat stand-in; virtual time from uptime 100.
namespace tarnel::testing {
namespace {

const std::string kPlanLine = "Signed failover plan prepared across permitted transports and nodes.";

class WindowConnectTest : public WindowFixtureOver<ConnectionPlanFixture> {
protected:
    WindowConnectTest() {
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
        helper->onTunnelStatus = [](double) { return std::optional<std::int32_t>(); };
        helper->onTunnelProtectionStatus = [](double) { return false; };
        helper->onPrepareRuntime = [](const Uuid&, double) {
            return std::string("0B5E5A53-7C9E-4D52-8E2B-5F0A3C1D2E4F");
        };
        helper->onStartTunnel = [this](const std::string&, const std::optional<std::string>&, const std::string&,
                                       const Uuid&, double deadline) {
            std::lock_guard lock(mutex_);
            starts_.push_back({clock->uptime(), deadline});
            return PrivilegedTunnelStartResult{4242, deadline};
        };
        helper->onVersionCheckedBooleanRequest = [](const ipc::Request&, double) { return true; };
        helper->onDisconnectTunnel = [](double, bool) {};
        failoverPauseJitter = [] { return 0; };
    }

    // Opens the window over routes on two nodes (a free plan), the first
    // selected, and presses Connect; the runner's candidates' starts.
    void connectThroughTheWindow() {
        ContentView& window = open();
        appState().subscriptionServiceClass = "free";
        appState().setRoutes({trojanRoute("ro", "RO", 7001), trojanRoute("ee", "EE", 7002)});
        appState().setSelectedRouteID("ro");
        QTest::mouseClick(&byName<QAbstractButton>(window, "tunnel.connect"), Qt::LeftButton);
        // (The fixture's own helpers read the state it no longer holds: the
        // application owns it.)
        ASSERT_TRUE(runEventsUntil([this] {
            const TaskSlot& task = appState().connectionTask;
            return !task.isSet() || task.isFinished();
        }));
        EXPECT_EQ(appState().tunnelStatus(), TunnelStatus::connected);
        EXPECT_EQ(appState().activeRouteID(), "ro");
        EXPECT_FALSE(byName<QAbstractButton>(window, "tunnel.connect").isEnabled());
        EXPECT_TRUE(byName<QAbstractButton>(window, "tunnel.disconnect").isEnabled());
        EXPECT_EQ(window.headlineLabel().text(), "Connected");
        window_ = &window;
    }

    // The log's lines after the initial one, without their time stamps.
    [[nodiscard]] std::vector<std::string> lines() {
        std::istringstream text(appState().diagnosticLog());
        std::vector<std::string> found;
        std::string line;
        std::getline(text, line);
        while (std::getline(text, line)) found.push_back(line.substr(line.find("] ") + 2));
        return found;
    }
    [[nodiscard]] bool logged(const std::string& line) {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    struct Start {
        double uptime = 0.0;  // when the helper was asked
        double deadline = 0.0;
    };
    [[nodiscard]] std::vector<Start> starts() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }

    ContentView* window_ = nullptr;

private:
    mutable std::mutex mutex_;
    std::vector<Start> starts_;
};

TEST_F(WindowConnectTest, ConnectGivesEachCandidateTwelveSecondsOverAFreePlanOfTwoNodes) {
    probe->script({kPass});
    connectThroughTheWindow();
    EXPECT_TRUE(logged(kPlanLine));
    ASSERT_EQ(starts().size(), 1U);
    EXPECT_DOUBLE_EQ(starts()[0].deadline - starts()[0].uptime, 12.0);
}

TEST_F(WindowConnectTest, TheLaunchFlagConnectsTheSelectedRouteAloneWithOneThirtySecondWindow) {
    arguments.push_back("--selected-route-only-diagnostic");
    probe->script({kPass});
    connectThroughTheWindow();
    EXPECT_FALSE(logged(kPlanLine)) << "one candidate";
    ASSERT_EQ(starts().size(), 1U);
    EXPECT_DOUBLE_EQ(starts()[0].deadline - starts()[0].uptime, 12.0);
    EXPECT_EQ(probe->windows(), std::vector<double>{30.0});
}

TEST_F(WindowConnectTest, DisconnectStopsTheTunnelAndConnectIsOfferedAgain) {
    probe->script({kPass});
    connectThroughTheWindow();
    QTest::mouseClick(&byName<QAbstractButton>(*window_, "tunnel.disconnect"), Qt::LeftButton);
    EXPECT_EQ(appState().tunnelStatus(), TunnelStatus::disconnected);
    EXPECT_TRUE(logged("Stopped TUN sing-box process."));
    EXPECT_EQ(window_->headlineLabel().text(), "Ready to connect");
    EXPECT_TRUE(byName<QAbstractButton>(*window_, "tunnel.connect").isEnabled());
    EXPECT_FALSE(byName<QAbstractButton>(*window_, "tunnel.disconnect").isEnabled());
}

}  // namespace
}  // namespace tarnel::testing
