#include "app/tunnel/sing_box_process.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/uuid.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"
#include "tests/tunnel/curl_recorder.hpp"

namespace tarnel {
namespace {

using testing::CurlRecorder;
using testing::HttpsTestServer;
using testing::TestHttpAnswer;

double uptime() { return SystemClock::shared().uptime(); }

const std::string kProcessExited = "sing-box exited before the proxy became usable.";
const std::string kHealthCheckFailed = "The local proxy could not carry an HTTPS request.";
constexpr std::string_view kProbePrefix = "/cdn-cgi/trace?tarnel_probe=";

// Virtual time whose sleeps are recorded; `onSleep` runs at each.
class SleepRecordingClock final : public Clock {
public:
    [[nodiscard]] double uptime() const override { return fake_.uptime(); }
    [[nodiscard]] double wallSeconds() const override { return fake_.wallSeconds(); }
    void sleepFor(double seconds) const override {
        {
            const std::lock_guard lock(mutex_);
            sleeps_.push_back(seconds);
        }
        if (onSleep) onSleep();
        fake_.sleepFor(seconds);
    }
    [[nodiscard]] std::vector<double> sleeps() const {
        const std::lock_guard lock(mutex_);
        return sleeps_;
    }

    std::function<void()> onSleep;

private:
    FakeClock fake_;
    mutable std::mutex mutex_;
    mutable std::vector<double> sleeps_;
};

// The proxy-mode runtime as the application runs it, inside a namespace with
// loopback only (so 2080 is the test's): the sing-box stand-in sealed in a
// fixture application, the real curl, and the trace host
// "trace.tarnel.test", which the stand-in sends to an HTTPS server of the test.
class SingBoxProcessE2E : public testing::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        space_.emplace();
        server_ = space_->inside([] { return std::make_unique<HttpsTestServer>(); });
        server_->answer("/cdn-cgi/trace", TestHttpAnswer::ok("fl=1\nh=trace.tarnel.test\n"));
        application_ = testing::buildStandInApplication(testing::realPath(directory_.path()));
    }

    // `mapped`: the stand-in sends trace.tarnel.test:443 to the server;
    // otherwise it refuses the name (502).
    ProxyProcessSettings settings(const std::string& faults, bool mapped, const Clock& clock = SystemClock::shared()) {
        ProxyProcessSettings settings;
        settings.resourceFolder = application_.bundle / "Contents" / "Resources";
        settings.traceHost = "trace.tarnel.test";
        if (!faults.empty()) settings.runtimeEnvironment.push_back("TARNEL_STANDIN_FAULT=" + faults);
        if (mapped) {
            settings.runtimeEnvironment.push_back("TARNEL_STANDIN_CONNECT_TO=trace.tarnel.test:443:127.0.0.1:" +
                                                  std::to_string(server_->port()));
        }
        settings.curlEnvironment = {"CURL_CA_BUNDLE=" + server_->caFile().string()};
        settings.clock = &clock;
        return settings;
    }

    // Starts inside the namespace; the error's message, or "no error".
    std::string start(SingBoxProcess& process, const std::filesystem::path& configuration = proxyConfiguration()) {
        return space_->inside([&] { return testing::failureOf([&] { process.start(configuration); }); });
    }

    static std::filesystem::path proxyConfiguration() {
        return std::filesystem::path(TARNEL_TEST_FIXTURES) / "sing-box-proxy" / "shadowtls-proxy.json";
    }

    // The probe UUIDs the server was asked for, in order.
    std::vector<std::string> probes() const {
        std::vector<std::string> uuids;
        for (const auto& request : server_->requests()) {
            EXPECT_TRUE(request.target.starts_with(kProbePrefix)) << request.target;
            const std::string uuid = request.target.substr(kProbePrefix.size());
            const auto parsed = Uuid::parse(uuid);
            EXPECT_TRUE(parsed && parsed->text() == uuid) << "not an upper-case UUID: " << uuid;
            uuids.push_back(uuid);
        }
        return uuids;
    }

    std::optional<testing::NetworkNamespace> space_;
    std::unique_ptr<HttpsTestServer> server_;
    testing::TemporaryDirectory directory_;
    testing::FixtureApplication application_;
};

