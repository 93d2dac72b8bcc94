// The sing-box stand-in's own start: from the launch of `sing-box run -c`
// with a TUN inbound to the moment its tunnel interface is up and carries the
// tunnel address, as the helper's interface wait sees it. This is the part of
// a tunnel start that belongs to the runtime, not to the helper
// (BM_TunnelStartHelperPart leaves it out); the tests only hold it to the
// helper's 5 s window.
//
// Needs root: the program moves itself into a network namespace of its own
// (loopback only) before anything else; the namespace goes when the program
// ends. Without root it reports the benchmark as skipped.

#include <benchmark/benchmark.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "common/base/files.hpp"
#include "common/process/child_process.hpp"
#include "platform/runtime_host.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;

// Polls every millisecond, for at most `seconds`, until the tunnel interfaces
// are `expected`.
bool waitForInterfaces(const std::set<std::string>& expected, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (RuntimeHost::activeTunnelInterfaces() != expected) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void BM_StandInTunnelInterfaceUp(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root (a network namespace of its own)");
        return;
    }
    const testing::TemporaryDirectory directory;
    const fs::path configuration = directory.path() / "config.json";
    files::writeAtomically(configuration, testing::readFixture("tunnel-config/automatic-interface.json"));
    ChildProcess::Options options;
    options.executable = TARNEL_STANDIN_SING_BOX;
    options.arguments = {"run", "-c", configuration.string()};
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::null();
    options.error = ChildProcess::Redirect::null();

    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        ChildProcess runtime = ChildProcess::spawn(options);
        const bool up = waitForInterfaces({"utun0"}, 30.0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        state.SetIterationTime(took.count());
        state.PauseTiming();
        runtime.stop(5.0, 5.0);
        if (!up || !waitForInterfaces({}, 10.0)) {
            state.SkipWithError("the stand-in's interface did not come up, or did not go");
            break;
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StandInTunnelInterfaceUp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// Moves the program into a network namespace of its own with lo up, before
// the benchmark library starts any thread.
void enterOwnNetworkNamespace() {
    if (::geteuid() != 0) return;
    if (::unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare");
        std::exit(1);
    }
    ChildProcess::Options options;
    options.executable = "/usr/sbin/ip";
    options.arguments = {"link", "set", "lo", "up"};
    options.output = ChildProcess::Redirect::null();
    ChildProcess ip = ChildProcess::spawn(options);
    ip.waitForExit();
    const auto status = ip.exitStatus();
    if (!status || status->terminationStatus() != 0) {
        std::fputs("ip link set lo up failed\n", stderr);
        std::exit(1);
    }
}

}  // namespace
}  // namespace tarnel

int main(int argc, char** argv) {
    tarnel::enterOwnNetworkNamespace();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
