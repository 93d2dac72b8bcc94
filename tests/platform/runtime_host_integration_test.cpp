#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>

#include "common/process/child_process.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "platform/process_info.hpp"
#include "platform/runtime_host.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

using testing::TemporaryDirectory;
// Stops and runs of tools here end only if the code under test keeps its
// bounds; the fixture bounds each test independently of it.
using RuntimeHostTest = testing::BoundedTest;

double now() { return SystemClock::shared().uptime(); }

// Seconds since boot on the clock that process start times count on.
double bootSeconds() {
    timespec time{};
    ::clock_gettime(CLOCK_BOOTTIME, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

ChildProcess spawnSleeper(const std::string& script = "exec sleep 30") {
    ChildProcess::Options options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", script};
    options.output = ChildProcess::Redirect::pipe();
    return ChildProcess::spawn(options);
}

PrivilegedTunnelStartupControl control(double deadlineUptime, bool cancelled = false) {
    return PrivilegedTunnelStartupControl(PrivilegedTunnelStartupRequest{Uuid::random(), deadlineUptime, false},
                                          [cancelled] { return cancelled; });
}

TEST(ProcessIdentity, IsStableWhileTheProcessLivesAndNoneOnceItIsGone) {
    const double before = bootSeconds();
    auto child = spawnSleeper();
    const double after = bootSeconds();
    // The shell has replaced itself with sleep once its path says so.
    const std::string sleepPath = std::filesystem::canonical("/bin/sleep").string();
    const double end = now() + 5.0;
    while (ProcessInfo::executablePath(child.pid()) != sleepPath && now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto first = RuntimeHost::processIdentity(child.pid());
    const auto second = RuntimeHost::processIdentity(child.pid());
    ASSERT_TRUE(first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->executablePath, sleepPath);
    // Boot-relative start time, to the kernel's tick.
    const double started = static_cast<double>(first->startSeconds) + static_cast<double>(first->startMicroseconds) / 1e6;
    EXPECT_LT(first->startMicroseconds, 1'000'000u);
    EXPECT_GE(started, before - 0.02);
    EXPECT_LE(started, after + 0.02);

    // Exited but not yet reaped (a zombie): no identity either.
    ASSERT_TRUE(child.signal(SIGKILL));
    ASSERT_TRUE(child.waitForExit(5.0));
    EXPECT_TRUE(std::filesystem::exists("/proc/" + std::to_string(child.pid())));
    EXPECT_EQ(RuntimeHost::processIdentity(child.pid()), std::nullopt);
    const pid_t pid = child.pid();
    child = spawnSleeper("exit 0");  // the first child is reaped here
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid)));
    EXPECT_EQ(RuntimeHost::processIdentity(pid), std::nullopt);

    for (const std::int32_t small : {1, 0, -1, -100}) {
        EXPECT_EQ(RuntimeHost::processIdentity(small), std::nullopt) << small;
    }
    // This process itself has one.
    EXPECT_EQ(RuntimeHost::processIdentity(::getpid())->executablePath,
              std::filesystem::canonical("/proc/self/exe").string());
}

TEST(ProcessIdentity, AHandleOpensOnlyAProcessWithTheRecordedIdentity) {
    auto child = spawnSleeper("exec sleep 30");
    const double end = now() + 5.0;
    std::optional<ProcessIdentity> identity;
    const std::string sleepPath = std::filesystem::canonical("/bin/sleep").string();
    while ((!identity || identity->executablePath != sleepPath) && now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        identity = ProcessInfo::identity(child.pid());
    }
    ASSERT_TRUE(identity);

    ProcessIdentity laterStart = *identity;
    laterStart.startMicroseconds = (laterStart.startMicroseconds + 10'000) % 1'000'000;
    laterStart.startSeconds += 1;
    ProcessIdentity otherPath = *identity;
    otherPath.executablePath = "/usr/bin/sleep-other";
    EXPECT_FALSE(ProcessHandle::openMatching(child.pid(), laterStart));
    EXPECT_FALSE(ProcessHandle::openMatching(child.pid(), otherPath));
    EXPECT_FALSE(ProcessHandle::openMatching(1, *identity));

    auto handle = ProcessHandle::openMatching(child.pid(), *identity);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(handle->hasExited());
    EXPECT_TRUE(handle->signal(SIGTERM));
    EXPECT_TRUE(handle->waitForExit(5.0));
    EXPECT_FALSE(handle->signal(SIGTERM));
    // The identity is gone with the process, so nothing can be opened again.
    EXPECT_FALSE(ProcessHandle::openMatching(child.pid(), *identity));
}

// A process whose file was removed or renamed over reports the path it was
// started from; a file that is really named "... (deleted)" keeps its name.
TEST(ProcessIdentity, KeepsThePathAProcessStartedFromWhenItsFileGoes) {
    TemporaryDirectory temporary;
    const std::filesystem::path directory = std::filesystem::canonical(temporary.path());
    const auto start = [](const std::filesystem::path& program) {
        std::filesystem::copy_file("/bin/sleep", program);
        std::filesystem::permissions(program, std::filesystem::perms(0755));
        ChildProcess::Options options;
        options.executable = program;
        options.arguments = {"30"};
        return ChildProcess::spawn(options);
    };
    const std::filesystem::path replaced = directory / "replaced";
    const std::filesystem::path removed = directory / "removed";
    const std::filesystem::path named = directory / "named (deleted)";
    auto first = start(replaced);
    auto second = start(removed);
    auto third = start(named);
    const auto before = RuntimeHost::processIdentity(first.pid());
    ASSERT_TRUE(before);
    EXPECT_EQ(before->executablePath, replaced.native());

    std::filesystem::copy_file("/bin/sleep", directory / "new");
    std::filesystem::rename(directory / "new", replaced);
    std::filesystem::remove(removed);
    EXPECT_EQ(RuntimeHost::processIdentity(first.pid()), before);
    EXPECT_EQ(ProcessInfo::executablePath(second.pid()), removed.native());
    EXPECT_EQ(ProcessInfo::executablePath(third.pid()), named.native());
    // The kernel's own text, for comparison: the suffix is there.
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(first.pid()) + "/exe"),
              replaced.native() + " (deleted)");
}

TEST_F(RuntimeHostTest, StopLaunchedProcessKillsOneThatIgnoresTermination) {
    auto plain = spawnSleeper("exec sleep 30");
    double start = now();
    EXPECT_TRUE(RuntimeHost::stopLaunchedProcess(plain));
    EXPECT_LT(now() - start, 0.4);

    auto stubborn = spawnSleeper("trap '' TERM; echo ready; while :; do sleep 0.05; done");
    char byte = 0;
    ASSERT_EQ(::read(stubborn.standardOutput().get(), &byte, 1), 1);  // the trap is set
    start = now();
    EXPECT_TRUE(RuntimeHost::stopLaunchedProcess(stubborn));
    const double took = now() - start;
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 0.9);
    EXPECT_EQ(stubborn.exitStatus()->terminationStatus(), 128 + SIGKILL);
    // Stopping what has already stopped answers true at once.
    EXPECT_TRUE(RuntimeHost::stopLaunchedProcess(stubborn));
}

TEST_F(RuntimeHostTest, RouteRunsTheMappedToolAndMapsRunnerFailures) {
    TemporaryDirectory directory;
    const auto route = directory / "route";
    SystemTools::ScopedMapping mapping(SystemTools::route, route);

    // The tool's status and output come back as they are, the text decoded
    // with invalid bytes replaced; standard error is not part of it.
    testing::writeExecutable(route, "#!/bin/sh\nprintf 'route: %s|' \"$@\"; printf '\\377\\n'; echo noise >&2; exit 3\n");
    EXPECT_EQ(RuntimeHost::runRoute({"-n", "get", "172.19.0.2"}, control(now() + 10.0)),
              (RuntimeHost::RouteResult{3, "route: -n|route: get|route: 172.19.0.2|\xEF\xBF\xBD\n"}));

    const auto failure = [&](const PrivilegedTunnelStartupControl& startControl) {
        try {
            RuntimeHost::runRoute({"-n", "get", "172.19.0.2"}, startControl);
        } catch (const PrivilegedRuntimeError& error) {
            return std::optional(error.errorCase());
        }
        return std::optional<PrivilegedRuntimeError::Case>();
    };
    using Case = PrivilegedRuntimeError::Case;
    // More than 64 KiB of output.
    testing::writeExecutable(route, "#!/bin/sh\nhead -c 65537 /dev/zero\n");
    EXPECT_EQ(failure(control(now() + 10.0)), Case::protectedDNSRouteFailed);
    testing::writeExecutable(route, "#!/bin/sh\nhead -c 65536 /dev/zero\n");
    EXPECT_EQ(RuntimeHost::runRoute({}, control(now() + 10.0)).output.size(), 65536u);
    // The control's own errors pass unchanged, before and during the run.
    testing::writeExecutable(route, "#!/bin/sh\nexec sleep 30\n");
    EXPECT_EQ(failure(control(now() + 10.0, true)), Case::tunnelStartupCancelled);
    EXPECT_EQ(failure(control(now() + 0.1)), Case::tunnelStartupDeadlineExceeded);
    // A tool that cannot be started.
    std::filesystem::remove(route);
    EXPECT_EQ(failure(control(now() + 10.0)), Case::protectedDNSRouteFailed);
}

}  // namespace
}  // namespace tarnel
