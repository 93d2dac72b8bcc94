#include "platform/ipc/client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace tarnel::ipc {

namespace {

// How often a connect is tried again while the service's backlog is full.
constexpr auto backlogRetryInterval = std::chrono::milliseconds(10);

bool passed(double deadlineUptime, const Clock& clock) {
    // Written so that a deadline that is not a number has passed.
    return !(clock.uptime() < deadlineUptime);
}

UniqueFd connectTo(const std::filesystem::path& path, double deadlineUptime, const Clock& clock) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof address.sun_path || text.find('\0') != std::string::npos) {
        throw IPCError::connectFailed(ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, text.data(), text.size());

    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) throw IPCError::connectFailed(errno);
    for (;;) {
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return socket;
        if (errno == EINTR) continue;
        // The listen backlog is full: the service has not caught up yet.
        if (errno == EAGAIN) {
            if (passed(deadlineUptime, clock)) throw IPCError(IPCError::Case::timedOut);
            std::this_thread::sleep_for(backlogRetryInterval);
            continue;
        }
        throw IPCError::connectFailed(errno);
    }
}

}  // namespace

ClientConnection ClientConnection::open(const std::filesystem::path& socketPath, double deadlineUptime,
                                        uid_t expectedServiceUser, const Clock& clock) {
    if (passed(deadlineUptime, clock)) throw IPCError(IPCError::Case::timedOut);
    UniqueFd socket = connectTo(socketPath, deadlineUptime, clock);

    // Before a byte is read or sent: the listening process must be the
    // trusted one, which no other user can pretend to be.
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        throw IPCError::connectFailed(errno);
    }
    if (credentials.uid != expectedServiceUser) throw IPCError::untrustedService(credentials.uid);

    ClientConnection connection(std::move(socket), credentials.pid, clock);
    std::string payload;
    switch (readFrame(connection.socket_.get(), payload, Deadline{deadlineUptime, &clock})) {
    case ReadStatus::frame:
        break;
    case ReadStatus::timedOut:
        connection.fail(IPCError::Case::timedOut);
    case ReadStatus::closed:
    case ReadStatus::failed:
        connection.fail(IPCError::Case::refused);
    case ReadStatus::truncated:
    case ReadStatus::oversized:
    case ReadStatus::foreignSender:  // never without a required sender
        connection.fail(IPCError::Case::invalidReply);
    }
    try {
        decodeHello(payload);
    } catch (const FrameError&) {
        connection.fail(IPCError::Case::invalidReply);
    }
    return connection;
}

Dictionary ClientConnection::call(const Request& request, double deadlineUptime) {
    if (!socket_) throw IPCError(IPCError::Case::interrupted);
    std::string frame;
    try {
        frame = encodeRequest(request);
    } catch (const FrameError&) {
        throw IPCError(IPCError::Case::invalidRequest);  // nothing sent: the connection stays usable
    }
    const Deadline deadline{deadlineUptime, clock_};
    switch (writeFully(socket_.get(), frame, deadline)) {
    case WriteStatus::written:
        break;
    case WriteStatus::timedOut:
        fail(IPCError::Case::timedOut);
    case WriteStatus::closed:
        fail(IPCError::Case::interrupted);
    }
    std::string payload;
    switch (readFrame(socket_.get(), payload, deadline)) {
    case ReadStatus::frame:
        break;
    case ReadStatus::timedOut:
        fail(IPCError::Case::timedOut);
    case ReadStatus::closed:
    case ReadStatus::failed:
        fail(IPCError::Case::interrupted);
    case ReadStatus::truncated:
    case ReadStatus::oversized:
    case ReadStatus::foreignSender:  // never without a required sender
        fail(IPCError::Case::invalidReply);
    }
    try {
        return decodeReply(payload);
    } catch (const FrameError&) {
        fail(IPCError::Case::invalidReply);
    }
}

void ClientConnection::fail(IPCError::Case errorCase) {
    // Whatever may still arrive on the connection belongs to no call.
    socket_.reset();
    throw IPCError(errorCase);
}

Dictionary call(const std::filesystem::path& socketPath, const Request& request, double deadlineUptime,
                uid_t expectedServiceUser, const Clock& clock) {
    auto connection = ClientConnection::open(socketPath, deadlineUptime, expectedServiceUser, clock);
    return connection.call(request, deadlineUptime);
}

}  // namespace tarnel::ipc
