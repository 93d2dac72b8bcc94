// The system proxy over the networksetup stand-in: the commands the helper
// runs, in their order, and the record it keeps of the service it changed.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/system_tools.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"
#include "tests/support/networksetup_calls.hpp"

namespace tarnel::testing {
namespace {

using Calls = NetworkSetupCalls;

constexpr std::string_view kCommandFailed = "The system proxy command failed.";
constexpr std::string_view kCorruptState = "The protected proxy state is invalid; no network service was changed.";
constexpr std::string_view kInvalidService = "The selected network service name is not valid.";
constexpr std::string_view kRecordName = "proxy-state.json";

// A copy of the stand-in at a path of this test's own (so that the processes
// running it are this test's alone), run in place of the system tool, with
// its record file and its faults in the environment while the object lives.
class NetworkSetupStandIn {
public:
    NetworkSetupStandIn()
        : executable_(directory_.path() / "networksetup"), mapping_(SystemTools::networksetup, executable_) {
        copyFile(TARNEL_STANDIN_NETWORKSETUP, executable_, std::filesystem::perms::owner_all);
        ::setenv("TARNEL_NETWORKSETUP_CALLS", (directory_.path() / "calls").c_str(), 1);
        for (const char* name : kSettings) ::unsetenv(name);
    }
    ~NetworkSetupStandIn() {
        ::unsetenv("TARNEL_NETWORKSETUP_CALLS");
        for (const char* name : kSettings) ::unsetenv(name);
    }
    NetworkSetupStandIn(const NetworkSetupStandIn&) = delete;
    NetworkSetupStandIn& operator=(const NetworkSetupStandIn&) = delete;

    // The calls that fail, hang, and the services the tool knows, each
    // written as the stand-in reads them.
    void failing(const std::vector<std::string>& calls) { set("TARNEL_NETWORKSETUP_FAIL", calls); }
    void hanging(const std::vector<std::string>& calls) { set("TARNEL_NETWORKSETUP_HANG", calls); }
    void knowing(const std::vector<std::string>& services) { set("TARNEL_NETWORKSETUP_SERVICES", services); }

    // Every run since the last call of `clear`, in order.
    [[nodiscard]] Calls calls() const { return readNetworkSetupCalls(directory_.path() / "calls"); }
    void clear() const { files::removeIfExists(directory_.path() / "calls"); }

    [[nodiscard]] const std::filesystem::path& executable() const { return executable_; }

private:
    static constexpr const char* kSettings[] = {"TARNEL_NETWORKSETUP_FAIL", "TARNEL_NETWORKSETUP_HANG",
                                                "TARNEL_NETWORKSETUP_SERVICES"};

    static void set(const char* name, const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
        ::setenv(name, text.c_str(), 1);
    }

