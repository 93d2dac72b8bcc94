#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <latch>
#include <optional>
#include <sstream>
#include <stop_token>
#include <thread>

#include "common/contract/competing_vpn_detector_error.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/cancellation_error.hpp"
#include "common/process/child_process.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/startup_control.hpp"
#include "tests/common/process_test_support.hpp"

namespace tarnel {
namespace {

using testing::shell;
using testing::TemporaryDirectory;
using testing::withinSeconds;
using Runner = BoundedCommandRunnerError::Case;
// Every test here ends only if the runner keeps its own bounds; the fixture
// bounds each one independently of the runner.
using BoundedCommandRunnerTest = testing::BoundedTest;

double now() { return SystemClock::shared().uptime(); }

PrivilegedTunnelStartupControl controlWithDeadline(double deadlineUptime, bool cancelled = false) {
    return PrivilegedTunnelStartupControl(PrivilegedTunnelStartupRequest{Uuid::random(), deadlineUptime, false},
                                          [cancelled] { return cancelled; });
}

template <typename Body>
std::optional<Runner> runnerFailure(Body body) {
    try {
        body();
    } catch (const BoundedCommandRunnerError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

// The process identifier that a tool wrote into the file as a line; nothing
// before then.
std::optional<pid_t> writtenPid(const std::filesystem::path& path) {
    const std::string text = testing::readText(path);
    if (text.empty() || text.back() != '\n') return std::nullopt;
    return std::stoi(text);
}

// The shell's own pid and its background child's, as the script wrote them.
std::pair<pid_t, pid_t> readPids(const std::filesystem::path& path) {
    std::istringstream line(testing::waitForLine(path));
    pid_t first = 0;
    pid_t second = 0;
    line >> first >> second;
    return {first, second};
}

TEST_F(BoundedCommandRunnerTest, OutputUpToExactlyTheCapIsReturnedAndOneByteMoreFails) {
    struct Case {
        std::int64_t cap;
        std::int64_t written;
    };
    // Around zero, and across the 64 KiB read size.
    for (const Case c : {Case{0, 0}, Case{0, 1}, Case{5, 5}, Case{5, 6}, Case{65535, 65535}, Case{65536, 65536},
                         Case{200000, 200000}, Case{200000, 200001}}) {
        SCOPED_TRACE("cap " + std::to_string(c.cap) + " written " + std::to_string(c.written));
        const auto invocation = shell("head -c \"$0\" /dev/zero | tr '\\0' a", {std::to_string(c.written)});
        if (c.written <= c.cap) {
            const auto result = BoundedCommandRunner::run(invocation, c.cap, withinSeconds(10));
            EXPECT_EQ(result.terminationStatus, 0);
            EXPECT_EQ(result.output, std::string(static_cast<std::size_t>(c.written), 'a'));
        } else {
            EXPECT_EQ(runnerFailure([&] { BoundedCommandRunner::run(invocation, c.cap, withinSeconds(10)); }),
                      Runner::outputTooLarge);
        }
    }
    // The cap filled by a first write and one byte more written later: the
    // reader keeps watching a full capture, so the late byte still fails it.
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(shell("printf aaaaa; sleep 0.1; printf b"), 5, withinSeconds(10));
              }),
              Runner::outputTooLarge);
}

TEST_F(BoundedCommandRunnerTest, OutputOverTheCapStopsAChildThatIgnoresTerminationAndItsGroup) {
    TemporaryDirectory directory;
    const auto pids = directory / "pids";
    // Starts a background sleeper first, so that both must be killed.
    const auto invocation = shell(
        "trap '' TERM; sleep 30 & echo $$ $! > \"$0\"; "
        "head -c 11 /dev/zero; wait",
        {pids.string()});
    const double start = now();
    EXPECT_EQ(runnerFailure([&] { BoundedCommandRunner::run(invocation, 10, withinSeconds(10)); }),
              Runner::outputTooLarge);
    // SIGTERM, 0.25 s, SIGKILL, 1.0 s at most, with room for a busy machine.
    EXPECT_LT(now() - start, 0.25 + 1.0 + 3.0);
    const auto [shellPid, sleeperPid] = readPids(pids);
    EXPECT_FALSE(testing::isLiveProcess(shellPid));
    EXPECT_TRUE(testing::waitUntilGone(sleeperPid, 0.5));
}

TEST_F(BoundedCommandRunnerTest, ChildThatNeverExitsEndsAtTheDeadlineWithTheControlsError) {
    TemporaryDirectory directory;
    for (const bool ignoresTermination : {false, true}) {
        SCOPED_TRACE(ignoresTermination ? "ignores SIGTERM" : "plain");
        const auto pids = directory / (ignoresTermination ? "stubborn" : "plain");
        const auto invocation = shell(std::string(ignoresTermination ? "trap '' TERM; " : "") +
                                          "echo $$ > \"$0\"; while :; do sleep 0.05; done",
                                      {pids.string()});
        // The deadline falls 1.0 s after the tool has said that it runs (with
        // its trap set), however long a busy machine took to launch it.
        std::optional<PrivilegedTunnelStartupControl> control;
        std::optional<double> failedAt;
        int callsBeforeDeadline = 0;
        const BoundedCommandRunner::Checkpoint checkpoint = [&](double uptime) {
            if (!control && writtenPid(pids)) control.emplace(controlWithDeadline(uptime + 1.0));
            if (!control) return;
            ++callsBeforeDeadline;
            try {
                control->checkpoint(uptime);
            } catch (...) {
                failedAt = uptime;
                throw;
            }
        };
        try {
            BoundedCommandRunner::run(invocation, 1024, checkpoint);
            ADD_FAILURE() << "the run returned";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
        }
        const double ended = now();
        ASSERT_TRUE(control && failedAt);
        const double deadline = control->request.deadlineUptime;
        EXPECT_GE(*failedAt, deadline);
        // A poll every 25 ms consults the checkpoint about 40 times in 1.0 s
        // and notices the deadline within one poll; the bounds leave room for
        // a machine ten times slower, not for a poll ten times slower.
        EXPECT_GE(callsBeforeDeadline, 8);
        EXPECT_LT(*failedAt - deadline, 0.025 + 1.0);
        // SIGTERM ends the plain child at once; the stubborn one is killed
        // 0.25 s later and waited for 1.0 s at most.
        EXPECT_LT(ended - *failedAt, 0.25 + 1.0 + 2.0);
        if (ignoresTermination) {
            EXPECT_GE(ended - *failedAt, 0.25);
        }
        EXPECT_FALSE(testing::isLiveProcess(readPids(pids).first));
    }
}

// The bytes a process has written so far, as the system counts them; nothing
// once it cannot be read.
std::optional<std::uint64_t> bytesWritten(pid_t pid) {
    std::istringstream lines(testing::readText("/proc/" + std::to_string(pid) + "/io"));
    std::string name;
    std::uint64_t value = 0;
    while (lines >> name >> value) {
        if (name == "wchar:") return value;
    }
    return std::nullopt;
}

TEST_F(BoundedCommandRunnerTest, ChildThatWritesWithoutPauseDoesNotHoldOffTheDeadline) {
    // `yes` refills the pipe as fast as it is read, and the cap lies far
    // beyond what it writes: only a checkpoint between reads ends the run. The
    // deadline falls 0.1 s after the tool has written 4 MiB, so that however
    // busy the machine, the tool has written far more than one read by then.
    TemporaryDirectory directory;
    const auto pidFile = directory / "pid";
    std::optional<pid_t> pid;
    std::uint64_t written = 0;
    std::uint64_t largestStep = 0;
    std::optional<double> deadline;
    std::optional<double> failedAt;
    const BoundedCommandRunner::Checkpoint checkpoint = [&](double uptime) {
        if (!pid) pid = writtenPid(pidFile);
        if (const auto count = pid ? bytesWritten(*pid) : std::nullopt) {
            largestStep = std::max(largestStep, *count - written);
            written = *count;
        }
        if (!deadline && written >= 4u << 20) deadline = uptime + 0.1;
        if (deadline && uptime >= *deadline) {
            failedAt = uptime;
            throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
        }
    };
    try {
        BoundedCommandRunner::run(shell("echo $$ > \"$0\"; exec yes", {pidFile.string()}), std::int64_t{1} << 30,
                                  checkpoint);
        ADD_FAILURE() << "the run returned";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
    }
    ASSERT_TRUE(deadline && failedAt);
    EXPECT_LT(*failedAt - *deadline, 2.0);
    // Between two checkpoints the tool can write at most one read's chunk and
    // a pipe's worth (64 KiB each) more; a runner that read on while output
    // kept coming would let it write megabytes.
    EXPECT_LT(largestStep, 512u * 1024);
}

TEST_F(BoundedCommandRunnerTest, CancellationAsTheToolEndsWinsOverItsResult) {
    // The tool ends while the runner is in a checkpoint, and from then on the
    // attempt counts as cancelled: only a checkpoint after the exit can see
    // that, and the tool's result must not be returned.
    TemporaryDirectory directory;
    const auto pidFile = directory / "pid";
    std::optional<pid_t> pid;
    const BoundedCommandRunner::Checkpoint checkpoint = [&](double) {
        if (!pid) pid = writtenPid(pidFile);
        if (!pid) return;
        if (!testing::isLiveProcess(*pid)) {
            throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupCancelled);
        }
        ::kill(*pid, SIGKILL);
        ASSERT_TRUE(testing::waitUntilGone(*pid, 5.0));
    };
    try {
        const auto result = BoundedCommandRunner::run(
            shell("echo $$ > \"$0\"; echo done; exec sleep 30", {pidFile.string()}), 1024, checkpoint);
        ADD_FAILURE() << "the run returned " << result.terminationStatus;
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupCancelled);
    }
}

TEST_F(BoundedCommandRunnerTest, NothingIsLaunchedWhenTheCheckpointOrTheCapRefusesFirst) {
    TemporaryDirectory directory;
    const auto marker = directory / "launched";
    // A tool that leaves a mark, and one that cannot start at all: a launch
    // before the refusal would show as the mark, or as launchFailed in place
    // of the refusal's own error.
    for (const auto& invocation :
         {shell("touch \"$0\"", {marker.string()}), BoundedCommandInvocation{directory / "missing", {}}}) {
        SCOPED_TRACE(invocation.executableURL.string());
        try {
            BoundedCommandRunner::run(invocation, 1024, controlWithDeadline(now() - 1.0));
            ADD_FAILURE() << "ran past its deadline";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
        }
        try {
            BoundedCommandRunner::run(invocation, 1024, controlWithDeadline(now() + 10.0, true));
            ADD_FAILURE() << "ran though cancelled";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupCancelled);
        }
        // The cap is judged even before the checkpoint.
        EXPECT_EQ(runnerFailure([&] { BoundedCommandRunner::run(invocation, -1, controlWithDeadline(now() - 1.0)); }),
                  Runner::outputTooLarge);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(BoundedCommandRunnerTest, ProgramThatCannotStartFailsAtOnce) {
    TemporaryDirectory directory;
    std::ofstream(directory / "plain") << "echo not executable\n";
    for (const auto& path : {directory / "missing", directory / "plain", directory.path()}) {
        SCOPED_TRACE(path.string());
        const double start = now();
        EXPECT_EQ(runnerFailure([&] {
                      BoundedCommandRunner::run(BoundedCommandInvocation{path, {}}, 1024, withinSeconds(10));
                  }),
                  Runner::launchFailed);
        // At once, not at the 10 s deadline.
        EXPECT_LT(now() - start, 5.0);
    }
    // An argument that the system would cut short at a NUL byte.
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(
                      BoundedCommandInvocation{"/bin/sh", {"-c", std::string("exit 0\0; exit 1", 15)}}, 1024,
                      withinSeconds(10));
              }),
              Runner::launchFailed);
}

TEST_F(BoundedCommandRunnerTest, StatusIsReturnedNotJudgedAndStandardErrorIsDiscarded) {
    struct Case {
        const char* script;
        std::int32_t status;
        const char* output;
    };
    for (const Case c : {Case{"exit 1", 1, ""}, Case{"printf 'partial'; exit 7", 7, "partial"},
                         Case{"kill -KILL $$", 128 + 9, ""},
                         // 10 MB on standard error against a cap of 2 bytes.
                         Case{"head -c 10000000 /dev/zero >&2; printf ok", 0, "ok"}}) {
        SCOPED_TRACE(c.script);
        const auto result = BoundedCommandRunner::run(shell(c.script), 2 + 7, withinSeconds(10));
        EXPECT_EQ(result, (BoundedCommandResult{c.status, c.output}));
    }
}

TEST_F(BoundedCommandRunnerTest, InputIsWrittenWhileOutputIsReadAndStandardErrorCanShareTheOutput) {
    // Far more than a pipe holds each way: writing all input before reading
    // any output would deadlock against cat.
    std::string input(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
    const BoundedCommandStreams withInput{input, false};
    EXPECT_EQ(BoundedCommandRunner::run(BoundedCommandInvocation{"/bin/cat", {}}, withInput, 4 * 1024 * 1024,
                                        withinSeconds(10)),
              (BoundedCommandResult{0, input}));
    // A tool that reads all its input keeps its status, even a failing one.
    EXPECT_EQ(BoundedCommandRunner::run(shell("wc -c; exit 3"), BoundedCommandStreams{"abc", false}, 64,
                                        withinSeconds(10)),
              (BoundedCommandResult{3, "3\n"}));

    // Both streams in one pipe, in the order written.
    const BoundedCommandStreams merged{std::nullopt, true};
    EXPECT_EQ(BoundedCommandRunner::run(shell("echo one; echo two >&2; echo three"), merged, 64, withinSeconds(10)),
              (BoundedCommandResult{0, "one\ntwo\nthree\n"}));
    // The cap counts both.
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(shell("head -c 100 /dev/zero >&2"), merged, 99, withinSeconds(10));
              }),
              Runner::outputTooLarge);
}

