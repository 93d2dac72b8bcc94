// What a helper killed at the wrong moment, or a user who owns the copy of the
// application that asks for the runtime, must never leave behind: a runtime
// that nothing records, a staging copy, or a copy larger than a runtime. End
// to end, as root: the test helper program in a network namespace with en0
// up, its client playing the application (helper_harness.hpp).

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/process/child_process.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/runtime_error.hpp"
#include "common/base/uuid.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "platform/process_info.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Exit = ChildProcess::ExitStatus;

constexpr std::uint64_t kMaximumRuntimeSize = ClientCodeValidator::maximumRuntimeSize;

// Exchanges the directories "bin" and "bin-sparse" of the Resources directory
// given first, as often as given second (0: until it is stopped).
constexpr const char* kFlip = R"(
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
AT_FDCWD, RENAME_EXCHANGE = -100, 2
os.chdir(sys.argv[1])
count, done = int(sys.argv[2]), 0
while count == 0 or done < count:
    if libc.renameat2(AT_FDCWD, b'bin', AT_FDCWD, b'bin-sparse', RENAME_EXCHANGE) != 0:
        sys.exit('renameat2: ' + os.strerror(ctypes.get_errno()))
    done += 1
)";

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class RuntimeRecoveryE2E : public HelperNamespaceTest {
protected:
    static Reply prepare(const HelperHarness& harness, double deadline,
                         const std::optional<fs::path>& client = std::nullopt,
                         const std::string& attempt = Uuid::random().text()) {
        return harness.call("prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:",
                            {"attemptIdentifier=text:" + attempt, "deadlineUptime=number:" + numberText(deadline)},
                            false, client);
    }

    // How many milliseconds before its deadline the attempt's last stage ended
    // in the helper, as its timing record says (negative: after it).
    static std::optional<long long> remainingAtEnd(const HelperHarness& harness, const std::string& attempt) {
        const std::string log = harness.log();
        const std::string marker = " attempt=" + attempt.substr(0, 8) + " ";
        const auto at = log.rfind(marker);
        if (at == std::string::npos) return std::nullopt;
        const std::string line = log.substr(at, log.find('\n', at) - at);
        const auto remaining = line.find(" remaining_ms=");
        if (remaining == std::string::npos) return std::nullopt;
        return std::stoll(line.substr(remaining + 14));
    }

    static Reply start(const HelperHarness& harness, const std::string& token) {
        const fs::path configuration = harness.base() / "tun-config-to-send.json";
        // Read by the client after it gave up root.
        files::writeAtomically(configuration, readFixture("tunnel-config/plain-pinned-interface.json"), 0644);
        return harness.call(kStartSelector, {"configuration=data-file:" + configuration.string(),
                                             "preparedRuntimeToken=text:" + token,
                                             "attemptIdentifier=text:" + Uuid::random().text(),
                                             "deadlineUptime=number:" + numberText(now() + 25.0)});
    }
};

// A helper killed right after it launched the runtime and before it recorded
// it: the runtime runs on with its interface and nothing names it. The next
// helper's recovery stops it, removes protection, and the next start works.
TEST_F(RuntimeRecoveryE2E, AHelperKilledBetweenLaunchAndRecordLeavesNoRuntimeBehind) {
    HelperHarness harness(*space_);
    harness.startHelper({"TARNEL_HELPER_FAULT=kill-after-runtime-launch"});
    const Reply prepared = prepare(harness, now() + 40.0);
    ASSERT_TRUE(prepared.has("token")) << prepared.values.dump();
    const Reply interrupted = start(harness, prepared.text("token"));
    EXPECT_TRUE(interrupted.has("ipc_error")) << interrupted.values.dump();
    EXPECT_EQ(harness.helperExit(10.0), (Exit{Exit::Kind::signaled, SIGKILL}));

    const auto running = ProcessInfo::processesRunningFrom(harness.runtime());
    ASSERT_EQ(running.size(), 1u);
    const UniqueFd orphan = pidfd::open(running.front().pid);
    ASSERT_TRUE(orphan);
    // However the test ends, the runtime does not outlive it.
    const struct KillAtEnd {
        int pidfd;
        ~KillAtEnd() { pidfd::sendSignal(pidfd, SIGKILL); }
    } killAtEnd{orphan.get()};
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {"utun0"}, 10.0));
    EXPECT_FALSE(fs::exists(harness.runtime() / "tun-state.json"));
    EXPECT_NE(harness.pf().anchorRules(), "");

    harness.startHelper();
    // Served once recovery has ended.
    EXPECT_EQ(harness.call("tunnelProtectionStatusWithReply:").values, json::parse(R"({"active":false})"));
    EXPECT_TRUE(pidfd::hasExited(orphan.get()));
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {}, 0.0));
    EXPECT_EQ(harness.pf().anchorRules(), "");
    EXPECT_EQ(harness.log().find("kill_switch_restore_failed"), std::string::npos) << harness.log();
    // Its copy went once nothing ran it.
    EXPECT_FALSE(fs::exists(running.front().identity.executablePath));

    const Reply again = prepare(harness, now() + 40.0);
    ASSERT_TRUE(again.has("token")) << again.values.dump();
    const Reply started = start(harness, again.text("token"));
    ASSERT_TRUE(started.has("processIdentifier")) << started.values.dump() << harness.log();
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {"utun0"}, 0.0));
    EXPECT_EQ(harness.call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {}, 0.0));
}

