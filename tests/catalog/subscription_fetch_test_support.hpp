#pragma once

// Subscription servers for the fetch and download tests: the primary server
// "sub.tarnel.test" and the mirror "mirror1.tarnel.test", two HTTPS test
// servers of one test CA, each path answering a script; one log of every
// request in the order the servers read them.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel::testing {

inline constexpr const char* kPrimaryHost = "sub.tarnel.test";
inline constexpr const char* kMirrorHost = "mirror1.tarnel.test";
// 2031-03-15T12:00:00Z: inside the fixture envelopes' delegation window.
inline constexpr double kFixtureNow = 1'931'342'400.0;

// A sleeper in virtual time: records each wait; fails at once after a stop.
class RecordingSleeper {
public:
    void operator()(std::chrono::nanoseconds duration, std::stop_token stop) const {
        if (stop.stop_requested()) throw CancellationError();
        std::lock_guard lock(state_->mutex);
        state_->waits.push_back(std::chrono::duration<double>(duration).count());
    }
    // The waits so far, in seconds.
    [[nodiscard]] std::vector<double> waits() const {
        std::lock_guard lock(state_->mutex);
        return state_->waits;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<double> waits;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class SubscriptionServers {
public:
    SubscriptionServers()
        : primary_({.authority = &authority_}), mirror_({.authority = &authority_}), log_(std::make_shared<Log>()) {}

    // Requests of `path` on `host` get the answers in order, the last
    // repeating. Unscripted paths answer 404.
    void script(const std::string& host, const std::string& path, std::vector<TestHttpAnswer> answers) {
        auto shared = std::make_shared<Script>(Script{std::move(answers), 0});
        server(host).handle(path, [log = log_, host, shared](const TestHttpRequest& request) {
            std::lock_guard lock(log->mutex);
            log->requests.push_back(host + " " + request.target +
                                    (request.header("Range") ? " " + *request.header("Range") : ""));
            const std::size_t index = std::min(shared->next++, shared->answers.size() - 1);
            return shared->answers[index];
        });
    }

    // Every request of the scripted paths: "host target [range]".
    [[nodiscard]] std::vector<std::string> requests() const {
        std::lock_guard lock(log_->mutex);
        return log_->requests;
    }

    [[nodiscard]] HttpsTestServer& server(const std::string& host) { return host == kPrimaryHost ? primary_ : mirror_; }

    [[nodiscard]] HttpClientSettings clientSettings() const {
        HttpClientSettings settings;
        settings.caFile = authority_.certificateFile();
        settings.connectPins = {{kPrimaryHost, 443, primary_.address(), primary_.port()},
                                {kMirrorHost, 443, mirror_.address(), mirror_.port()}};
        return settings;
    }

private:
    struct Script {
        std::vector<TestHttpAnswer> answers;
        std::size_t next = 0;
    };
    struct Log {
        std::mutex mutex;
        std::vector<std::string> requests;
    };

    TestCertificateAuthority authority_;
    HttpsTestServer primary_;
    HttpsTestServer mirror_;
    std::shared_ptr<Log> log_;
};

}  // namespace tarnel::testing
