#include "app/tunnel/tunnel_health_probe.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "common/base/error.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/loopback_port.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel {
namespace {

using testing::HttpsTestServer;
using testing::TestHttpAnswer;

double uptime() { return SystemClock::shared().uptime(); }

// A TCP port on 127.0.0.1 that the test holds: one that accepts connections,
// one that refuses them (bound, not listening) until `listen()`, or one whose
// accept queue is full, so that the kernel drops every further SYN and a
// connection waits.
class LoopbackPort {
public:
    enum class Kind { accepting, refusing, fullQueue };

    explicit LoopbackPort(Kind kind) {
        if (kind == Kind::accepting) listen();
        if (kind == Kind::fullQueue) fill();
    }
    ~LoopbackPort() {
        if (listener_.joinable()) listener_.join();
    }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;

    [[nodiscard]] std::uint16_t port() const noexcept { return bound_.port(); }

    void listen(int backlog = 128) const {
        if (::listen(bound_.fd(), backlog) != 0) throw SystemError("listen", errno);
    }
    // Starts listening `seconds` from now.
    void listenAfter(double seconds) {
        listener_ = std::thread([this, seconds] {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            listen();
        });
    }

private:
    // Connects until a connection stays unanswered: the queue is then full.
    void fill() {
        listen(0);
        for (int attempt = 0; attempt < 16; ++attempt) {
            UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port());
            ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd descriptor{client.get(), POLLOUT, 0};
            if (::poll(&descriptor, 1, 300) == 0) return;
            fillers_.push_back(std::move(client));
        }
        throw std::runtime_error("the accept queue did not fill");
    }

    testing::BoundLoopbackPort bound_;
    std::vector<UniqueFd> fillers_;
    std::thread listener_;
};

// Answers what the test says and records every name it was asked.
class FakeResolver final : public HostResolver {
public:
    explicit FakeResolver(std::function<std::vector<std::string>(const std::string&)> answer)
        : answer_(std::move(answer)) {}

    std::vector<std::string> resolve(const std::string& host) const override {
        {
            const std::lock_guard lock(mutex_);
            asked_.push_back(host);
        }
        return answer_(host);
    }
    [[nodiscard]] std::vector<std::string> asked() const {
        const std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    std::function<std::vector<std::string>(const std::string&)> answer_;
    mutable std::mutex mutex_;
    mutable std::vector<std::string> asked_;
};

// Holds whoever waits at it until it is released (or `seconds` pass).
class Hang {
public:
    void wait(double seconds) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return released_; });
    }
    void release() {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
};

constexpr std::string_view kProbeLabels = ".1-1-1-1.tarnel.test";

// The test's names: "*.1-1-1-1.tarnel.test" and "trace.tarnel.test" are 127.0.0.1.
std::vector<std::string> testNames(const std::string& host) {
    if (host == "trace.tarnel.test" || (host.ends_with(kProbeLabels) && host.size() > kProbeLabels.size())) {
        return {"127.0.0.1"};
    }
    return {};
}

// The UUID text of a DNS probe name, or nothing when it is not one.
std::optional<std::string> probeLabel(const std::string& host) {
    if (!host.ends_with(kProbeLabels)) return std::nullopt;
    return host.substr(0, host.size() - kProbeLabels.size());
}

struct Ports {
    std::optional<std::uint16_t> ip;
    std::optional<std::uint16_t> dns;
    std::optional<std::uint16_t> trace;
};

class TunnelHealthProbeTest : public ::testing::Test {
protected:
    void SetUp() override { server_.answer("/cdn-cgi/trace", TestHttpAnswer::ok("fl=1\nh=trace.tarnel.test\n")); }
    void TearDown() override { hang_.release(); }

    // The endpoints of the test: IP route and DNS checks on 127.0.0.1 at
    // their ports, the trace host at its port (by default the accepting port
    // and the HTTPS server).
    TunnelHealthProbe probe(double timeout, Ports ports = Ports{}) {
        TunnelHealthProbe::Services services;
        services.endpoints = {"127.0.0.1", ports.ip.value_or(accepting_.port()), "tarnel.test",
                              ports.dns.value_or(accepting_.port()), "trace.tarnel.test",
                              ports.trace.value_or(server_.port())};
        services.resolver = resolver_;
        HttpClientSettings settings;
        settings.caFile = trustedCA_ ? *trustedCA_ : server_.caFile();
        services.http = std::make_shared<CurlHttpClient>(settings);
        return TunnelHealthProbe(std::move(services), timeout);
    }