TEST_F(SingBoxProcessE2E, ARuntimeThatExitsEndsTheStartAtOnceAfterAtMostOneProbe) {
    const std::filesystem::path notJSON = directory_ / "not-json.json";
    files::writeAtomically(notJSON, "not JSON");
    const struct {
        const char* what;
        std::string faults;
        std::filesystem::path configuration;
    } cases[] = {{"exit=1", "exit=1", proxyConfiguration()}, {"not JSON", "", notJSON}};
    for (const auto& [what, faults, configuration] : cases) {
        const CurlRecorder curl;
        SingBoxProcess process(settings(faults, true));
        const double begin = uptime();
        EXPECT_EQ(start(process, configuration), kProcessExited) << what;
        EXPECT_LE(uptime() - begin, 1.5) << what;
        EXPECT_LE(curl.calls().size(), 1u) << what;
        EXPECT_FALSE(process.isRunning()) << what;
        EXPECT_FALSE(process.pid()) << what;
    }
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(SingBoxProcessE2E, AProxyThatCannotCarryTheProbeFailsAfterThreeProbesAndIsStopped) {
    for (const std::string faults : {"", "ignore-sigterm"}) {
        const CurlRecorder curl;
        SleepRecordingClock clock;
        SingBoxProcess process(settings(faults, false, clock));
        UniqueFd runtime;
        clock.onSleep = [&] {
            if (!runtime) runtime = pidfd::open(process.pid().value_or(-1));
        };
        EXPECT_EQ(start(process), kHealthCheckFailed) << faults;
        EXPECT_EQ(clock.sleeps(), (std::vector<double>{0.5, 0.5, 0.5})) << faults;
        EXPECT_EQ(curl.calls().size(), 3u) << faults;
        ASSERT_TRUE(runtime) << faults;
        EXPECT_TRUE(pidfd::hasExited(runtime.get())) << faults;
        EXPECT_FALSE(process.isRunning()) << faults;
        EXPECT_FALSE(process.pid()) << faults;
    }
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(SingBoxProcessE2E, AProxyThatCarriesTheProbeStartsAfterOneRequestAndProbesWithFreshUUIDs) {
    const CurlRecorder curl;
    SingBoxProcess process(settings("", true));
    ASSERT_EQ(start(process), "no error");
    // The start returns after the first request that reaches the server. The
    // first curl can run before the runtime has bound its port (a busy
    // machine): that run is refused, never served, and the next one serves.
    EXPECT_EQ(probes().size(), 1u);
    EXPECT_GE(curl.calls().size(), 1u);
    EXPECT_LE(curl.calls().size(), 3u);
    EXPECT_TRUE(process.isRunning());
    ASSERT_TRUE(process.pid());
    const UniqueFd runtime = pidfd::open(*process.pid());

    EXPECT_TRUE(space_->inside([&] { return process.probeProxy(); }));
    const auto uuids = probes();
    ASSERT_EQ(uuids.size(), 2u);
    EXPECT_NE(uuids[0], uuids[1]);

    process.terminate();
    EXPECT_TRUE(pidfd::hasExited(runtime.get()));
    EXPECT_FALSE(process.isRunning());
    EXPECT_FALSE(process.pid());
}

TEST_F(SingBoxProcessE2E, AListenerThatComesLateIsProbedAgainUntilItServes) {
    const CurlRecorder curl;
    SingBoxProcess process(settings("listen-delay=700", true));
    ASSERT_EQ(start(process), "no error");
    EXPECT_GE(curl.calls().size(), 2u);  // at least one failed probe first
    EXPECT_EQ(probes().size(), 1u);
}

TEST_F(SingBoxProcessE2E, ASecondStartStopsTheFirstRuntimeEvenWhenItIgnoresSigterm) {
    const CurlRecorder curl;
    SingBoxProcess process(settings("ignore-sigterm", true));
    ASSERT_EQ(start(process), "no error");
    const pid_t first = process.pid().value_or(-1);
    const UniqueFd runtime = pidfd::open(first);
    ASSERT_TRUE(runtime);

    const double begin = uptime();
    auto firstGone = std::async(std::launch::async, [&]() -> std::optional<double> {
        if (!pidfd::waitForExit(runtime.get(), 10.0, SystemClock::shared())) return std::nullopt;
        return uptime();
    });
    EXPECT_EQ(start(process), "no error");  // binds 2080 once the first is gone
    const auto goneAt = firstGone.get();
    ASSERT_TRUE(goneAt);
    EXPECT_LE(*goneAt - begin, 1.5);
    EXPECT_NE(process.pid().value_or(first), first);
    EXPECT_EQ(probes().size(), 2u);
}

TEST_F(SingBoxProcessE2E, ATerminateWhileProbingEndsTheStartWithProcessExited) {
    // curl is held until the test lets it go.
    const CurlRecorder curl("while [ ! -e \"$(dirname \"$0\")/go\" ]; do sleep 0.02; done; " +
                            std::string(CurlRecorder::kRealCurl));
    SingBoxProcess process(settings("", true));
    auto started = std::async(std::launch::async, [&] { return start(process); });
    // Whatever happens below, curl goes on before the start is waited for.
    struct Release {
        std::filesystem::path go;
        ~Release() { ignoringFailure([&] { files::writeAtomically(go, ""); }); }
    } release{curl.path("go")};
    const double until = uptime() + 10.0;
    while (curl.calls().empty() && uptime() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(curl.calls().size(), 1u);
    ASSERT_TRUE(process.pid());
    const UniqueFd runtime = pidfd::open(*process.pid());

    process.terminate();  // from this thread, while start waits for curl
    EXPECT_TRUE(pidfd::hasExited(runtime.get()));
    files::writeAtomically(curl.path("go"), "");
    EXPECT_EQ(started.get(), kProcessExited);
    EXPECT_EQ(curl.calls().size(), 1u);
    EXPECT_FALSE(process.isRunning());
    EXPECT_TRUE(server_->requests().empty());
}

}  // namespace
}  // namespace tarnel