    TemporaryDirectory directory_;
    std::filesystem::path executable_;
    SystemTools::ScopedMapping mapping_;
};

Calls joined(Calls first, const Calls& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::string record(const std::string& service) { return R"({"serviceName":")" + service + R"("})"; }

// Records are private files of root's, which only root can make.
class SystemProxyTest : public ::testing::Test {
protected:
    void SetUp() override { TARNEL_SKIP_UNLESS_ROOT(); }

    [[nodiscard]] std::string enable(const std::string& service) const {
        return failureOf([&] { runtime.enableSystemProxy(service); });
    }
    [[nodiscard]] std::string disable() const {
        return failureOf([&] { runtime.disableSystemProxy(); });
    }

    RuntimeFixture fixture;
    PrivilegedRuntime runtime = fixture.runtime();
    NetworkSetupStandIn tool;
    ScopedLogCapture log;
};

TEST_F(SystemProxyTest, EnableRunsTheSevenCommandsAndRecordsTheServiceThenDisableTurnsItsStatesOff) {
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    const Calls expected{{"-setwebproxy", "Wi-Fi", "127.0.0.1", "2080"},
                         {"-setsecurewebproxy", "Wi-Fi", "127.0.0.1", "2080"},
                         {"-setsocksfirewallproxy", "Wi-Fi", "127.0.0.1", "2080"},
                         {"-setproxybypassdomains", "Wi-Fi", "localhost", "127.0.0.1", "::1", "*.local"},
                         {"-setwebproxystate", "Wi-Fi", "on"},
                         {"-setsecurewebproxystate", "Wi-Fi", "on"},
                         {"-setsocksfirewallproxystate", "Wi-Fi", "on"}};
    EXPECT_EQ(tool.calls(), expected);
    EXPECT_EQ(fixture.read(kRecordName), R"({"serviceName":"Wi-Fi"})");
    struct stat status {};
    ASSERT_EQ(::lstat(runtime.proxyStatePath().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    tool.clear();
    ASSERT_EQ(disable(), "no error");
    EXPECT_EQ(tool.calls(), systemProxyOffCalls("Wi-Fi"));
    EXPECT_FALSE(fixture.exists(kRecordName));

    // Nothing is recorded any more, so there is nothing to undo.
    tool.clear();
    EXPECT_EQ(disable(), "no error");
    EXPECT_EQ(tool.calls(), Calls{});
    EXPECT_EQ(log.sink().lines(), std::vector<std::string>{});
}

TEST_F(SystemProxyTest, AFailedOffKeepsTheRecordForTheNextDisable) {
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    tool.clear();
    tool.failing({"-setsocksfirewallproxystate Wi-Fi off"});
    EXPECT_EQ(disable(), kCommandFailed);
    EXPECT_EQ(tool.calls(), systemProxyOffCalls("Wi-Fi"));
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));

    // Once the tool succeeds, the retry turns the states off and forgets them.
    tool.clear();
    tool.failing({});
    EXPECT_EQ(disable(), "no error");
    EXPECT_EQ(tool.calls(), systemProxyOffCalls("Wi-Fi"));
    EXPECT_FALSE(fixture.exists(kRecordName));
}

TEST_F(SystemProxyTest, ARecordThatIsNotTheHelpersChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> place;
    };
    const auto contents = [](std::string text) {
        return [text](const std::filesystem::path& path) { files::writeAtomically(path, text, 0600); };
    };
    const Case cases[] = {
        {"empty name", contents(R"({"serviceName":""})")},
        {"no name", contents(R"({"service":"Wi-Fi"})")},
        {"number", contents(R"({"serviceName":5})")},
        {"repeated key", contents(R"({"serviceName":"Wi-Fi","serviceName":"Ethernet"})")},
        {"not JSON", contents("Wi-Fi")},
        {"array", contents(R"(["Wi-Fi"])")},
        {"line feed in the name", contents(R"({"serviceName":"Wi-Fi\n-setwebproxystate"})")},
        {"129 bytes", contents(R"({"serviceName":")" + std::string(129, 'a') + R"("})")},
        {"readable by others",
         [](const std::filesystem::path& path) { files::writeAtomically(path, record("Wi-Fi"), 0644); }},
        {"link to a record",
         [](const std::filesystem::path& path) {
             files::writeAtomically(path.parent_path() / "elsewhere.json", record("Wi-Fi"), 0600);
             std::filesystem::create_symlink("elsewhere.json", path);
         }},
        {"directory", [](const std::filesystem::path& path) { std::filesystem::create_directory(path); }},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove_all(runtime.proxyStatePath());
        testCase.place(runtime.proxyStatePath());
        tool.clear();
        EXPECT_EQ(disable(), kCorruptState);
        EXPECT_EQ(tool.calls(), Calls{});
        EXPECT_TRUE(fixture.exists(kRecordName));
    }
}

TEST_F(SystemProxyTest, AnInvalidServiceNameRunsNothingAndRecordsNothing) {
    std::string euros;
    for (int index = 0; index < 43; ++index) euros += "\u20ac";
    for (const std::string& name : {std::string(), std::string("Wi\tFi"), std::string("Wi-Fi\n"),
                                   std::string("Wi\u200dFi"), euros}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(enable(name), kInvalidService);
        EXPECT_EQ(tool.calls(), Calls{});
        EXPECT_FALSE(fixture.exists(kRecordName));
    }
    // 128 bytes is a name the tool gets.
    EXPECT_EQ(enable(std::string(128, 'a')), kCommandFailed);
    EXPECT_EQ(tool.calls().front(), systemProxyEnableCalls(std::string(128, 'a'), 1).front());
}

TEST_F(SystemProxyTest, EnablingAnotherServiceTurnsTheRecordedOneOffFirst) {
    struct Case {
        const char* name;
        bool wiFiStillExists;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"the recorded service turns off", true, {}},
        {"the recorded service is gone", false,
         {"system_proxy_previous_service_disable_failed error=The system proxy command failed. service=Wi-Fi"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        tool.knowing({"Wi-Fi", "Ethernet"});
        ASSERT_EQ(enable("Wi-Fi"), "no error");
        tool.clear();
        log.sink().clear();
        if (!testCase.wiFiStillExists) tool.knowing({"Ethernet"});

        EXPECT_EQ(enable("Ethernet"), "no error");
        EXPECT_EQ(tool.calls(), joined(systemProxyOffCalls("Wi-Fi"), systemProxyEnableCalls("Ethernet")));
        EXPECT_EQ(fixture.read(kRecordName), record("Ethernet"));
        EXPECT_EQ(log.sink().lines(), testCase.log);
        ASSERT_EQ(disable(), "no error");
    }
}

TEST_F(SystemProxyTest, EnablingTheRecordedServiceAgainRunsTheWholeSequence) {
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    tool.clear();
    EXPECT_EQ(enable("Wi-Fi"), "no error");
    EXPECT_EQ(tool.calls(), systemProxyEnableCalls("Wi-Fi"));
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));
}

TEST_F(SystemProxyTest, AFailedEnableTurnsTheServiceOffAndKeepsARecordOnlyWhileAStateMayBeOn) {
    struct Case {
        const char* name;
        std::string service;
        std::vector<std::string> failing;
        std::size_t commandsRun;  // of the enable, the failing one included
        bool recordKept;
    };
    const Case cases[] = {
        // The tool does not know the service: every command fails, the offs too.
        {"unknown service", "Bluetooth PAN", {}, 1, false},
        {"bypass list", "Wi-Fi", {"-setproxybypassdomains Wi-Fi localhost 127.0.0.1 ::1 *.local"}, 4, false},
        {"second on", "Wi-Fi", {"-setsecurewebproxystate Wi-Fi on"}, 6, false},
        // The record was written before the first "on"; with an off that
        // fails, the web proxy may still be on, and the record stays for the
        // next disable.
        {"second on and first off", "Wi-Fi", {"-setsecurewebproxystate Wi-Fi on", "-setwebproxystate Wi-Fi off"}, 6,
         true},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove_all(runtime.proxyStatePath());
        tool.clear();
        tool.failing(testCase.failing);
        EXPECT_EQ(enable(testCase.service), kCommandFailed);
        EXPECT_EQ(tool.calls(),
                  joined(systemProxyEnableCalls(testCase.service, testCase.commandsRun), systemProxyOffCalls(testCase.service)));
        if (testCase.recordKept) {
            EXPECT_EQ(fixture.read(kRecordName), record(testCase.service));
        } else {
            EXPECT_FALSE(fixture.exists(kRecordName));
        }
    }
}

TEST_F(SystemProxyTest, AFailedEnableOfTheRecordedServiceForgetsItOnceItIsOff) {
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    tool.failing({"-setwebproxy Wi-Fi 127.0.0.1 2080"});
    EXPECT_EQ(enable("Wi-Fi"), kCommandFailed);
    EXPECT_FALSE(fixture.exists(kRecordName));

    // A record of another service, whose states could not be turned off, is
    // not this enable's to remove.
    tool.failing({"-setwebproxystate Wi-Fi off", "-setwebproxy Ethernet 127.0.0.1 2080"});
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    EXPECT_EQ(enable("Ethernet"), kCommandFailed);
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));
}

