// The netstat stand-in's calls, its record of them and its settings.

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

constexpr const char* kSettings[] = {"TARNEL_NETSTAT_CALLS", "TARNEL_NETSTAT_OUTPUT", "TARNEL_NETSTAT_EXIT_STATUS",
                                     "TARNEL_NETSTAT_HANG"};

// The stand-in's settings for the life of the object, its calls recorded in a
// temporary directory.
class NetstatSettings {
public:
    NetstatSettings() {
        for (const char* name : kSettings) ::unsetenv(name);
        ::setenv("TARNEL_NETSTAT_CALLS", calls().c_str(), 1);
    }
    ~NetstatSettings() {
        for (const char* name : kSettings) ::unsetenv(name);
    }
    NetstatSettings(const NetstatSettings&) = delete;
    NetstatSettings& operator=(const NetstatSettings&) = delete;

    [[nodiscard]] std::filesystem::path calls() const { return directory_ / "calls"; }
    [[nodiscard]] std::filesystem::path file(const std::string& name) const { return directory_ / name; }

private:
    testing::TemporaryDirectory directory_;
};

BoundedCommandResult run(std::vector<std::string> arguments) {
    return BoundedCommandRunner::run({TARNEL_STANDIN_NETSTAT, std::move(arguments)}, 1 << 20, [](double) {});
}

TEST(NetstatStandIn, RefusesEveryOtherCallAndRecordsEachRunWithItsProcessID) {
    NetstatSettings settings;
    const std::vector<std::vector<std::string>> refused = {
        {}, {"-rn"}, {"-rn", "-f", "inet6"}, {"-r", "-n", "-f", "inet"}, {"-rn", "-f", "inet", "-v"},
    };
    for (const auto& arguments : refused) {
        const BoundedCommandResult result = run(arguments);
        EXPECT_EQ(result.terminationStatus, 2);
        EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(run({"-rn", "-f", "in\net"}).terminationStatus, 2);  // not recorded: it would break the record

    ChildProcess::Options options;
    options.executable = TARNEL_STANDIN_NETSTAT;
    options.arguments = {"-rn", "-f", "inet"};
    options.output = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    ASSERT_TRUE(child.waitForExit(30.0));
    EXPECT_EQ(child.exitStatus()->terminationStatus(), 0);

    // One line a recorded run: its process id, then each argument after a blank.
    std::vector<std::string> expected;
    for (const auto& arguments : refused) {
        std::string line;
        for (const std::string& argument : arguments) line += " " + argument;
        expected.push_back(line);
    }
    expected.push_back(" -rn -f inet");
    const std::string record = files::readIfExists(settings.calls()).value_or("");
    std::vector<std::string> lines;
    std::string lastPid;
    for (std::size_t start = 0; start < record.size();) {
        const std::size_t end = record.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "every record ends with a line feed";
        const std::string line = record.substr(start, end - start);
        const std::size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
        ASSERT_GT(digits, 0u) << line;
        lastPid = line.substr(0, digits);
        lines.push_back(line.substr(digits));
        start = end + 1;
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(lastPid, std::to_string(child.pid()));
}

TEST(NetstatStandIn, PrintsTheGivenOutputWithTheGivenExitStatus) {
    NetstatSettings settings;
    const std::string bytes = std::string("default 192.168.1.1 UGScg en0\r\n\xFF\0tail", 37);
    files::writeAtomically(settings.file("output"), bytes);
    ::setenv("TARNEL_NETSTAT_OUTPUT", settings.file("output").c_str(), 1);
    EXPECT_EQ(run({"-rn", "-f", "inet"}), (BoundedCommandResult{0, bytes}));
    ::setenv("TARNEL_NETSTAT_EXIT_STATUS", "3", 1);
    EXPECT_EQ(run({"-rn", "-f", "inet"}), (BoundedCommandResult{3, bytes}));
    ::setenv("TARNEL_NETSTAT_EXIT_STATUS", "256", 1);
    EXPECT_EQ(run({"-rn", "-f", "inet"}), (BoundedCommandResult{2, ""}));
    ::unsetenv("TARNEL_NETSTAT_EXIT_STATUS");
    ::setenv("TARNEL_NETSTAT_OUTPUT", settings.file("missing").c_str(), 1);
    EXPECT_EQ(run({"-rn", "-f", "inet"}).terminationStatus, 2);
}

}  // namespace
}  // namespace tarnel
