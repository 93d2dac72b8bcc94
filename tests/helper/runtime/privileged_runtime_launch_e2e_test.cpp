#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/error.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/runtime_host.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Case = PrivilegedRuntimeError::Case;
using Exit = ChildProcess::ExitStatus;
using LaunchE2E = NamespaceTest;
using LaunchedRuntime = PrivilegedRuntime::LaunchedRuntime;
using Names = std::set<std::string>;

double now() { return SystemClock::shared().uptime(); }

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

std::string readLink(const fs::path& path) {
    std::error_code error;
    return fs::read_symlink(path, error).string();
}

// Waits until "tun.log" holds both lines the stand-in writes at its start.
bool waitForStartLines(const RuntimeFixture& fixture, double seconds = 10.0) {
    const double end = now() + seconds;
    do {
        const std::string log = fixture.read("tun.log");
        if (log.find("sing-box: stand-in started\n") != std::string::npos &&
            log.find("sing-box: stand-in logging to standard error\n") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (now() < end);
    return false;
}

// "<stage> <outcome>" of every startup record, in order.
std::vector<std::string> stageRecords(const ScopedLogCapture& capture) {
    std::vector<std::string> records;
    for (const auto& entry : capture.entries()) {
        if (entry.category != "timing") continue;
        const auto field = [&](std::string_view key) {
            const auto start = entry.text.find(std::string(key) + "=") + key.size() + 1;
            return entry.text.substr(start, entry.text.find(' ', start) - start);
        };
        records.push_back(field("stage") + " " + field("outcome"));
    }
    return records;
}

const std::vector<std::string>& launchStages() {
    static const std::vector<std::string> stages{
        "helper_previous_runtime_cleanup", "helper_configuration_write", "helper_process_launch",
        "helper_post_launch_checkpoint",   "helper_process_identity",    "helper_state_persistence",
        "helper_live_runtime_validation"};
    return stages;
}

// The records of the launch stages up to `last`, each started and completed,
// or the last one failed.
std::vector<std::string> expectedRecords(const std::string& last, bool lastFails) {
    std::vector<std::string> records;
    for (const auto& stage : launchStages()) {
        records.push_back(stage + " started");
        const bool isLast = stage == last;
        records.push_back(stage + (isLast && lastFails ? " failed" : " completed"));
        if (isLast) break;
    }
    return records;
}

LaunchedRuntime launch(const NetworkNamespace& space, const PrivilegedRuntime& runtime, std::string_view configuration,
                       const PrivilegedRuntime::PreparedRuntime& prepared,
                       const PrivilegedTunnelStartupControl& control) {
    return space.inside([&] { return runtime.launchPreparedRuntime(configuration, prepared, control); });
}

std::optional<Case> failedLaunch(const NetworkNamespace& space, const PrivilegedRuntime& runtime,
                                 std::string_view configuration, const PrivilegedRuntime::PreparedRuntime& prepared) {
    try {
        (void)launch(space, runtime, configuration, prepared, RuntimeFixture::control());
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

TEST_F(LaunchE2E, RunsThePreparedRuntimeOnTheConfigurationAsReceivedWithAFreshLog) {
    NetworkNamespace space;
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.applicationRuntime();
    const auto prepared = RuntimeFixture::prepareThrough(runtime);
    fixture.write("tun.log", "old");
    const std::string configuration = "{\"b\":1,  \"a\":\"\\/x\"}\n";
    // A descriptor of the helper without close-on-exec must not reach the runtime.
    TemporaryDirectory elsewhere;
    const fs::path marker = realPath(elsewhere.path()) / "marker";
    files::writeAtomically(marker, "", 0600);
    const UniqueFd markerDescriptor(::open(marker.c_str(), O_RDONLY));
    ASSERT_TRUE(markerDescriptor);

    const ScopedLogCapture capture;
    const auto control = RuntimeFixture::control();
    LaunchedRuntime launched = launch(space, runtime, configuration, prepared, control);
    const pid_t pid = launched.process.pid();

    EXPECT_EQ(fixture.read("tun-config.json"), configuration);
    for (const char* name : {"tun-config.json", "tun.log", "tun-state.json"}) {
        EXPECT_EQ(modeOf(fixture.directory() / name), 0600u) << name;
    }
    const PrivilegedRuntime::TunnelState expected{pid,
                                                  prepared.binaryURL.string(),
                                                  launched.state.startedAtSeconds,
                                                  launched.state.startedAtMicroseconds,
                                                  control.request.attemptID.text(),
                                                  std::nullopt};
    EXPECT_EQ(launched.state, expected);
    EXPECT_EQ(PrivilegedRuntime::TunnelState::decode(fixture.read("tun-state.json")), expected);
    EXPECT_EQ(RuntimeHost::processIdentity(pid), expected.processIdentity());
    EXPECT_EQ(runtime.tunnelStatus(), pid);
    EXPECT_EQ(stageRecords(capture), expectedRecords("helper_live_runtime_validation", false));
    EXPECT_EQ(fixture.dnsRestores(), 1);

    // How it was started: arguments, directory, output, and no other descriptor of ours.
    const fs::path process = "/proc/" + std::to_string(pid);
    using namespace std::string_literals;
    EXPECT_EQ(files::readIfExists(process / "cmdline"),
              prepared.binaryURL.string() + "\0run\0-c\0"s + (fixture.directory() / "tun-config.json").string() + '\0');
    EXPECT_EQ(readLink(process / "cwd"), fixture.directory().string());
    EXPECT_EQ(readLink(process / "fd" / "1"), (fixture.directory() / "tun.log").string());
    EXPECT_EQ(readLink(process / "fd" / "2"), (fixture.directory() / "tun.log").string());
    for (const auto& descriptor : fs::directory_iterator(process / "fd")) {
        EXPECT_NE(readLink(descriptor.path()), marker.string()) << descriptor.path();
    }

    // The log was emptied before the runtime wrote to it.
    ASSERT_TRUE(waitForStartLines(fixture)) << fixture.read("tun.log");
    EXPECT_TRUE(fixture.read("tun.log").starts_with("sing-box: ")) << fixture.read("tun.log");

    // The runtime outlives its start; the stop ends it.
    launched.process.detach();
    launched.log.reset();
    EXPECT_EQ(runtime.tunnelStatus(), pid);
    space.inside([&] { runtime.stopTunnel(); });
    EXPECT_EQ(processesRunning(prepared.binaryURL), std::vector<pid_t>{});
    // The prepared copy stays while the cache holds it.
    EXPECT_EQ(fixture.entries(), (Names{prepared.binaryURL.filename().string(), "tun.log"}));
}

// The second start stops the first tunnel, waits for its interface to go and
// deletes its runtime copy; the new tunnel brings its own interface up.
TEST_F(LaunchE2E, ANewStartReplacesTheRunningTunnel) {
    NetworkNamespace space;
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    const std::string configuration = readFixture("tunnel-config/automatic-interface.json");
    const auto first = fixture.prepareStandIn();
    LaunchedRuntime running = launch(space, runtime, configuration, first, RuntimeFixture::control());
    ASSERT_TRUE(waitForTunnelInterfaces(space, {"utun0"}, 10.0));
    running.process.detach();
    running.log.reset();

    const auto second = fixture.prepareStandIn();
    LaunchedRuntime replacement = launch(space, runtime, configuration, second, RuntimeFixture::control());
    EXPECT_EQ(processesRunning(first.binaryURL), std::vector<pid_t>{});
    EXPECT_EQ(processesRunning(second.binaryURL), std::vector<pid_t>{replacement.process.pid()});
    EXPECT_EQ(runtime.tunnelStatus(), replacement.process.pid());
    EXPECT_EQ(fixture.entries(),
              (Names{second.binaryURL.filename().string(), "tun-config.json", "tun-state.json", "tun.log"}));
    EXPECT_TRUE(waitForTunnelInterfaces(space, {"utun0"}, 10.0));

    replacement.process.detach();
    replacement.log.reset();
    space.inside([&] { runtime.stopTunnel(); });
    EXPECT_TRUE(waitForTunnelInterfaces(space, {}, 0.0));
    EXPECT_EQ(fixture.dnsRestores(), 3);
}

// The code-signing service, with each check of a running code held back until
// that process has exited: a check slower than a runtime that ends at once.
class ExitAwaitingCodeSigning final : public ForwardingCodeSigning {
public:
    using ForwardingCodeSigning::ForwardingCodeSigning;

    codesign::Result<std::shared_ptr<const codesign::Code>> copyGuest(std::int32_t pid,
                                                                      std::uint32_t flags) const override {
        const UniqueFd process = pidfd::open(pid);
        if (process) pidfd::waitForExit(process.get(), 10.0, SystemClock::shared());
        return ForwardingCodeSigning::copyGuest(pid, flags);
    }
};

// Every failure after the launch stops the runtime and leaves neither the
// record nor the configuration; the log stays for whoever looks into it.
TEST_F(LaunchE2E, AFailedLaunchLeavesNoRuntimeRecordOrConfiguration) {
    NetworkNamespace space;
    const struct {
        std::string name;
        std::string faults;
        // Changes the prepared runtime; gives the file that would run.
        std::function<fs::path(const RuntimeFixture&, PrivilegedRuntime::PreparedRuntime&)> arrange;
        bool slowCodeCheck;
        Case error;
        std::string failingStage;
        double atLeast;
    } cases[] = {
        {"missing runtime file", "",
         [](const RuntimeFixture& fixture, PrivilegedRuntime::PreparedRuntime& prepared) {
             prepared.binaryURL = fixture.directory() / ("sing-box-" + Uuid::random().text());
             return prepared.binaryURL;
         },
         false, Case::processStartFailed, "helper_process_launch", 0.0},
        {"runtime reached through a link", "",
         [](const RuntimeFixture& fixture, PrivilegedRuntime::PreparedRuntime& prepared) {
             const fs::path target = fixture.directory() / "runtime-target";
             fs::rename(prepared.binaryURL, target);
             fs::create_symlink(target, prepared.binaryURL);
             return target;
         },
         false, Case::processExitedDuringStartup, "helper_process_identity", 0.0},
        {"running code of another identity", "",
         [](const RuntimeFixture&, PrivilegedRuntime::PreparedRuntime& prepared) {
             prepared.runtimeIdentity = std::string(32, '\x5a');
             return prepared.binaryURL;
         },
         false, Case::invalidCodeSignature, "helper_live_runtime_validation", 0.5},
        {"runtime that exits at once", "exit=3",
         [](const RuntimeFixture&, PrivilegedRuntime::PreparedRuntime& prepared) { return prepared.binaryURL; }, true,
         Case::processExitedDuringStartup, "helper_live_runtime_validation", 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RuntimeFixture fixture;
        auto environment = fixture.environment();
        if (c.slowCodeCheck) environment.codeSigning = std::make_shared<ExitAwaitingCodeSigning>(environment.codeSigning);
        const PrivilegedRuntime runtime = PrivilegedRuntime::forLaunchRecovery(environment);
        auto prepared = fixture.prepareStandIn();
        const fs::path running = c.arrange(fixture, prepared);
        const ScopedStandInFault fault(c.faults);
        const ScopedLogCapture capture;

        const double start = now();
        EXPECT_EQ(failedLaunch(space, runtime, "{}", prepared), c.error);
        EXPECT_GE(now() - start, c.atLeast);
        EXPECT_EQ(stageRecords(capture), expectedRecords(c.failingStage, true));
        EXPECT_EQ(processesRunning(running), std::vector<pid_t>{});
        EXPECT_FALSE(fixture.exists("tun-state.json"));
        EXPECT_FALSE(fixture.exists("tun-config.json"));
        EXPECT_TRUE(fixture.exists("tun.log"));
        // The failed record names the error of the stage itself.
        const auto entries = capture.entries();
        const auto failed = std::find_if(entries.begin(), entries.end(), [](const LogEntry& entry) {
            return entry.text.find("outcome=failed") != std::string::npos;
        });
        ASSERT_NE(failed, entries.end());
        const std::string errorType = c.error == Case::processStartFailed
                                          ? SystemError("launch", ENOENT).typeName()
                                          : PrivilegedRuntimeError(c.error).typeName();
        EXPECT_TRUE(failed->text.ends_with(" error_type=" + errorType)) << failed->text;
    }
    EXPECT_EQ(PrivilegedRuntimeError(Case::processStartFailed).message(), "The tunnel runtime could not be started.");
    EXPECT_EQ(PrivilegedRuntimeError(Case::processExitedDuringStartup).message(),
              "The tunnel runtime exited during startup.");
    EXPECT_EQ(PrivilegedRuntimeError(Case::invalidCodeSignature).message(),
              "The signed tunnel runtime could not be verified.");
}

// An interface with the tunnel's address that does not go ends the start in
// its first stage, before any file is written or anything launched.
TEST_F(LaunchE2E, ALeftoverTunnelInterfaceEndsTheStartBeforeTheLaunch) {
    NetworkNamespace space;
    space.addTunnel("utun5", "172.19.0.1/30");
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    const auto prepared = fixture.prepareStandIn();
    const ScopedLogCapture capture;
    const double start = now();
    EXPECT_EQ(failedLaunch(space, runtime, "{}", prepared), Case::tunnelInterfaceDidNotDisappear);
    const double took = now() - start;
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 4.5);
    EXPECT_EQ(stageRecords(capture), expectedRecords("helper_previous_runtime_cleanup", true));
    EXPECT_EQ(fixture.entries(), Names{prepared.binaryURL.filename().string()});
}

// A failure of the state write (here: the file size limit) stops a runtime
// that ignores SIGTERM with SIGKILL; the DNS override is restored only when
// asked.
TEST_F(LaunchE2E, TheCleanupStopsTheRuntimeAndRemovesItsFiles) {
    const struct {
        std::string faults;
        bool restoreDNS;
        double atLeast;
        double below;
        Exit exit;
    } cases[] = {
        {"ignore-sigterm", false, 0.5, 1.5, Exit{Exit::Kind::signaled, SIGKILL}},
        {"", true, 0.0, 1.0, Exit{Exit::Kind::exited, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        RuntimeFixture fixture;
        const PrivilegedRuntime runtime = fixture.runtime();
        const auto prepared = fixture.prepareStandIn();
        const auto control = RuntimeFixture::control();
        const ScopedStandInFault fault(c.faults);
        UniqueFd log = runtime.writeConfigurationAndOpenLog("{}");
        ChildProcess process = ChildProcess::spawn(runtime.runtimeLaunchOptions(prepared, log.get()));
        const ProcessIdentity identity = runtime.launchedProcessIdentity(process, prepared.binaryURL);
        // Its signal handling is set up once it has written its first lines.
        ASSERT_TRUE(waitForStartLines(fixture));

        const PrivilegedRuntime::TunnelState state{process.pid(), identity.executablePath, identity.startSeconds,
                                                   identity.startMicroseconds, std::nullopt, std::nullopt};
        rlimit previous{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        const rlimit small{16, previous.rlim_max};
        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_THROW(runtime.persistTunnelState(state, control), SystemError);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::signal(SIGXFSZ, previousHandler);

        const double start = now();
        runtime.cleanUpFailedStart(process, log, c.restoreDNS);
        const double took = now() - start;
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        EXPECT_EQ(process.exitStatus(), c.exit);
        EXPECT_FALSE(log);
        EXPECT_EQ(fixture.dnsRestores(), c.restoreDNS ? 1 : 0);
        EXPECT_EQ(fixture.entries(), (Names{prepared.binaryURL.filename().string(), "tun.log"}));
    }
}

// The log is a fresh private file whatever stood in its place; one that cannot
// be opened as a file ends the stage with the storage error.
TEST_F(LaunchE2E, TheConfigurationWriteGivesAnEmptyPrivateLog) {
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    TemporaryDirectory elsewhere;
    const fs::path outside = elsewhere.path() / "outside.log";
    files::writeAtomically(outside, "outside", 0644);
    fs::create_symlink(outside, fixture.directory() / "tun.log");
    UniqueFd log = runtime.writeConfigurationAndOpenLog("{}");
    ASSERT_TRUE(log);
    EXPECT_EQ(::fcntl(log.get(), F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_APPEND), O_WRONLY);
    EXPECT_EQ(modeOf(fixture.directory() / "tun.log"), 0600u);
    EXPECT_EQ(fixture.read("tun.log"), "");
    EXPECT_EQ(files::readIfExists(outside), "outside");
    ASSERT_EQ(::write(log.get(), "x", 1), 1);
    EXPECT_EQ(fixture.read("tun.log"), "x");

    fs::remove(fixture.directory() / "tun.log");
    fs::create_directories(fixture.directory() / "tun.log" / "inside");
    try {
        (void)runtime.writeConfigurationAndOpenLog("{}");
        ADD_FAILURE() << "the log was opened";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), Case::runtimeStorageUnavailable);
    }
}

}  // namespace
}  // namespace tarnel::testing