// A record that cannot be read says nothing about which service it meant:
// the enable logs it, runs no command for it, and replaces it.
TEST_F(SystemProxyTest, AnUnreadableRecordIsReplacedByTheEnable) {
    fixture.write(kRecordName, "not a record");
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    EXPECT_EQ(tool.calls(), systemProxyEnableCalls("Wi-Fi"));
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));
    EXPECT_EQ(log.sink().lines(), std::vector<std::string>{"system_proxy_previous_state_invalid replacing=true"});
}

// When the record cannot be written, no state is turned on: the service's
// states are turned off again and the write's own failure is reported.
TEST_F(SystemProxyTest, ARecordThatCannotBeWrittenTurnsNothingOn) {
    std::filesystem::create_directories(fixture.directory() / kRecordName / "in-the-way");
    const std::string failure = enable("Wi-Fi");
    EXPECT_NE(failure, "no error");
    EXPECT_EQ(tool.calls(), joined(systemProxyEnableCalls("Wi-Fi", 4), systemProxyOffCalls("Wi-Fi")));
}

// The record could not be kept safe: nothing runs, nothing is written.
TEST_F(SystemProxyTest, EnablingWithARuntimeDirectoryThatIsNotPrivateRunsNoTool) {
    const struct {
        const char* name;
        std::function<void(const std::filesystem::path&)> spoil;
    } cases[] = {
        {"readable by others", [](const std::filesystem::path& directory) { ::chmod(directory.c_str(), 0755); }},
        {"another owner", [](const std::filesystem::path& directory) { (void)::chown(directory.c_str(), 65534, 0); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        testCase.spoil(fixture.directory());
        EXPECT_EQ(enable("Wi-Fi"), "The privileged runtime directory is not root-owned and private.");
        EXPECT_EQ(tool.calls(), Calls{});
        EXPECT_FALSE(fixture.exists(kRecordName));
        ASSERT_EQ(::chown(fixture.directory().c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(fixture.directory().c_str(), 0700), 0);
    }
}

TEST_F(SystemProxyTest, AHungToolIsStoppedAtItsDeadline) {
    // The deadline runs on the runtime's clock, which moves here only when
    // the test moves it: the calls before the hung one take what real time
    // they need, however loaded the machine is. It moves twice: to a second
    // before the hung call's deadline and then past it, never again, so the
    // commands that follow have all the time they need too.
    auto clock = std::make_shared<FakeClock>();
    PrivilegedRuntimeEnvironment environment = fixture.environment();
    environment.clock = clock;
    const PrivilegedRuntime runtimeOnFakeClock = PrivilegedRuntime::forLaunchRecovery(environment);
    // The hung call ignores SIGTERM, so only the kill that follows ends it.
    tool.hanging({"-setsecurewebproxy Wi-Fi 127.0.0.1 2080"});

    std::atomic<bool> returned = false;
    std::string failure;
    std::thread enabling([&] {
        failure = failureOf([&] { runtimeOnFakeClock.enableSystemProxy("Wi-Fi"); });
        returned = true;
    });
    const auto sleep = [](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); };
    for (int tries = 0; tries < 3000 && tool.calls().size() < 2; ++tries) sleep(10);
    EXPECT_EQ(tool.calls().size(), 2u) << "the hung call did not start";

    // A second before the deadline the tool still runs (longer than its stop
    // would take); past it, it is stopped.
    clock->advance(19.0);
    sleep(1500);
    EXPECT_EQ(processesRunning(tool.executable()).size(), 1u);
    EXPECT_FALSE(returned);
    clock->advance(2.0);
    const double pastDeadline = SystemClock::shared().uptime();
    enabling.join();

    EXPECT_EQ(failure, kCommandFailed);
    // The stop's own bounds (SIGTERM, 0.25 s, SIGKILL, 1.0 s) and three short
    // commands, with room for a machine far slower than this one.
    EXPECT_LT(SystemClock::shared().uptime() - pastDeadline, 20.0);
    EXPECT_EQ(tool.calls(), joined(systemProxyEnableCalls("Wi-Fi", 2), systemProxyOffCalls("Wi-Fi")));
    EXPECT_FALSE(fixture.exists(kRecordName));
    EXPECT_EQ(log.sink().lines(),
              std::vector<std::string>{"system_proxy_command_timed_out command=-setsecurewebproxy"});
    EXPECT_EQ(processesRunning(tool.executable()), std::vector<pid_t>{});
}

TEST_F(SystemProxyTest, AToolThatCannotBeStartedFailsWithTheSystemsText) {
    ASSERT_EQ(enable("Wi-Fi"), "no error");
    const std::filesystem::path missing = fixture.directory() / "missing-tool";
    SystemTools::map(SystemTools::networksetup, missing);
    const std::string expected = "launch " + missing.string() + ": No such file or directory";
    EXPECT_EQ(disable(), expected);
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));
    EXPECT_EQ(enable("Ethernet"), expected);
    EXPECT_EQ(fixture.read(kRecordName), record("Wi-Fi"));
    EXPECT_EQ(tool.calls(), systemProxyEnableCalls("Wi-Fi"));
}

}  // namespace
}  // namespace tarnel::testing
