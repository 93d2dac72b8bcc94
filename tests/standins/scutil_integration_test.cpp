#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/contract/vpn_service_list.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

constexpr std::string_view kService = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

// The stand-in over the checked-in Tailscale fixtures, with the environment it
// reads set for the life of the object.
class ScutilStandIn {
public:
    ScutilStandIn() {
        const std::filesystem::path fixtures = std::filesystem::path(TARNEL_TEST_FIXTURES) / "tailscale-cli";
        std::filesystem::copy_file(fixtures / "scutil-status.txt", directory_.path() / kService);
        ::setenv("TARNEL_SCUTIL_LIST", (fixtures / "scutil-list.txt").c_str(), 1);
        ::setenv("TARNEL_SCUTIL_STATUS_DIRECTORY", directory_.path().c_str(), 1);
        ::unsetenv("TARNEL_SCUTIL_EXIT_STATUS");
    }
    ~ScutilStandIn() {
        ::unsetenv("TARNEL_SCUTIL_LIST");
        ::unsetenv("TARNEL_SCUTIL_STATUS_DIRECTORY");
        ::unsetenv("TARNEL_SCUTIL_EXIT_STATUS");
    }
    ScutilStandIn(const ScutilStandIn&) = delete;
    ScutilStandIn& operator=(const ScutilStandIn&) = delete;

    static BoundedCommandResult run(std::vector<std::string> arguments) {
        return BoundedCommandRunner::run({TARNEL_STANDIN_SCUTIL, std::move(arguments)}, 262'144, [](double) {});
    }

private:
    testing::TemporaryDirectory directory_;
};

TEST(ScutilStandIn, AnswersTheVPNServiceQueriesFromFixtures) {
    ScutilStandIn standIn;
    const BoundedCommandResult list = ScutilStandIn::run({"--nc", "list"});
    EXPECT_EQ(list.terminationStatus, 0);
    EXPECT_EQ(list.output, testing::readFixture("tailscale-cli/scutil-list.txt"));
    EXPECT_EQ(PrivilegedHelperContract::connectedVPNServiceIdentifier(list.output, "io.tailscale.ipn.macsys"),
              std::string(kService));

    const BoundedCommandResult status = ScutilStandIn::run({"--nc", "status", std::string(kService)});
    EXPECT_EQ(status.terminationStatus, 0);
    EXPECT_EQ(PrivilegedHelperContract::tunnelInterfaceNameFromScutilStatus(status.output), "utun4");
}

TEST(ScutilStandIn, ExitStatusKnobUnknownServicesAndOtherCalls) {
    ScutilStandIn standIn;
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* exitStatus;
        std::int32_t expected;
    };
    const std::vector<Case> cases = {
        {"configured exit status", {"--nc", "list"}, "3", 3},
        {"unknown service", {"--nc", "status", "6F3C1B22-9E1D-4C47-8F2B-1A5D3E7C9B10"}, nullptr, 1},
        {"lower-case identifier names no file", {"--nc", "status", "3f2504e0-4f89-11d3-9a0c-0305e82c3301"}, nullptr, 1},
        {"path as identifier", {"--nc", "status", "../etc"}, nullptr, 1},
        {"other call", {"--get", "State:/Network"}, nullptr, 2},
        {"exit status out of range", {"--nc", "list"}, "256", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.exitStatus != nullptr) {
            ::setenv("TARNEL_SCUTIL_EXIT_STATUS", c.exitStatus, 1);
        } else {
            ::unsetenv("TARNEL_SCUTIL_EXIT_STATUS");
        }
        EXPECT_EQ(ScutilStandIn::run(c.arguments).terminationStatus, c.expected);
    }
}

// Each accepted call is recorded, writes its process identifier first and
// sleeps as long as it is told before it answers; a refused call does none of it.
TEST(ScutilStandIn, RecordsItsCallsAndSleepsWhenTold) {
    ScutilStandIn standIn;
    testing::TemporaryDirectory directory;
    ::setenv("TARNEL_SCUTIL_CALLS", (directory / "calls").c_str(), 1);
    ::setenv("TARNEL_SCUTIL_PID_FILE", (directory / "pid").c_str(), 1);
    EXPECT_EQ(ScutilStandIn::run({"--nc", "list"}).terminationStatus, 0);
    EXPECT_EQ(ScutilStandIn::run({"--nc", "show"}).terminationStatus, 2);
    EXPECT_EQ(files::readIfExists(directory / "calls"), "--nc list\n");

    ::setenv("TARNEL_SCUTIL_SLEEP", "30", 1);
    const double stopAt = SystemClock::shared().uptime() + 0.3;
    EXPECT_THROW((void)BoundedCommandRunner::run({TARNEL_STANDIN_SCUTIL, {"--nc", "list"}}, 262'144,
                                                 [stopAt](double uptime) {
                                                     if (uptime >= stopAt) throw std::runtime_error("stopped");
                                                 }),
                 std::runtime_error);
    const std::string pid = files::readIfExists(directory / "pid").value_or("");
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(testing::isLiveProcess(std::stoi(pid)));
    ::setenv("TARNEL_SCUTIL_SLEEP", "3601", 1);
    EXPECT_EQ(ScutilStandIn::run({"--nc", "list"}).terminationStatus, 2);
    for (const char* name : {"TARNEL_SCUTIL_CALLS", "TARNEL_SCUTIL_PID_FILE", "TARNEL_SCUTIL_SLEEP"}) ::unsetenv(name);
}

}  // namespace
}  // namespace tarnel
