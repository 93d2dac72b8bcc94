#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "common/process/runtime_error.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

using Case = PrivilegedRuntimeError::Case;
using TunnelState = PrivilegedRuntime::TunnelState;
using Names = std::set<std::string>;

constexpr std::string_view kUpper = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
constexpr std::string_view kLower = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";

double now() { return SystemClock::shared().uptime(); }

template <typename Action>
std::optional<Case> runtimeError(Action action) {
    try {
        action();
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

// Records are private files of root's, which only root can make.
class TunnelStateTest : public ::testing::Test {
protected:
    void SetUp() override { TARNEL_SKIP_UNLESS_ROOT(); }

    void writeRecord(const TunnelState& state) const { fixture.write("tun-state.json", state.encoded()); }

    RuntimeFixture fixture;
    PrivilegedRuntime runtime = fixture.runtime();
};

TEST_F(TunnelStateTest, StatusAnswersTheRecordedProcessOnlyWhileItsIdentityMatches) {
    const auto prepared = fixture.prepareStandIn();
    // The runtime reads a configuration of its own, which the status leaves
    // alone, so that only a signal could end it.
    TemporaryDirectory elsewhere;
    files::writeAtomically(elsewhere.path() / "config.json", "{}");
    fixture.write("tun-config.json", "{}");
    ChildProcess child = launchRecorded(runtime, prepared.binaryURL, nullptr, elsewhere.path() / "config.json");
    const TunnelState recorded = TunnelState::decode(fixture.read("tun-state.json"));
    EXPECT_EQ(runtime.tunnelStatus(), child.pid());
    EXPECT_TRUE(fixture.exists("tun-config.json"));

    // The same identifier with another start time or path is another program.
    TunnelState laterStart = recorded;
    laterStart.startedAtMicroseconds += 1;
    TunnelState earlierStart = recorded;
    earlierStart.startedAtSeconds -= 1;
    TunnelState otherPath = recorded;
    otherPath.executablePath = fixture.directory() / ("sing-box-" + std::string(kUpper));
    for (const TunnelState& other : {laterStart, earlierStart, otherPath}) {
        writeRecord(other);
        fixture.write("tun-config.json", "{}");
        EXPECT_EQ(runtime.tunnelStatus(), std::nullopt) << other.encoded();
        EXPECT_FALSE(fixture.exists("tun-state.json"));
        EXPECT_FALSE(fixture.exists("tun-config.json"));
    }
    // Nothing was signalled, and status never touches DNS.
    EXPECT_FALSE(child.waitForExit(0.3));
    EXPECT_EQ(fixture.dnsRestores(), 0);

    // A process that is gone, and no record at all.
    ASSERT_TRUE(child.stop(2.0, 2.0));
    writeRecord(recorded);
    EXPECT_EQ(runtime.tunnelStatus(), std::nullopt);
    EXPECT_FALSE(fixture.exists("tun-state.json"));
    fixture.write("tun-config.json", "{}");
    EXPECT_EQ(runtime.tunnelStatus(), std::nullopt);
    EXPECT_FALSE(fixture.exists("tun-config.json"));
    EXPECT_EQ(fixture.dnsRestores(), 0);
}

TEST_F(TunnelStateTest, ACorruptRecordFailsStatusAndStopAndTouchesNothing) {
    const std::string rest = R"("executablePath":"/bin/sleep","startedAtSeconds":5,"startedAtMicroseconds":7})";
    const struct {
        std::string text;
        mode_t mode;
    } cases[] = {
        {R"({"pid":"12",)" + rest, 0600},
        {R"({"pid":12.5,)" + rest, 0600},
        {R"({"pid":12,"executablePath":"/bin/sleep","startedAtSeconds":5})", 0600},
        {"[]", 0600},
        {"not json", 0600},
        {"", 0600},
        // A record anyone else may have written or read is not the helper's.
        {R"({"pid":12,)" + rest, 0644},
    };
    const Names files{"tun-state.json", "tun-config.json", "sing-box", "sing-box-" + std::string(kUpper)};
    for (const auto& [text, mode] : cases) {
        fixture.write("tun-state.json", text);
        ::chmod((fixture.directory() / "tun-state.json").c_str(), mode);
        fixture.write("tun-config.json", "{}");
        fixture.write("sing-box", "old runtime");
        fixture.write("sing-box-" + std::string(kUpper), "old runtime");
        EXPECT_EQ(runtimeError([&] { (void)runtime.tunnelStatus(); }), Case::corruptTunnelState) << text;
        EXPECT_EQ(runtimeError([&] { runtime.stopTunnel(); }), Case::corruptTunnelState) << text;
        runtime.removeObsoleteRuntimes({});
        EXPECT_EQ(fixture.entries(), files) << text;
        EXPECT_EQ(fixture.read("tun-state.json"), text);
    }
    EXPECT_EQ(fixture.dnsRestores(), 0);
    EXPECT_EQ(PrivilegedRuntimeError(Case::corruptTunnelState).message(),
              "The protected tunnel state is invalid; no process was stopped.");

    // A link in the record's place is refused too, whatever it points at.
    std::filesystem::remove(fixture.directory() / "tun-state.json");
    fixture.write("elsewhere.json", R"({"pid":12,)" + rest);
    std::filesystem::create_symlink(fixture.directory() / "elsewhere.json", fixture.directory() / "tun-state.json");
    EXPECT_EQ(runtimeError([&] { (void)runtime.tunnelStatus(); }), Case::corruptTunnelState);
    EXPECT_EQ(runtimeError([&] { runtime.stopTunnel(); }), Case::corruptTunnelState);
    EXPECT_TRUE(fixture.exists("tun-config.json"));
}

TEST_F(TunnelStateTest, AStopWithoutRecordRestoresDNSAndRemovesTheFilesAndObsoleteCopiesAtOnce) {
    for (const bool cacheProtectsBareRuntime : {false, true}) {
        RuntimeFixture local;
        const PrivilegedRuntime localRuntime = local.runtime();
        for (const std::string& name : std::vector<std::string>{"sing-box", "sing-box-" + std::string(kUpper), "sing-box-" + std::string(kLower),
                                       ".sing-box-stage-" + std::string(kUpper), "tun.log", "tun-config.json"}) {
            local.write(name, "contents");
        }
        if (cacheProtectsBareRuntime) {
            PrivilegedRuntime::PreparedRuntime cached;
            cached.binaryURL = local.directory() / "sing-box";
            local.cache().store(cached);
        }
        const double start = now();
        localRuntime.stopTunnel();
        EXPECT_LT(now() - start, 0.2);
        Names expected{"sing-box-" + std::string(kLower), ".sing-box-stage-" + std::string(kUpper), "tun.log"};
        if (cacheProtectsBareRuntime) expected.insert("sing-box");
        EXPECT_EQ(local.entries(), expected) << cacheProtectsBareRuntime;
        EXPECT_EQ(local.dnsRestores(), 1);
    }
}

TEST_F(TunnelStateTest, AStopOfAGoneProcessSignalsNothingAndClearsEverything) {
    const pid_t gone = reapedProcessIdentifier();
    writeRecord(TunnelState{gone, "/bin/true", 1, 2, std::nullopt, std::nullopt});
    fixture.write("tun-config.json", "{}");
    const double start = now();
    runtime.stopTunnel();
    EXPECT_LT(now() - start, 0.5);
    EXPECT_EQ(fixture.entries(), Names{});
    EXPECT_EQ(fixture.dnsRestores(), 1);
}

// An identifier that another program received since the record was written:
// that program is never signalled, and the stale record goes.
TEST_F(TunnelStateTest, AStopOfAReusedIdentifierLeavesTheOtherProgramAlone) {
    ChildProcess::Options options;
    options.executable = "/bin/sleep";
    options.arguments = {"30"};
    ChildProcess other = ChildProcess::spawn(options);
    const auto identity = ProcessInfo::identity(other.pid());
    ASSERT_TRUE(identity);
    TunnelState laterStart{other.pid(), identity->executablePath, identity->startSeconds,
                           identity->startMicroseconds + 1, std::nullopt, std::nullopt};
    TunnelState otherPath{other.pid(), (fixture.directory() / "sing-box").string(), identity->startSeconds,
                          identity->startMicroseconds, std::nullopt, std::nullopt};
    int restores = 0;
    for (const TunnelState& stale : {laterStart, otherPath}) {
        writeRecord(stale);
        fixture.write("tun-config.json", "{}");
        runtime.stopTunnel();
        EXPECT_EQ(fixture.entries(), Names{}) << stale.encoded();
        EXPECT_EQ(fixture.dnsRestores(), ++restores);
    }
    EXPECT_FALSE(other.waitForExit(0.3));
}

// A FIFO in the record's place is refused at once, never waited on.
TEST_F(TunnelStateTest, AFifoInTheRecordsPlaceIsACorruptRecord) {
    ASSERT_EQ(::mkfifo((fixture.directory() / "tun-state.json").c_str(), 0600), 0);
    fixture.write("tun-config.json", "{}");
    const double start = now();
    EXPECT_EQ(runtimeError([&] { (void)runtime.tunnelStatus(); }), Case::corruptTunnelState);
    EXPECT_EQ(runtimeError([&] { runtime.stopTunnel(); }), Case::corruptTunnelState);
    EXPECT_LT(now() - start, 1.0);
    EXPECT_EQ(fixture.entries(), (Names{"tun-state.json", "tun-config.json"}));
    EXPECT_EQ(fixture.dnsRestores(), 0);
}

TEST_F(TunnelStateTest, ObsoleteCopiesNamedByTheKeptSetTheRecordOrTheCacheStay) {
    const std::string kept = "sing-box-" + Uuid::random().text();
    const std::string recorded = "sing-box-" + Uuid::random().text();
    const std::string cached = "sing-box-" + Uuid::random().text();
    const std::string obsolete = "sing-box-" + Uuid::random().text();
    for (const std::string& name : {kept, recorded, cached, obsolete, std::string("sing-box")}) {
        fixture.write(name, "runtime");
    }
    // A directory with an obsolete name is left as it is.
    std::filesystem::create_directory(fixture.directory() / ("sing-box-" + std::string(kUpper)));
    writeRecord(TunnelState{12, (fixture.directory() / "." / recorded).string(), 1, 2, std::nullopt, std::nullopt});
    PrivilegedRuntime::PreparedRuntime prepared;
    prepared.binaryURL = fixture.directory() / cached;
    fixture.cache().store(prepared);

    runtime.removeObsoleteRuntimes({(fixture.directory() / "x" / ".." / kept).string()});
    EXPECT_EQ(fixture.entries(), (Names{kept, recorded, cached, "sing-box-" + std::string(kUpper), "tun-state.json"}));
}

// A runtime copy that runs although no record names it (its helper was killed
// between the launch and the record) is stopped by the stop, before its copy
// is removed. A process of the directory whose code is not a runtime of the
// team, and a runtime this process launched itself, are left running, and no
// copy that a process runs is removed under it.
TEST_F(TunnelStateTest, AStopEndsAnUnrecordedRuntimeAndRemovesNoCopyInUse) {
    TemporaryDirectory elsewhere;
    const std::string configuration = (elsewhere.path() / "config.json").string();
    files::writeAtomically(configuration, "{}");
    const auto orphaned = fixture.prepareStandIn();
    const auto own = fixture.prepareStandIn();
    const std::string stranger = "sing-box-" + Uuid::random().text();
    copyFile(testProgram(), fixture.directory() / stranger, std::filesystem::perms::owner_all);
    const std::string idle = "sing-box-" + Uuid::random().text();
    fixture.write(idle, "old runtime");

    OrphanedProcess orphan(orphaned.binaryURL, {"run", "-c", configuration});
    OrphanedProcess unsignedOrphan(fixture.directory() / stranger, {});
    ChildProcess::Options options;
    options.executable = own.binaryURL;
    options.arguments = {"run", "-c", configuration};
    options.output = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    fixture.write("tun-config.json", "{}");

    runtime.stopTunnel();
    EXPECT_TRUE(orphan.waitForExit(0.0));
    EXPECT_FALSE(unsignedOrphan.waitForExit(0.3));
    EXPECT_FALSE(child.waitForExit(0.0));
    EXPECT_EQ(fixture.entries(), (Names{own.binaryURL.filename().string(), stranger}));
    EXPECT_EQ(fixture.dnsRestores(), 1);

    // Once nothing runs them, they go too.
    ASSERT_TRUE(child.stop(2.0, 2.0));
    runtime.removeObsoleteRuntimes({});
    EXPECT_EQ(fixture.entries(), Names{stranger});
}

}  // namespace
}  // namespace tarnel::testing
