#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "common/base/error.hpp"
#include "common/process/child_process.hpp"
#include "common/process/system_tools.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

using testing::TemporaryDirectory;
// Waits and stops here end only if the layer keeps its own bounds; the
// fixture bounds each test independently of it.
using ChildProcessTest = testing::BoundedTest;

// Reads a pipe to its end, with a bound so a broken layer fails the test.
std::string readAll(UniqueFd& fd, double seconds = 10.0) {
    std::string text;
    const double end = SystemClock::shared().uptime() + seconds;
    char buffer[65536];
    while (SystemClock::shared().uptime() < end) {
        pollfd p{fd.get(), POLLIN, 0};
        ::poll(&p, 1, 50);
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0) return text;
        if (count > 0) text.append(buffer, static_cast<std::size_t>(count));
    }
    throw std::runtime_error("output did not end");
}

ChildProcess::Options shellOptions(const std::string& script) {
    ChildProcess::Options options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", script};
    options.output = ChildProcess::Redirect::pipe();
    return options;
}

TEST_F(ChildProcessTest, WritesStandardInputFromItsOwnThreadWhileTheCallerReadsOutput) {
    // Far more than a pipe holds in both directions: a caller that wrote the
    // input before reading the output would deadlock.
    std::string input(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
    ChildProcess::Options options;
    options.executable = "/bin/cat";
    options.input = input;
    options.output = ChildProcess::Redirect::pipe();
    auto child = ChildProcess::spawn(options);
    EXPECT_EQ(readAll(child.standardOutput()), input);
    ASSERT_TRUE(child.waitForExit(5.0));
    EXPECT_EQ(child.exitStatus(), (ChildProcess::ExitStatus{ChildProcess::ExitStatus::Kind::exited, 0}));
    EXPECT_EQ(child.waitForInput(5.0), ChildProcess::InputDelivery::written);
}

TEST_F(ChildProcessTest, InputThatTheChildNeverReadsDoesNotHangOrKillTheParent) {
    ChildProcess::Options options = shellOptions("exec 0<&-; echo done");
    options.input = std::string(1024 * 1024, 'x');
    const double start = SystemClock::shared().uptime();
    {
        auto child = ChildProcess::spawn(options);
        EXPECT_EQ(readAll(child.standardOutput()), "done\n");
        ASSERT_TRUE(child.waitForExit(5.0));
        EXPECT_EQ(child.waitForInput(5.0), ChildProcess::InputDelivery::failed);
    }
    EXPECT_LT(SystemClock::shared().uptime() - start, 2.0);
}

TEST_F(ChildProcessTest, ChildStartsWithDefaultSignalsAndNoInheritedDescriptors) {
    // The tests ignore SIGPIPE as both programs do; the child must not inherit that.
    auto pipeSignal = ChildProcess::spawn(shellOptions("kill -PIPE $$; echo survived"));
    EXPECT_EQ(readAll(pipeSignal.standardOutput()), "");
    ASSERT_TRUE(pipeSignal.waitForExit(5.0));
    EXPECT_EQ(pipeSignal.exitStatus(), (ChildProcess::ExitStatus{ChildProcess::ExitStatus::Kind::signaled, SIGPIPE}));
    EXPECT_EQ(pipeSignal.exitStatus()->terminationStatus(), 128 + SIGPIPE);

    // A descriptor the parent left inheritable still stays out of the child.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    ChildProcess::Options options;
    options.executable = "/bin/ls";
    options.arguments = {"-1", "/proc/self/fd"};
    options.output = ChildProcess::Redirect::pipe();
    auto listing = ChildProcess::spawn(options);
    const std::string descriptors = readAll(listing.standardOutput());
    ::close(leaked);
    EXPECT_EQ(descriptors, "0\n1\n2\n3\n");  // 3 is ls's own handle on the directory
}

TEST_F(ChildProcessTest, EnvironmentWorkingDirectoryAndRedirections) {
    TemporaryDirectory directory;
    ChildProcess::Options options = shellOptions("pwd; echo \"$GREETING\"; echo to-error >&2");
    options.environment = std::vector<std::string>{"GREETING=hello", "PATH=/usr/bin:/bin"};
    options.workingDirectory = directory.path();
    options.error = ChildProcess::Redirect::toStandardOutput();
    auto child = ChildProcess::spawn(options);
    EXPECT_EQ(readAll(child.standardOutput()),
              std::filesystem::canonical(directory.path()).string() + "\nhello\nto-error\n");

    // Both streams into a file of the caller, which keeps its own descriptor.
    const auto logPath = directory / "child.log";
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(log, 0);
    ChildProcess::Options logged = shellOptions("echo out; echo err >&2");
    logged.output = ChildProcess::Redirect::to(log);
    logged.error = ChildProcess::Redirect::to(log);
    auto writer = ChildProcess::spawn(logged);
    ASSERT_TRUE(writer.waitForExit(5.0));
    EXPECT_EQ(::write(log, "parent\n", 7), 7);
    ::close(log);
    EXPECT_EQ(testing::readText(logPath), "out\nerr\nparent\n");
}

TEST_F(ChildProcessTest, MissingOrNonExecutableProgramFailsWithTheSystemsError) {
    TemporaryDirectory directory;
    std::ofstream(directory / "plain") << "not a program";
    for (const auto& path : {directory / "absent", directory / "plain"}) {
        ChildProcess::Options options;
        options.executable = path;
        try {
            (void)ChildProcess::spawn(options);
            ADD_FAILURE() << path << " launched";
        } catch (const SystemError& error) {
            EXPECT_TRUE(error.errnoValue() == ENOENT || error.errnoValue() == EACCES) << error.message();
            EXPECT_NE(error.message().find(path.string()), std::string::npos) << error.message();
        }
    }
}

// Every text reaches the system as a C string, where a NUL byte would end it
// early: "/bin/sh -c 'exit 3\0; exit 0'" must not run as "exit 3".
TEST_F(ChildProcessTest, ATextWithANulByteIsRefusedAndNothingRuns) {
    TemporaryDirectory directory;
    const std::string marker = (directory / "ran").string();
    const std::string nul("\0", 1);
    std::vector<ChildProcess::Options> cases(5, shellOptions("touch '" + marker + "'"));
    cases[0].arguments.push_back("extra" + nul + "tail");
    cases[1].arguments[1] += nul + "; exit 0";
    cases[2].environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "A=b" + nul + "c"};
    cases[3].workingDirectory = std::filesystem::path(directory.path().string() + nul + "x");
    cases[4].executable = std::filesystem::path("/bin/sh" + nul + "x");
    for (std::size_t index = 0; index < cases.size(); ++index) {
        try {
            (void)ChildProcess::spawn(cases[index]);
            ADD_FAILURE() << "case " << index << " launched";
        } catch (const SystemError& error) {
            EXPECT_EQ(error.errnoValue(), EINVAL) << index;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    // The same launch without the NUL byte runs.
    auto child = ChildProcess::spawn(shellOptions("touch '" + marker + "'"));
    ASSERT_TRUE(child.waitForExit(5.0));
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(ChildProcessTest, StopEscalatesToKillAndSignalsAfterExitAreRefused) {
    TemporaryDirectory directory;
    // Ignores SIGTERM once it has said so.
    auto child = ChildProcess::spawn(shellOptions("trap '' TERM; echo ready; while :; do sleep 0.05; done"));
    std::string line;
    char byte = 0;
    while (line.find('\n') == std::string::npos && ::read(child.standardOutput().get(), &byte, 1) == 1) line += byte;
    ASSERT_EQ(line, "ready\n");
    EXPECT_TRUE(child.isRunning());
    EXPECT_FALSE(child.exitStatus());
    const double start = SystemClock::shared().uptime();
    EXPECT_TRUE(child.stop(0.2, 1.0));
    const double took = SystemClock::shared().uptime() - start;
    EXPECT_GE(took, 0.2);
    EXPECT_LT(took, 0.8);
    EXPECT_EQ(child.exitStatus(), (ChildProcess::ExitStatus{ChildProcess::ExitStatus::Kind::signaled, SIGKILL}));
    EXPECT_FALSE(child.signal(SIGTERM));
}

TEST_F(ChildProcessTest, OwnProcessGroupIsStoppedAsAWhole) {
    TemporaryDirectory directory;
    const auto pids = directory / "pids";
    ChildProcess::Options options = shellOptions("trap '' TERM; sleep 30 & echo $$ $! > \"$0\"; wait");
    options.arguments.push_back(pids.string());
    options.output = ChildProcess::Redirect::null();
    options.ownProcessGroup = true;
    pid_t grandchild = 0;
    {
        auto child = ChildProcess::spawn(options);
        std::istringstream line(testing::waitForLine(pids));
        pid_t leader = 0;
        line >> leader >> grandchild;
        EXPECT_EQ(leader, child.pid());
        // The group is the child's own.
        EXPECT_EQ(::getpgid(child.pid()), child.pid());
        EXPECT_EQ(::getpgid(grandchild), child.pid());
        EXPECT_TRUE(child.stop(0.1, 1.0));
    }
    EXPECT_TRUE(testing::waitUntilGone(grandchild, 1.0));
}

TEST_F(ChildProcessTest, DestructionStopsARunningChildAndDetachReapsInTheBackground) {
    pid_t stopped = 0;
    {
        auto child = ChildProcess::spawn(shellOptions("exec sleep 30"));
        stopped = child.pid();
        EXPECT_TRUE(testing::isLiveProcess(stopped));
    }
    // Stopped and reaped: no zombie is left behind.
    EXPECT_FALSE(testing::isLiveProcess(stopped));
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(stopped)));

    // Long enough that a slow machine still sees it running after detach.
    auto detached = ChildProcess::spawn(shellOptions("exec sleep 0.5"));
    const pid_t pid = detached.pid();
    detached.detach();
    EXPECT_EQ(detached.pid(), -1);
    // The child keeps running after detach, then is reaped by the background reaper.
    EXPECT_TRUE(testing::isLiveProcess(pid));
    const double end = SystemClock::shared().uptime() + 5.0;
    while (std::filesystem::exists("/proc/" + std::to_string(pid)) && SystemClock::shared().uptime() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid)));
}

