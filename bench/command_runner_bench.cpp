// The bounded command runner against the bare system calls it is built on:
// `/bin/true` run through the runner (pipes, pidfd, process group, the poll
// loop and the group kill) and through a bare posix_spawn + waitpid.
// scripts/bench reports the ratio of the two medians.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "common/bounded_command_runner.hpp"

extern char** environ;

namespace tarnel {
namespace {

constexpr const char* kProgram = "/bin/true";

void BoundedCommandRunnerTrue(benchmark::State& state) {
    const BoundedCommandInvocation invocation{kProgram, {}};
    for (auto _ : state) {
        const BoundedCommandResult result = BoundedCommandRunner::run(invocation, 4096, [](double) {});
        if (result.terminationStatus != 0) state.SkipWithError("/bin/true did not exit with 0");
    }
}

void BareSpawnTrue(benchmark::State& state) {
    std::string program = kProgram;
    char* argv[] = {program.data(), nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        int status = 0;
        if (::posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("/bin/true did not exit with 0");
    }
}

// The time is the children's as much as ours: measure the wall clock.
BENCHMARK(BoundedCommandRunnerTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BareSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnel
