// The bounded command runner against the bare system calls it is built on:
// `/bin/true` run through the runner (pipes, pidfd, process group, the poll
// loop and the group kill) and through a bare posix_spawn + waitpid.
//
// The two are also measured in pairs, one right after the other, alternating
// which goes first, so that the ratio of their times does not depend on how
// busy the machine was while each ran: scripts/bench reports that ratio.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "common/process/bounded_command_runner.hpp"

extern char** environ;

namespace tarnel {
namespace {

constexpr const char* kProgram = "/bin/true";

// One run of the program through the runner; false when it did not exit with 0.
bool runThroughRunner() {
    static const BoundedCommandInvocation invocation{kProgram, {}};
    return BoundedCommandRunner::run(invocation, 4096, [](double) {}).terminationStatus == 0;
}

// One bare run: posix_spawn and waitpid, nothing else.
bool runBare() {
    static std::string program = kProgram;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BoundedCommandRunnerTrue(benchmark::State& state) {
    for (auto _ : state) {
        if (!runThroughRunner()) state.SkipWithError("/bin/true did not exit with 0");
    }
}

void BareSpawnTrue(benchmark::State& state) {
    for (auto _ : state) {
        if (!runBare()) state.SkipWithError("/bin/true did not exit with 0");
    }
}

// A pair per iteration; the counters are the two mean times and their ratio.
void BoundedCommandRunnerOverhead(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Clock::duration runner{};
    Clock::duration bare{};
    bool runnerFirst = true;
    for (auto _ : state) {
        for (const bool throughRunner : {runnerFirst, !runnerFirst}) {
            const Clock::time_point start = Clock::now();
            if (!(throughRunner ? runThroughRunner() : runBare())) state.SkipWithError("/bin/true did not exit with 0");
            (throughRunner ? runner : bare) += Clock::now() - start;
        }
        runnerFirst = !runnerFirst;
    }
    const auto microseconds = [&](Clock::duration total) {
        return std::chrono::duration<double, std::micro>(total).count() / static_cast<double>(state.iterations());
    };
    state.counters["runner_us"] = microseconds(runner);
    state.counters["bare_us"] = microseconds(bare);
    state.counters["ratio"] = microseconds(runner) / microseconds(bare);
}

// The time is the children's as much as ours: measure the wall clock.
BENCHMARK(BoundedCommandRunnerTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BareSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BoundedCommandRunnerOverhead)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnel
