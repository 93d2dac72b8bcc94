#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "tests/support/test_account.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;

struct CheckpointStop {};

// A Tailscale application tree whose tool is the stand-in, configured by the
// file beside it (sudo clears the environment), readable by the user.
class ToolTree {
public:
    explicit ToolTree(const std::string& faults) {
        fs::permissions(directory_.path(), fs::perms(0755));
        tool_ = directory_.path() / "Applications/Tailscale.app/Contents/MacOS/Tailscale";
        fs::create_directories(tool_.parent_path());
        fs::copy_file(TARNEL_STANDIN_TAILSCALE, tool_);
        fs::create_directories(directory_.path() / "out");
        fs::permissions(directory_.path() / "out", fs::perms(0777));
        const fs::path fixtures = fs::path(TARNEL_TEST_FIXTURES) / "tailscale-cli";
        std::ofstream(tool_.parent_path() / "tarnel-standin.env")
            << "TARNEL_TAILSCALE_DERP_MAP=" << (fixtures / "derp-map.json").string() << '\n'
            << "TARNEL_TAILSCALE_STATUS=" << (fixtures / "status.json").string() << '\n'
            << "TARNEL_TAILSCALE_USER_FILE=" << userFile().string() << '\n'
            << "TARNEL_TAILSCALE_FAULTS=" << faults << '\n';
        ::setenv("TARNEL_LAUNCHCTL_CALLS", callsFile().c_str(), 1);
    }
    ~ToolTree() { ::unsetenv("TARNEL_LAUNCHCTL_CALLS"); }
    ToolTree(const ToolTree&) = delete;
    ToolTree& operator=(const ToolTree&) = delete;

    [[nodiscard]] const fs::path& tool() const { return tool_; }
    [[nodiscard]] fs::path userFile() const { return directory_.path() / "out/users"; }
    [[nodiscard]] fs::path callsFile() const { return directory_.path() / "calls"; }

    [[nodiscard]] std::vector<std::string> arguments(std::vector<std::string> toolArguments) const {
        std::vector<std::string> arguments = {"asuser", "501", "/usr/bin/sudo", "-n", "-H", "-u", "#501", "--",
                                              tool_.string()};
        arguments.insert(arguments.end(), toolArguments.begin(), toolArguments.end());
        return arguments;
    }

    // Whether a process still runs the tool.
    [[nodiscard]] bool toolRunning() const { return testing::programRunning(tool_); }

private:
    testing::TemporaryDirectory directory_;
    fs::path tool_;
};

BoundedCommandResult runLaunchctl(std::vector<std::string> arguments,
                                  const BoundedCommandRunner::Checkpoint& checkpoint = [](double) {}) {
    return BoundedCommandRunner::run({TARNEL_STANDIN_LAUNCHCTL, std::move(arguments)}, 2'097'152, checkpoint);
}

TEST(LaunchctlStandIn, RunsTheToolAsTheUserThroughSudo) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    ToolTree tree("");
    EXPECT_EQ(runLaunchctl(tree.arguments({"debug", "derp-map"})),
              (BoundedCommandResult{0, testing::readFixture("tailscale-cli/derp-map.json")}));
    EXPECT_EQ(files::readIfExists(tree.userFile()), "501\n");
    EXPECT_EQ(files::readIfExists(tree.callsFile()),
              "asuser 501 /usr/bin/sudo -n -H -u #501 -- " + tree.tool().string() + " debug derp-map\n");
}

TEST(LaunchctlStandIn, RefusesEveryOtherFormAndRunsNothing) {
    ToolTree tree("");
    const std::vector<std::vector<std::string>> refused = {
        {"asuser", "501", "/usr/bin/sudo", "-n", "-H", "-u", "#502", "--", tree.tool().string(), "status"},
        {"asuser", "0501", "/usr/bin/sudo", "-n", "-H", "-u", "#0501", "--", tree.tool().string(), "status"},
        {"asuser", "501", "/usr/bin/sudo", "-H", "-n", "-u", "#501", "--", tree.tool().string(), "status"},
        {"asuser", "501", "/bin/sh", "-n", "-H", "-u", "#501", "--", tree.tool().string(), "status"},
        {"asuser", "501", "/usr/bin/sudo", "-n", "-H", "-u", "#501", "--"},
        {"bootstrap", "system"},
    };
    for (const auto& arguments : refused) {
        EXPECT_EQ(runLaunchctl(arguments).terminationStatus, 2);
    }
    EXPECT_FALSE(fs::exists(tree.callsFile()));
    EXPECT_FALSE(fs::exists(tree.userFile()));
}

TEST(LaunchctlStandIn, AStoppedRunEndsTheWholeChain) {
    testing::ScopedTestAccount account;
    ASSERT_TRUE(account.available());
    ToolTree tree("sleep=30");
    // The run is stopped once the tool has said who it runs as (however long a
    // busy machine takes to get there), or after 10 s at the latest.
    const double giveUpAt = SystemClock::shared().uptime() + 10.0;
    EXPECT_THROW((void)runLaunchctl(tree.arguments({"debug", "derp-map"}),
                                    [&](double uptime) {
                                        const auto said = files::readIfExists(tree.userFile());
                                        if (uptime >= giveUpAt || (said && said->ends_with('\n'))) {
                                            throw CheckpointStop{};
                                        }
                                    }),
                 CheckpointStop);
    // The tool ran as the user below sudo, and nothing of the chain is left.
    EXPECT_EQ(files::readIfExists(tree.userFile()), "501\n");
    EXPECT_FALSE(tree.toolRunning());
}

}  // namespace
}  // namespace tarnel