    void answerNames(std::function<std::vector<std::string>(const std::string&)> answer) {
        resolver_ = std::make_shared<FakeResolver>(std::move(answer));
    }
    // Every name hangs the resolver for 10 s (until the test ends).
    void hangResolver() {
        answerNames([this](const std::string&) {
            hang_.wait(10.0);
            return std::vector<std::string>{"127.0.0.1"};
        });
    }

    HttpsTestServer server_;
    LoopbackPort accepting_{LoopbackPort::Kind::accepting};
    std::shared_ptr<FakeResolver> resolver_ = std::make_shared<FakeResolver>(testNames);
    std::optional<std::filesystem::path> trustedCA_;
    Hang hang_;
};

std::vector<bool> outcomes(const TunnelHealthProbe::Result& result) {
    return {result[0].succeeded, result[1].succeeded, result[2].succeeded};
}

TEST_F(TunnelHealthProbeTest, AllServedPassesEveryCheckWithFreshNamesAndProbesEachRun) {
    const auto healthy = probe(1.0);
    std::set<std::string> labels;
    std::set<std::string> probes;
    for (int run = 1; run <= 2; ++run) {
        const auto result = healthy.run();
        EXPECT_EQ(outcomes(result), (std::vector<bool>{true, true, true})) << "run " << run;
        EXPECT_TRUE(TunnelHealthProbe::failedCheckNames(result).empty());

        // A lower-case UUID before the wildcard labels, and the trace host.
        const auto asked = resolver_->asked();
        ASSERT_EQ(asked.size(), 2u * run);
        std::set<std::string> names(asked.end() - 2, asked.end());
        EXPECT_TRUE(names.contains("trace.tarnel.test"));
        names.erase("trace.tarnel.test");
        ASSERT_EQ(names.size(), 1u);
        const auto label = probeLabel(*names.begin());
        ASSERT_TRUE(label) << *names.begin();
        ASSERT_TRUE(Uuid::parse(*label)) << *label;
        EXPECT_EQ(*label, [&] {
            std::string lower = Uuid::parse(*label)->text();
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return lower;
        }());
        labels.insert(*label);

        const auto requests = server_.requests();
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(run));
        const auto& request = requests.back();
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.header("Host"), "trace.tarnel.test");
        constexpr std::string_view prefix = "/cdn-cgi/trace?tarnel_probe=";
        ASSERT_TRUE(request.target.starts_with(prefix)) << request.target;
        const std::string uuid = request.target.substr(prefix.size());
        ASSERT_TRUE(Uuid::parse(uuid)) << uuid;
        EXPECT_EQ(Uuid::parse(uuid)->text(), uuid);  // upper case
        probes.insert(uuid);
    }
    EXPECT_EQ(labels.size(), 2u);
    EXPECT_EQ(probes.size(), 2u);
}

TEST_F(TunnelHealthProbeTest, HttpsPassesOnAStatusFrom200To399WithoutFollowingARedirect) {
    server_.answer("/elsewhere", TestHttpAnswer::withStatus(500));
    const struct {
        int status;
        bool passes;
    } cases[] = {{200, true}, {204, true}, {301, true}, {399, true}, {404, false}, {500, false}};
    const auto prober = probe(1.0);
    for (const auto& [status, passes] : cases) {
        server_.answer("/cdn-cgi/trace", TestHttpAnswer::withStatus(status, "body").header("Location", "/elsewhere"));
        EXPECT_EQ(prober.run()[2].succeeded, passes) << status;
    }
    for (const auto& request : server_.requests()) EXPECT_EQ(request.path, "/cdn-cgi/trace");

    const testing::TestCertificateAuthority stranger("Stranger CA");
    trustedCA_ = stranger.certificateFile();
    server_.answer("/cdn-cgi/trace", TestHttpAnswer::ok());
    EXPECT_EQ(outcomes(probe(1.0).run()), (std::vector<bool>{true, true, false}));
}

