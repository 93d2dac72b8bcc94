#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

struct CheckpointStop {};

// The stand-in over the checked-in Tailscale documents, with the environment it
// reads set for the life of the object.
class TailscaleStandIn {
public:
    explicit TailscaleStandIn(const char* faults = nullptr) {
        const std::filesystem::path fixtures = std::filesystem::path(TARNEL_TEST_FIXTURES) / "tailscale-cli";
        ::setenv("TARNEL_TAILSCALE_DERP_MAP", (fixtures / "derp-map.json").c_str(), 1);
        ::setenv("TARNEL_TAILSCALE_STATUS", (fixtures / "status.json").c_str(), 1);
        ::setenv("TARNEL_TAILSCALE_USER_FILE", userFile().c_str(), 1);
        if (faults != nullptr) ::setenv("TARNEL_TAILSCALE_FAULTS", faults, 1);
    }
    ~TailscaleStandIn() {
        for (const char* name : {"TARNEL_TAILSCALE_DERP_MAP", "TARNEL_TAILSCALE_STATUS", "TARNEL_TAILSCALE_USER_FILE",
                                 "TARNEL_TAILSCALE_FAULTS"}) {
            ::unsetenv(name);
        }
    }
    TailscaleStandIn(const TailscaleStandIn&) = delete;
    TailscaleStandIn& operator=(const TailscaleStandIn&) = delete;

    [[nodiscard]] std::filesystem::path userFile() const { return directory_.path() / "users"; }

    static BoundedCommandResult run(std::vector<std::string> arguments,
                                    const BoundedCommandRunner::Checkpoint& checkpoint = [](double) {}) {
        return BoundedCommandRunner::run({TARNEL_STANDIN_TAILSCALE, std::move(arguments)}, 2'097'152, checkpoint);
    }

private:
    testing::TemporaryDirectory directory_;
};

TEST(TailscaleStandIn, PrintsTheDocumentsAndRecordsItsUser) {
    TailscaleStandIn standIn;
    const BoundedCommandResult derpMap = TailscaleStandIn::run({"debug", "derp-map"});
    EXPECT_EQ(derpMap, (BoundedCommandResult{0, testing::readFixture("tailscale-cli/derp-map.json")}));
    const BoundedCommandResult status = TailscaleStandIn::run({"status", "--json"});
    EXPECT_EQ(status, (BoundedCommandResult{0, testing::readFixture("tailscale-cli/status.json")}));
    const std::string uid = std::to_string(::geteuid());
    EXPECT_EQ(files::readIfExists(standIn.userFile()), uid + "\n" + uid + "\n");
    EXPECT_EQ(TailscaleStandIn::run({"status"}).terminationStatus, 2);
}

TEST(TailscaleStandIn, PrintsThePreferencesAndRecordsItsCalls) {
    TailscaleStandIn standIn("prefs:exit=4,status:silent");
    testing::TemporaryDirectory directory;
    files::writeAtomically(directory / "prefs", R"({"ExitNodeID": ""})");
    ::setenv("TARNEL_TAILSCALE_PREFS", (directory / "prefs").c_str(), 1);
    ::setenv("TARNEL_TAILSCALE_CALLS", (directory / "calls").c_str(), 1);
    ::setenv("TARNEL_TAILSCALE_PID_FILE", (directory / "pid").c_str(), 1);
    EXPECT_EQ(TailscaleStandIn::run({"debug", "prefs"}), (BoundedCommandResult{4, R"({"ExitNodeID": ""})"}));
    EXPECT_EQ(TailscaleStandIn::run({"status", "--json"}), (BoundedCommandResult{0, ""}));
    EXPECT_EQ(TailscaleStandIn::run({"debug", "netcheck"}).terminationStatus, 2);
    EXPECT_EQ(files::readIfExists(directory / "calls"), "debug prefs\nstatus --json\n");
    EXPECT_TRUE(files::readIfExists(directory / "pid").has_value());
    for (const char* name : {"TARNEL_TAILSCALE_PREFS", "TARNEL_TAILSCALE_CALLS", "TARNEL_TAILSCALE_PID_FILE"}) {
        ::unsetenv(name);
    }
}

TEST(TailscaleStandIn, FaultKnobs) {
    {
        TailscaleStandIn standIn("silent,exit=0");
        EXPECT_EQ(TailscaleStandIn::run({"debug", "derp-map"}), (BoundedCommandResult{0, ""}));
    }
    {
        TailscaleStandIn standIn("exit=3");
        EXPECT_EQ(TailscaleStandIn::run({"status", "--json"}).terminationStatus, 3);
    }
    {
        // A fault scoped to one command leaves the other as it is.
        TailscaleStandIn standIn("status:exit=3,derp-map:silent");
        EXPECT_EQ(TailscaleStandIn::run({"status", "--json"}),
                  (BoundedCommandResult{3, testing::readFixture("tailscale-cli/status.json")}));
        EXPECT_EQ(TailscaleStandIn::run({"debug", "derp-map"}), (BoundedCommandResult{0, ""}));
    }
    {
        TailscaleStandIn standIn("oversize=2097153");
        try {
            (void)TailscaleStandIn::run({"status", "--json"});
            ADD_FAILURE() << "output over the cap was accepted";
        } catch (const BoundedCommandRunnerError& error) {
            EXPECT_EQ(error.errorCase(), BoundedCommandRunnerError::Case::outputTooLarge);
        }
    }
    {
        // A sleeping tool ends when the checkpoint stops the run.
        TailscaleStandIn standIn("sleep=30");
        const double stopAt = SystemClock::shared().uptime() + 0.2;
        EXPECT_THROW((void)TailscaleStandIn::run({"debug", "derp-map"},
                                                 [stopAt](double uptime) {
                                                     if (uptime >= stopAt) throw CheckpointStop{};
                                                 }),
                     CheckpointStop);
    }
    {
        TailscaleStandIn standIn("bogus");
        EXPECT_EQ(TailscaleStandIn::run({"debug", "derp-map"}).terminationStatus, 2);
    }
    {
        TailscaleStandIn standIn("netcheck:silent");
        EXPECT_EQ(TailscaleStandIn::run({"debug", "derp-map"}).terminationStatus, 2);
    }
}

}  // namespace
}  // namespace tarnel
