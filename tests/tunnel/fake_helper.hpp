#pragma once

// Scripted stand-ins for the privileged helper, for the tests of its client:
// a service over the real IPC server and the helper's own interface, which
// answers each selector as a test scripts it and records every request per
// connection; and a bare socket that says exactly what a test gives it.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/clock.hpp"
#include "common/base/unique_fd.hpp"
#include "common/contract/privileged_helper_protocol.hpp"
#include "helper/service/privileged_helper_protocol.hpp"
#include "platform/ipc/server.hpp"
#include "platform/ipc/wire.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

namespace Protocol = PrivilegedHelperProtocol;

// How the fake answers one request.
struct Answer {
    enum class Kind {
        reply,    // the values
        silence,  // no reply while the fake lives
        close     // the connection ends without a reply
    };
    Kind kind = Kind::reply;
    ipc::Dictionary values;

    static Answer reply(ipc::Dictionary values) { return Answer{Kind::reply, std::move(values)}; }
    static Answer silence() { return Answer{Kind::silence, {}}; }
    static Answer close() { return Answer{Kind::close, {}}; }
};

// One request as the fake received it, with the system uptime of its arrival.
struct ReceivedRequest {
    ipc::Request request;
    double uptime = 0.0;
};

// The helper's pid that the fake reports by default.
inline constexpr std::int64_t kFakeHelperPid = 4242;

// A helper that answers as scripted, on a socket in a directory of its own.
// Unscripted, the version and identity queries answer as a live helper of
// the client's version does and a cancel is acknowledged; any other request
// ends its connection without a reply.
class FakeHelper {
public:
    using Script = std::function<Answer(const ipc::Request&)>;

    FakeHelper() : server_(Protocol::interface()) {
        answer(Protocol::selector::protocolVersion, Answer::reply({{"version", std::int64_t{35}}}));
        answer(Protocol::selector::helperIdentity,
               Answer::reply({{"version", std::int64_t{35}}, {"processIdentifier", kFakeHelperPid}}));
        answer(Protocol::selector::cancelTunnelStart, Answer::reply({{"ok", true}}));
        server_.bind(socket_);
        server_.start([this](const ipc::PeerCredentials&) -> std::optional<ipc::Handler> {
            std::lock_guard lock(mutex_);
            const std::size_t index = connections_.size();
            connections_.emplace_back();
            if (refusing_) return std::nullopt;
            return [this, index](const ipc::Request& request) { return serve(index, request); };
        });
    }
    ~FakeHelper() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        releasedChanged_.notify_all();
        server_.stop();
    }
    FakeHelper(const FakeHelper&) = delete;
    FakeHelper& operator=(const FakeHelper&) = delete;

    void answer(std::string_view selector, Answer answer) {
        script(selector, [answer = std::move(answer)](const ipc::Request&) { return answer; });
    }
    void script(std::string_view selector, Script script) {
        std::lock_guard lock(mutex_);
        scripts_[std::string(selector)] = std::move(script);
    }
    // Closes every later connection before its hello.
    void refuseConnections() {
        std::lock_guard lock(mutex_);
        refusing_ = true;
    }

    // The fake runs as whoever runs the tests.
    [[nodiscard]] HelperEndpoint endpoint(const Clock& clock = SystemClock::shared()) const {
        return HelperEndpoint{socket_, ::geteuid(), &clock};
    }
    [[nodiscard]] const std::filesystem::path& socket() const noexcept { return socket_; }

    // Every connection that reached the fake, refused ones included, with the
    // requests it carried, in order.
    [[nodiscard]] std::vector<std::vector<ReceivedRequest>> connections() const {
        std::lock_guard lock(mutex_);
        return connections_;
    }
    // The selectors each connection carried.
    [[nodiscard]] std::vector<std::vector<std::string>> selectors() const {
        std::vector<std::vector<std::string>> all;
        for (const auto& connection : connections()) {
            auto& names = all.emplace_back();
            for (const auto& received : connection) names.push_back(received.request.selector);
        }
        return all;
    }

private:
    ipc::Dictionary serve(std::size_t index, const ipc::Request& request) {
        std::unique_lock lock(mutex_);
        connections_[index].push_back(ReceivedRequest{request, SystemClock::shared().uptime()});
        const auto found = scripts_.find(request.selector);
        if (found == scripts_.end()) throw std::runtime_error("unscripted request");
        const Script script = found->second;
        lock.unlock();
        const Answer answer = script(request);
        switch (answer.kind) {
        case Answer::Kind::reply:
            return answer.values;
        case Answer::Kind::silence:
            lock.lock();
            releasedChanged_.wait(lock, [&] { return released_; });
            break;
        case Answer::Kind::close:
            break;
        }
        throw std::runtime_error("no reply");
    }

    TemporaryDirectory directory_;
    std::filesystem::path socket_ = directory_.path() / "helper.socket";
    ipc::Server server_;
    mutable std::mutex mutex_;
    std::condition_variable releasedChanged_;
    bool released_ = false;
    bool refusing_ = false;
    std::map<std::string, Script, std::less<>> scripts_;
    std::vector<std::vector<ReceivedRequest>> connections_;
};

// A bare socket for what the IPC server never does: it accepts one
// connection, writes `hello` (the frame bytes as given), and when `reply` is
// given reads one request, writes the reply and closes at once.
class RawHelper {
public:
    RawHelper(std::string hello, std::optional<ipc::Dictionary> reply) {
        listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
        if (!listener_ || ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.get(), 4) != 0) {
            throw std::runtime_error("the raw helper cannot listen");
        }
        thread_ = std::thread([this, hello = std::move(hello), reply = std::move(reply)] {
            const UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection || ipc::writeFully(connection.get(), hello) != ipc::WriteStatus::written) return;
            std::string request;
            if (!reply || ipc::readFrame(connection.get(), request) != ipc::ReadStatus::frame) {
                // Holds the connection until the client has gone.
                char byte;
                while (::read(connection.get(), &byte, 1) > 0) {
                }
                return;
            }
            (void)ipc::writeFully(connection.get(), ipc::encodeReply(*reply));
        });
    }
    ~RawHelper() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }
    RawHelper(const RawHelper&) = delete;
    RawHelper& operator=(const RawHelper&) = delete;

    [[nodiscard]] HelperEndpoint endpoint() const { return HelperEndpoint{socket_, ::geteuid(), &SystemClock::shared()}; }

private:
    TemporaryDirectory directory_;
    std::filesystem::path socket_ = directory_.path() / "helper.socket";
    UniqueFd listener_;
    std::thread thread_;
};

}  // namespace tarnel::testing