TEST_F(TunnelHealthProbeTest, WithoutNamesDNSWaitsItsTimeAndHTTPSFailsAtOnce) {
    answerNames([](const std::string&) { return std::vector<std::string>{}; });
    const auto result = probe(1.0).run();
    EXPECT_EQ(outcomes(result), (std::vector<bool>{true, false, false}));
    EXPECT_EQ(TunnelHealthProbe::failedCheckNames(result), (std::vector<std::string>{"DNS", "HTTPS"}));
    EXPECT_GE(result[1].durationSeconds, 1.0);
    EXPECT_LE(result[1].durationSeconds, 1.3);
    EXPECT_LT(result[2].durationSeconds, 0.5);
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(TunnelHealthProbeTest, ATcpCheckRetriesAWaitingConnectionUntilItsTimeOut) {
    LoopbackPort full(LoopbackPort::Kind::fullQueue);
    LoopbackPort refusing(LoopbackPort::Kind::refusing);
    LoopbackPort late(LoopbackPort::Kind::refusing);
    const struct {
        const char* what;
        const LoopbackPort* port;
        bool passes;
        double atLeast;
        double atMost;
    } cases[] = {
        {"full accept queue", &full, false, 1.0, 1.3},
        {"refused", &refusing, false, 1.0, 1.3},
        {"accepting 0.4 s in", &late, true, 0.4, 0.9},
    };
    for (const auto& [what, port, passes, atLeast, atMost] : cases) {
        const auto prober = probe(1.0, Ports{.ip = port->port(), .dns = std::nullopt, .trace = std::nullopt});
        if (port == &late) late.listenAfter(0.4);
        const auto result = prober.run();
        EXPECT_EQ(result[0].succeeded, passes) << what;
        EXPECT_GE(result[0].durationSeconds, atLeast) << what;
        EXPECT_LE(result[0].durationSeconds, atMost) << what;
    }
}

TEST_F(TunnelHealthProbeTest, ATimeOutOfZeroOrLessOrNoFiniteNumberGivesEachCheckTheFloor) {
    LoopbackPort full(LoopbackPort::Kind::fullQueue);
    for (const double timeout : {0.0, -3.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        const auto result = probe(4.0, {full.port(), full.port(), full.port()}).run(timeout);
        for (const auto& check : result) {
            EXPECT_FALSE(check.succeeded) << timeout;
            EXPECT_GE(check.durationSeconds, 0.05) << timeout;
            EXPECT_LE(check.durationSeconds, 0.3) << timeout;
        }
    }
}

TEST_F(TunnelHealthProbeTest, AHangingResolverHoldsNoCheckPastItsTimeOut) {
    hangResolver();
    const double start = uptime();
    const auto result = probe(0.5).run();
    EXPECT_LE(uptime() - start, 0.8);
    EXPECT_EQ(outcomes(result), (std::vector<bool>{true, false, false}));
}

TEST_F(TunnelHealthProbeTest, AStopEndsTheRunAtOnceWithItsUnfinishedChecksFailed) {
    hangResolver();
    LoopbackPort full(LoopbackPort::Kind::fullQueue);
    std::stop_source stop;
    const auto prober = probe(5.0, Ports{.ip = full.port(), .dns = std::nullopt, .trace = std::nullopt});
    const double start = uptime();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    const auto result = prober.run(std::nullopt, stop.get_token());
    // Not before the stop, and at once after it.
    EXPECT_GE(uptime() - start, 0.2);
    EXPECT_LE(uptime() - start, 0.5);
    for (const auto& check : result) EXPECT_FALSE(check.succeeded);
}

#if defined(TARNEL_HTTP_ADDRESS_GUARD)
TEST_F(TunnelHealthProbeTest, TheTestBuildRefusesAnAnswerOutsideLoopbackAtOnce) {
    answerNames([](const std::string&) { return std::vector<std::string>{"192.0.2.1"}; });
    const auto result = probe(1.0).run();
    EXPECT_EQ(outcomes(result), (std::vector<bool>{true, false, false}));
    EXPECT_LT(result[1].durationSeconds, 0.5);
    EXPECT_LT(result[2].durationSeconds, 0.5);
}
#endif

}  // namespace
}  // namespace tarnel
