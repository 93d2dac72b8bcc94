// The helper's own part of a tunnel start, over the stand-ins: every stage
// from the configuration check to the final process check, except the wait
// for the runtime to create its interface (the runtime's own start, which is
// the stand-in's and not the helper's). Each iteration is one full start of
// the prepared stand-in runtime, pinned to en0, followed by a stop and the
// kill switch's deactivation, which are not measured.
//
// Measured twice, once over each mode of the pfctl stand-in:
//   BM_TunnelStartHelperPart/recording_pfctl  the stand-in only records the anchor and its
//                                             references (as the unit and integration tests use it)
//   BM_TunnelStartHelperPart/enforcing_pfctl  it also applies the anchor to the namespace's
//                                             nftables (as the demo and the e2e tests use it)
//
// Needs root: the program moves itself into a network namespace of its own
// before anything else, where the stand-ins make their interface, anchor and
// routes; the namespace goes when the program ends. Without root it reports
// the benchmark as skipped.

#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/child_process.hpp"
#include "common/process/system_tools.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/support/code_signing_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;

// Runs `ip` with these arguments in the program's namespace.
void ip(std::vector<std::string> arguments) {
    ChildProcess::Options options;
    options.executable = "/usr/sbin/ip";
    options.arguments = std::move(arguments);
    options.output = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    child.waitForExit();
    const auto status = child.exitStatus();
    if (!status || status->terminationStatus() != 0) throw std::runtime_error("ip failed");
}

// The milliseconds of one stage's completed record among `entries`.
double stageMilliseconds(const std::vector<LogEntry>& entries, std::string_view stage) {
    const std::string wanted = "stage=" + std::string(stage) + " outcome=completed";
    for (const auto& entry : entries) {
        if (entry.category != "timing" || entry.text.find(wanted) == std::string::npos) continue;
        const auto start = entry.text.find(" stage_ms=") + 10;
        return std::stod(entry.text.substr(start, entry.text.find(' ', start) - start));
    }
    throw std::runtime_error("no completed record of " + std::string(stage));
}

// A private temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "tarnel-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = fs::canonical(pattern);
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    [[nodiscard]] const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A runtime directory, the development anchor's code signing, an emulated
// system configuration, the stand-ins in place of pfctl and the route tool,
// and the stand-in runtime prepared from a signed application.
class StartSetup {
public:
    explicit StartSetup(bool enforcingPfctl) {
        const fs::path& base = directory_.path();
        runtimeDirectory_ = base / "runtime";
        files::ensurePrivateDirectory(runtimeDirectory_);
        fs::create_directories(base / "pf");
        ::setenv("TARNEL_PFCTL_STATE_DIRECTORY", (base / "pf").c_str(), 1);
        if (enforcingPfctl) {
            ::setenv("TARNEL_PFCTL_ENFORCE", "1", 1);
        } else {
            ::unsetenv("TARNEL_PFCTL_ENFORCE");
        }
        SystemTools::map(SystemTools::pfctl, TARNEL_STANDIN_PFCTL);
        SystemTools::map(SystemTools::route, TARNEL_ROUTE_TOOL);

        const auto codeSigning = std::make_shared<codesign::LocalCodeSigning>(
            testing::SigningAuthority::development().codeSigning());
        PrivilegedRuntimeEnvironment environment;
        environment.runtimeDirectory = runtimeDirectory_;
        environment.codeSigning = codeSigning;
        environment.preparedRuntimes = std::make_shared<PreparedRuntimeCache>();
        environment.systemConfiguration = std::make_shared<sysconfig::MemorySystemConfiguration>();
        environment.killSwitchServices.resolver = [](const std::string&) {
            return std::optional<std::vector<sockaddr_storage>>();
        };

        const auto application = testing::buildStandInApplication(base / "application");
        const auto created = codeSigning->createStaticCode(application.bundle, codesign::flags::none);
        if (created.status != codesign::status::success) throw std::runtime_error("the application has no static code");
        std::string identity = ClientCodeValidator::codeIdentity(*created.value, "application_identity", *codeSigning);
        runtime_.emplace(environment, application.bundle, created.value, std::move(identity), 0);
        token_ = runtime_->prepareRuntime(
            PrivilegedRuntimePreparationRequest{Uuid::random(), SystemClock::shared().uptime() + 45.0},
            [] { return false; });
        configuration_ = *files::readIfExists(fs::path(TARNEL_TEST_FIXTURES) / "tunnel-config/plain-pinned-interface.json");
    }
    ~StartSetup() {
        SystemTools::clearMappings();
        ::unsetenv("TARNEL_PFCTL_ENFORCE");
    }

    // One start; the seconds it took without the wait for the interface.
    double start() const {
        const ScopedLogCapture capture;
        const auto began = std::chrono::steady_clock::now();
        (void)runtime_->startTunnel(
            configuration_, std::nullopt, token_,
            PrivilegedTunnelStartupRequest{Uuid::random(), SystemClock::shared().uptime() + 25.0, false},
            [] { return false; });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        return took.count() - stageMilliseconds(capture.entries(), "helper_interface_appearance") / 1000.0;
    }
    void stop() const {
        runtime_->stopTunnel();
        runtime_->killSwitch().deactivate();
    }

private:
    TemporaryDirectory directory_;
    fs::path runtimeDirectory_;
    std::optional<PrivilegedRuntime> runtime_;
    std::string token_;
    std::string configuration_;
};

void BM_TunnelStartHelperPart(benchmark::State& state, bool enforcingPfctl) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root (a network namespace of its own)");
        return;
    }
    const StartSetup setup(enforcingPfctl);
    for (auto _ : state) {
        state.SetIterationTime(setup.start());
        state.PauseTiming();
        setup.stop();
        state.ResumeTiming();
    }
}
BENCHMARK_CAPTURE(BM_TunnelStartHelperPart, recording_pfctl, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_TunnelStartHelperPart, enforcing_pfctl, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Moves the program into a network namespace of its own with lo and en0
// (192.168.1.20/24, one end of a veth pair) up, before the benchmark library starts any thread.
bool enterOwnNetworkNamespace() {
    if (::geteuid() != 0) return false;
    if (::unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare");
        std::exit(1);
    }
    ip({"link", "set", "lo", "up"});
    ip({"link", "add", "en0", "type", "veth", "peer", "name", "lan0"});
    ip({"address", "add", "192.168.1.20/24", "dev", "en0"});
    ip({"link", "set", "lan0", "up"});
    ip({"link", "set", "en0", "up"});
    return true;
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