TEST_F(BoundedCommandRunnerTest, StandardErrorCanBeReadApartUnderTheSameCap) {
    BoundedCommandStreams apart;
    apart.captureStandardError = true;
    // Far more than a pipe holds on each stream: reading one to its end before
    // the other would deadlock against the tool.
    EXPECT_EQ(BoundedCommandRunner::run(
                  shell("head -c 200000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o; exit 4"),
                  apart, 200000, withinSeconds(10)),
              (BoundedCommandResult{4, std::string(200000, 'o'), std::string(200000, 'e')}));
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(shell("printf ok; head -c 100 /dev/zero >&2"), apart, 99,
                                            withinSeconds(10));
              }),
              Runner::outputTooLarge);
    apart.standardErrorToOutput = true;
    EXPECT_THROW(BoundedCommandRunner::run(shell("exit 0"), apart, 99, withinSeconds(10)), std::invalid_argument);
}

TEST_F(BoundedCommandRunnerTest, ToolThatStopsReadingItsInputFailsWhateverItsStatus) {
    const std::string input(200 * 1024, 'x');
    for (const char* script : {"exit 0", "exit 1", "exec 0<&-; sleep 0.2; echo done", "head -c 10 >/dev/null"}) {
        SCOPED_TRACE(script);
        const double start = now();
        EXPECT_EQ(runnerFailure([&] {
                      BoundedCommandRunner::run(shell(script), BoundedCommandStreams{input, true}, 1024,
                                                withinSeconds(10));
                  }),
                  Runner::inputNotWritten);
        EXPECT_LT(now() - start, 5.0);
    }
}

TEST_F(BoundedCommandRunnerTest, ConcurrentRunsDoNotHoldEachOthersOutputOpen) {
    // Eight short runs spawned at the same moment as eight long-lived tools: a
    // pipe end that leaked into a long-lived tool would hold a short run's
    // output open until that tool ends, which is never before three seconds
    // after its run began. However busy the machine, each short run ends
    // before that.
    constexpr int kRuns = 8;
    std::latch start(2 * kRuns);
    std::vector<std::thread> threads;
    std::vector<BoundedCommandResult> results(kRuns);
    std::vector<double> ends(kRuns);
    std::vector<double> longBegins(kRuns);
    std::vector<std::string> failures(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            try {
                results[i] = BoundedCommandRunner::run(shell("sleep 0.2; echo x"), 1024, withinSeconds(10));
            } catch (const std::exception& error) {
                failures[i] = error.what();
            }
            ends[i] = now();
        });
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            longBegins[i] = now();
            EXPECT_EQ(BoundedCommandRunner::run(BoundedCommandInvocation{"/bin/sleep", {"3"}}, 1024, withinSeconds(10)),
                      (BoundedCommandResult{0, ""}));
        });
    }
    for (auto& thread : threads) thread.join();
    const double firstLongEnd = *std::min_element(longBegins.begin(), longBegins.end()) + 3.0;
    for (int i = 0; i < kRuns; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        EXPECT_EQ(failures[i], "");
        EXPECT_EQ(results[i], (BoundedCommandResult{0, "x\n"}));
        EXPECT_LT(ends[i], firstLongEnd);
    }
}

TEST_F(BoundedCommandRunnerTest, GrandchildrenAreStoppedWithTheTool) {
    TemporaryDirectory directory;
    // A grandchild that keeps the output open after the tool exits: the output
    // never ends, so the run fails after 1 s and the grandchild is killed.
    const auto holding = directory / "holding";
    const double start = now();
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(
                      shell("trap '' TERM; sleep 30 & echo $$ $! > \"$0\"; echo started", {holding.string()}), 1024,
                      withinSeconds(10));
              }),
              Runner::outputUnavailable);
    const double took = now() - start;
    // The output wait (1.0 s), then SIGTERM, 0.25 s, SIGKILL, 1.0 s at most,
    // with room for a busy machine.
    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 1.0 + 0.25 + 1.0 + 2.0);
    EXPECT_TRUE(testing::waitUntilGone(readPids(holding).second, 0.5));

    // A background grandchild that let go of the output: the run succeeds, and
    // the grandchild still does not outlive it.
    const auto detached = directory / "detached";
    const auto result = BoundedCommandRunner::run(
        shell("sleep 30 >/dev/null & echo $$ $! > \"$0\"; echo done", {detached.string()}), 1024, withinSeconds(10));
    EXPECT_EQ(result, (BoundedCommandResult{0, "done\n"}));
    EXPECT_TRUE(testing::waitUntilGone(readPids(detached).second, 0.5));

    // A grandchild that leaves the group is beyond the group's signals, but
    // holding the output does not hold the run: it fails after 1 s as above.
    const auto escaped = directory / "escaped";
    const double escapedStart = now();
    EXPECT_EQ(runnerFailure([&] {
                  BoundedCommandRunner::run(
                      shell("setsid sleep 30 & echo $$ $! > \"$0\"; echo started", {escaped.string()}), 1024,
                      withinSeconds(10));
              }),
              Runner::outputUnavailable);
    EXPECT_LT(now() - escapedStart, 1.0 + 0.25 + 1.0 + 2.0);
    const UniqueFd escapee = pidfd::open(readPids(escaped).second);
    if (escapee) pidfd::sendSignal(escapee.get(), SIGKILL);
}

TEST_F(BoundedCommandRunnerTest, CheckpointReadsTheInjectedClock) {
    FakeClock clock(500.0);
    const auto control = controlWithDeadline(501.0);
    std::thread advance([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        clock.advance(2.0);
    });
    const double start = now();
    try {
        BoundedCommandRunner::run(shell("exec sleep 30"), 1024, control, clock);
        ADD_FAILURE() << "the run returned";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded);
    }
    advance.join();
    const double took = now() - start;
    // Noticed within a poll of the move, then stopped (SIGTERM ends it): far
    // from the tool's 30 s, with room for a busy machine.
    EXPECT_GE(took, 0.15);
    EXPECT_LT(took, 0.15 + 0.25 + 1.0 + 2.0);
}

TEST_F(BoundedCommandRunnerTest, ApplicationFormsThrowTheirOwnErrors) {
    const auto sleeper = shell("exec sleep 30");
    // The competing-VPN check whose tool outlives its deadline.
    const double start = now();
    try {
        BoundedCommandRunner::runCompetingVPNCommand(sleeper, 262144, now() + 0.2);
        ADD_FAILURE() << "the run returned";
    } catch (const CompetingVPNDetectorError& error) {
        EXPECT_EQ(error.message(), "Could not verify other active VPN profiles: scutil timed out");
    }
    EXPECT_LT(now() - start, 0.2 + 0.25 + 1.0 + 2.0);

    const auto expectTailscale = [](TailscaleCompatibilityError::Case expected, auto body) {
        try {
            body();
            ADD_FAILURE() << "the run returned";
        } catch (const TailscaleCompatibilityError& error) {
            EXPECT_EQ(error, TailscaleCompatibilityError(expected));
        }
    };
    using Tailscale = TailscaleCompatibilityError::Case;
    std::stop_source stopped;
    stopped.request_stop();
    const std::stop_source running;
    const double past = now() - 0.1;
    const double future = now() + 30.0;

    // A stop request while the tool runs ends the snapshot's run.
    std::stop_source later;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        later.request_stop();
    });
    expectTailscale(Tailscale::startupCancelled, [&] {
        BoundedCommandRunner::runTailscaleSnapshotCommand(sleeper, 1024, future, later.get_token());
    });
    stopper.join();

    // Cancellation wins over the deadline; each form has its own errors.
    expectTailscale(Tailscale::startupCancelled, [&] {
        BoundedCommandRunner::runTailscaleSnapshotCommand(sleeper, 1024, past, stopped.get_token());
    });
    expectTailscale(Tailscale::startupDeadlineExceeded, [&] {
        BoundedCommandRunner::runTailscaleSnapshotCommand(sleeper, 1024, past, running.get_token());
    });
    expectTailscale(Tailscale::startupDeadlineExceeded,
                    [&] { BoundedCommandRunner::runConfigurationFileCommand(sleeper, 1024, now() + 0.1); });
    expectTailscale(Tailscale::startupDeadlineExceeded, [&] {
        BoundedCommandRunner::runConnectionPlanCommand(sleeper, 1024, past, running.get_token());
    });
    EXPECT_THROW(BoundedCommandRunner::runConnectionPlanCommand(sleeper, 1024, past, stopped.get_token()),
                 CancellationError);

    // And all of them return the tool's result when it finishes in time.
    const auto echo = shell("echo fine");
    const BoundedCommandResult fine{0, "fine\n"};
    EXPECT_EQ(BoundedCommandRunner::runCompetingVPNCommand(echo, 1024, future), fine);
    EXPECT_EQ(BoundedCommandRunner::runTailscaleSnapshotCommand(echo, 1024, future, running.get_token()), fine);
    EXPECT_EQ(BoundedCommandRunner::runConfigurationFileCommand(echo, 1024, future), fine);
    EXPECT_EQ(BoundedCommandRunner::runConnectionPlanCommand(echo, 1024, future, running.get_token()), fine);
}

}  // namespace
}  // namespace tarnel