TEST_F(ChildProcessTest, SystemToolPathsAreMappedAtOnePoint) {
    TemporaryDirectory directory;
    testing::writeExecutable(directory / "route", "#!/bin/sh\necho stand-in route \"$@\"\n");
    EXPECT_EQ(SystemTools::resolve("/sbin/route"), std::filesystem::path("/sbin/route"));
    SystemTools::ScopedMapping mapping(directory.path());
    EXPECT_EQ(SystemTools::resolve("/sbin/route"), directory / "route");
    EXPECT_EQ(SystemTools::resolve("/usr/sbin/scutil"), directory / "scutil");
    EXPECT_EQ(SystemTools::resolve(SystemTools::tailscale), directory / "tailscale");
    EXPECT_EQ(SystemTools::resolve("/bin/sh"), std::filesystem::path("/bin/sh"));

    ChildProcess::Options options;
    options.executable = std::string(SystemTools::route);
    options.arguments = {"-n", "get", "172.19.0.2"};
    options.output = ChildProcess::Redirect::pipe();
    auto child = ChildProcess::spawn(options);
    EXPECT_EQ(readAll(child.standardOutput()), "stand-in route -n get 172.19.0.2\n");
}

TEST_F(ChildProcessTest, SlicedWaitsEndInRealTimeEvenOnAStoppedTestClock) {
    FakeClock clock;
    int calls = 0;
    int lastMilliseconds = -1;
    const double start = SystemClock::shared().uptime();
    EXPECT_FALSE(waitInSlices(0.1, clock, 0.025, [&](int milliseconds) {
        ++calls;
        lastMilliseconds = milliseconds;
        EXPECT_LE(milliseconds, 25);
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return false;
    }));
    const double took = SystemClock::shared().uptime() - start;
    EXPECT_GE(took, 0.1);
    EXPECT_LT(took, 0.5);
    // Slices (how many depends on how long the sleeps really took), then the
    // last look.
    EXPECT_GE(calls, 2);
    EXPECT_EQ(lastMilliseconds, 0);

    // A clock that jumps ends the wait at once.
    calls = 0;
    EXPECT_FALSE(waitInSlices(10.0, clock, 0.025, [&](int) {
        clock.advance(20.0);
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tarnel