// No preparation runs before the helper serves anyone: a staging copy found
// at its start is one that a helper killed while staging left, and goes.
TEST_F(RuntimeRecoveryE2E, AStagingCopyLeftByAKilledHelperIsGoneOnceTheHelperStarts) {
    HelperHarness harness(*space_);
    files::ensurePrivateDirectory(harness.runtime());
    const fs::path staging = harness.runtime() / (".sing-box-stage-" + Uuid::random().text());
    copyFile(developmentSignedStandInRuntime(), staging, fs::perms::owner_all);

    harness.startHelper();
    EXPECT_EQ(harness.call("protocolVersionWithReply:").values, json::parse(R"({"version":35})"));
    EXPECT_FALSE(fs::exists(staging));
}

// Looks at the runtime directory every millisecond while it lives, keeping
// the size of the largest entry it saw. One past 256 MiB ends the helper at
// once, so that a helper copying without a bound cannot fill the disk.
class RuntimeDirectoryWatch {
public:
    RuntimeDirectoryWatch(fs::path directory, pid_t helper)
        : directory_(std::move(directory)), helper_(helper), thread_([this] { watch(); }) {}
    ~RuntimeDirectoryWatch() { stop(); }
    RuntimeDirectoryWatch(const RuntimeDirectoryWatch&) = delete;
    RuntimeDirectoryWatch& operator=(const RuntimeDirectoryWatch&) = delete;

    // The largest size seen, once the watch has ended.
    std::uint64_t stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        return largest_;
    }

private:
    void watch() {
        while (!stopping_) {
            std::error_code error;
            for (fs::directory_iterator entry(directory_, error), end; !error && entry != end; entry.increment(error)) {
                struct stat status {};
                if (::lstat(entry->path().c_str(), &status) != 0) continue;
                largest_ = std::max(largest_.load(), static_cast<std::uint64_t>(status.st_size));
                if (largest_ > kMaximumRuntimeSize) ::kill(helper_, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    fs::path directory_;
    pid_t helper_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> largest_{0};
    std::thread thread_;
};

// The user who owns a copy of the application points its runtime at a 3 GiB
// file, or flips between that and the genuine runtime while the helper
// prepares it. The helper copies only the file it checked, refuses one past
// 256 MiB before copying, and ends within the preparation's deadline; no
// copy over 256 MiB and no staging copy is ever left in its directory.
TEST_F(RuntimeRecoveryE2E, ARuntimeThatIsTooLargeOrFlipsIsNeverCopied) {
    HelperHarness harness(*space_);
    // The application copied by user 65534, who may change it at will.
    const fs::path home = harness.base() / "user";
    const fs::path bundle = home / harness.application().bundle.filename();
    fs::create_directories(home);
    fs::copy(harness.application().bundle, bundle, fs::copy_options::recursive);
    const fs::path resources = bundle / "Contents" / "Resources";
    fs::create_directory(resources / "bin-sparse");
    files::writeAtomically(resources / "bin-sparse" / "sing-box", "", 0755);
    fs::resize_file(resources / "bin-sparse" / "sing-box", std::uint64_t{3} << 30);
    ASSERT_EQ(::lchown(home.c_str(), 65534, 65534), 0);
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    }
    const fs::path client = bundle / fs::relative(harness.application().executable, harness.application().bundle);
    const auto flip = [&](int count) {
        ChildProcess::Options options;
        options.executable = "/usr/bin/setpriv";
        options.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", kFlip,
                             resources.string(), std::to_string(count)};
        options.inputRedirect = ChildProcess::Redirect::null();
        return ChildProcess::spawn(options);
    };
    const std::string genuine = *files::readIfExists(harness.application().runtime, kMaximumRuntimeSize);
    const std::string refused = PrivilegedRuntimeError(PrivilegedRuntimeError::Case::invalidBundledBinary).message();

    harness.startHelper();
    RuntimeDirectoryWatch watch(harness.runtime(), harness.helperPid());

    // The 3 GiB file in the runtime's place.
    {
        ChildProcess once = flip(1);
        ASSERT_TRUE(once.waitForExit(10.0));
        ASSERT_EQ(once.exitStatus(), (Exit{Exit::Kind::exited, 0}));
        const std::string attempt = Uuid::random().text();
        const Reply reply = prepare(harness, now() + 20.0, client, attempt);
        EXPECT_FALSE(reply.has("token")) << reply.values.dump();
        EXPECT_EQ(reply.values.value("errorMessage", ""), refused) << reply.values.dump();
        EXPECT_GE(remainingAtEnd(harness, attempt), -500) << harness.log();
    }

    // Flipping all the time: each preparation refuses what it opened, or
    // prepares the genuine runtime, or (on a slow machine) ends at its
    // deadline; never later than 0.5 s after it.
    ChildProcess flipper = flip(0);
    int refusals = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string attempt = Uuid::random().text();
        const Reply reply = prepare(harness, now() + 20.0, client, attempt);
        EXPECT_GE(remainingAtEnd(harness, attempt), -500) << harness.log();
        if (reply.has("token")) {
            const fs::path copy = harness.runtime() / ("sing-box-" + reply.text("token"));
            EXPECT_EQ(files::readIfExists(copy, kMaximumRuntimeSize), genuine);
            // Gone, so that the next preparation copies again.
            fs::remove(copy);
        } else if (reply.values.value("errorCode", "") != "runtime_preparation_deadline_exceeded") {
            EXPECT_EQ(reply.values.value("errorMessage", ""), refused) << reply.values.dump();
            ++refusals;
        }
    }
    ASSERT_TRUE(flipper.stop(2.0, 2.0));
    EXPECT_GT(refusals, 0);

    EXPECT_LE(watch.stop(), kMaximumRuntimeSize);
    for (const auto& entry : fs::directory_iterator(harness.runtime())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".sing-box-stage-")) << entry.path();
    }
}

}  // namespace
}  // namespace tarnel::testing
