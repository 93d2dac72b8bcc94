#include "platform/ipc/server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "common/base/error.hpp"
#include "platform/ipc/ipc_error.hpp"

namespace tarnel::ipc {

namespace {

// The mode of a socket that every local user may connect to; who is then
// served is the admission's decision.
constexpr mode_t socketMode = 0666;
constexpr mode_t socketDirectoryMode = 0755;
// How often an idle connection looks whether its process still runs the
// admitted executable: an exec raises no event that could be waited for.
constexpr int execCheckMilliseconds = 1000;

sockaddr_un socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof address.sun_path || text.find('\0') != std::string::npos) {
        throw SystemError("socket path " + text, ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, text.data(), text.size());
    return address;
}

void checkSocketDirectory(const std::filesystem::path& directory) {
    if (::mkdir(directory.c_str(), socketDirectoryMode) == 0) {
        // Exactly this mode, whatever the umask took away.
        if (::chmod(directory.c_str(), socketDirectoryMode) != 0) {
            throw SystemError("set the mode of socket directory " + directory.string(), errno);
        }
    } else if (errno != EEXIST) {
        throw SystemError("create socket directory " + directory.string(), errno);
    }
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
        throw SystemError("inspect socket directory " + directory.string(), errno);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw IPCError(IPCError::Case::unsafeSocketDirectory);
    }
}

// True when a service accepts connections on the socket at `address`.
bool someoneListens(const sockaddr_un& address) {
    const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) throw SystemError("socket", errno);
    const int result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // A full backlog (EAGAIN) still means that a service listens there.
    return result == 0 || errno == EAGAIN;
}

// Takes away a stale socket at the path; refuses to touch anything else.
void removeStaleSocket(const std::filesystem::path& path, const sockaddr_un& address) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return;
        throw SystemError("inspect socket " + path.string(), errno);
    }
    if (!S_ISSOCK(status.st_mode)) throw SystemError("bind " + path.string(), EEXIST);
    if (someoneListens(address)) throw SystemError("bind " + path.string(), EADDRINUSE);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw SystemError("remove stale socket " + path.string(), errno);
    }
}

// Bytes the peer sent that wait on the socket unread.
bool holdsUnreadBytes(int socket) {
    int waiting = 0;
    return ::ioctl(socket, FIONREAD, &waiting) != 0 || waiting != 0;
}

// Waits for the admitted process's next request: true once bytes (or the
// end of the connection) wait on the socket; false once the process has
// exited or runs another executable than `image`.
bool awaitRequest(int socket, const ProcessHandle& process, const ExecutableFile& image) {
    for (;;) {
        std::array<pollfd, 2> entries{pollfd{socket, POLLIN, 0}, pollfd{process.descriptor(), POLLIN, 0}};
        const int ready = ::poll(entries.data(), entries.size(), execCheckMilliseconds);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (entries[1].revents != 0) return false;
        if (entries[0].revents != 0) return true;
        if (process.executable() != image) return false;
    }
}

}  // namespace

std::filesystem::path socketPath(const std::filesystem::path& directory, std::string_view serviceName) {
    return directory / (std::string(serviceName) + ".socket");
}

Server::Server(Interface interface, double admissionTimeLimit)
    : interface_(std::move(interface)),
      admissionTimeLimit_(admissionTimeLimit),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!stopEvent_) throw SystemError("eventfd", errno);
}

Server::~Server() {
    stop();
    if (path_.empty()) return;
    listener_.reset();
    // Only the socket this server made: a later service may own the path now.
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) && status.st_ino == socketInode_) {
        ::unlink(path_.c_str());
    }
}

void Server::bind(const std::filesystem::path& path) {
    if (!path_.empty()) throw SystemError("bind " + path.string(), EISCONN);
    const sockaddr_un address = socketAddress(path);
    checkSocketDirectory(path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path());
    removeStaleSocket(path, address);

    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) throw SystemError("socket", errno);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw SystemError("bind " + path.string(), errno);
    }
    struct stat status {};
    if (::chmod(path.c_str(), socketMode) != 0 || ::lstat(path.c_str(), &status) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw SystemError("set the mode of socket " + path.string(), error);
    }
    if (::listen(listener.get(), SOMAXCONN) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw SystemError("listen " + path.string(), error);
    }
    listener_ = std::move(listener);
    path_ = path;
    socketInode_ = status.st_ino;
}

void Server::start(Admission admission) {
    if (!listener_) throw SystemError("serve", path_.empty() ? ENOTCONN : EALREADY);
    const std::lock_guard lock(serveThreadMutex_);
    if (serveThread_.joinable()) throw SystemError("start", EALREADY);
    serveThread_ = std::thread([this, admission = std::move(admission)]() mutable { serve(std::move(admission)); });
}

void Server::stop() {
    stopping_.store(true);
    const std::uint64_t one = 1;
    // A full counter already wakes the accepting thread.
    [[maybe_unused]] const ssize_t written = ::write(stopEvent_.get(), &one, sizeof one);
    const std::lock_guard lock(serveThreadMutex_);
    if (serveThread_.joinable() && serveThread_.get_id() != std::this_thread::get_id()) serveThread_.join();
}

void Server::serve(Admission admission) {
    if (!listener_) throw SystemError("serve", path_.empty() ? ENOTCONN : EALREADY);
    while (!stopping_.load()) {
        int timeout = -1;
        {
            const std::lock_guard lock(mutex_);
            timeout = expireAdmissions();
        }
        std::array<pollfd, 2> entries{pollfd{listener_.get(), POLLIN, 0}, pollfd{stopEvent_.get(), POLLIN, 0}};
        if (::poll(entries.data(), entries.size(), timeout) <= 0) continue;  // an admission's deadline, or EINTR
        if (entries[1].revents != 0) break;
        UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!socket) {
            // Out of descriptors: wait a moment instead of spinning on a
            // connection that cannot be taken yet.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) continue;
        // Every request will name its sending process, so that only the
        // admitted process speaks on the connection, not one that inherited
        // it or was passed it.
        const int passCredentials = 1;
        if (::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &passCredentials, sizeof passCredentials) != 0) {
            continue;
        }
        PeerCredentials peer;
        peer.processIdentifier = credentials.pid;
        peer.effectiveUserIdentifier = credentials.uid;
        peer.effectiveGroupIdentifier = credentials.gid;
        peer.process = ProcessInfo::identity(credentials.pid);
        // The process that connected, from the socket itself; one that
        // cannot be held is closed without a byte.
        auto handle = ProcessHandle::ofSocketPeer(socket.get());
        if (!handle) continue;
        peer.handle = std::make_shared<const ProcessHandle>(std::move(*handle));

        const std::lock_guard lock(mutex_);
        reapFinished();
        if (stopping_.load()) break;
        // One user cannot take every thread the service can make.
        const auto ofThisUser = std::count_if(connections_.begin(), connections_.end(), [&](const auto& connection) {
            return connection->peer.effectiveUserIdentifier == peer.effectiveUserIdentifier;
        });
        if (ofThisUser >= static_cast<std::ptrdiff_t>(maximumConnectionsPerUser)) continue;  // closed without a byte

        auto connection = std::make_unique<Connection>();
        connection->socket = std::move(socket);
        connection->peer = std::move(peer);
        connection->admissionDeadline = SystemClock::shared().uptime() + admissionTimeLimit_;
        Connection& added = *connection;
        connections_.push_back(std::move(connection));
        try {
            added.thread = std::thread([this, &added, admission] { serveConnection(added, admission); });
        } catch (const std::system_error&) {
            // No thread to serve it: closed before the hello, as a refusal.
            connections_.pop_back();
        }
    }

    // Wake every connection that waits for a request or a peer that reads
    // slowly; a handler at work finishes, its reply finds the socket shut.
    std::list<std::unique_ptr<Connection>> remaining;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& connection : connections_) {
            if (connection->socket) ::shutdown(connection->socket.get(), SHUT_RDWR);
        }
        remaining.swap(connections_);
    }
    for (const auto& connection : remaining) connection->thread.join();
    // Callers that connect from now on are turned away at once instead of
    // waiting in a backlog that nobody accepts from.
    listener_.reset();
}

void Server::serveConnection(Connection& connection, const Admission& admission) {
    int socket = -1;
    PeerCredentials peer;
    {
        const std::lock_guard lock(mutex_);
        socket = connection.socket.get();
        peer = connection.peer;
    }
    const ProcessHandle& process = *peer.handle;
    // A process in another pid namespace could name any process of its own
    // as a request's sender, and identifiers are only told apart within one
    // namespace; one in another user namespace acts for users this service
    // does not see.
    std::optional<ExecutableFile> image;
    if (process.sharesNamespacesWithThisProcess()) image = process.executable();

    // Admission runs here, on the connection's own thread, so that a caller
    // whose check takes long delays no other caller.
    Handler handler;
    if (image) {
        try {
            if (std::optional<Handler> admitted = admission(peer)) handler = std::move(*admitted);
        } catch (...) {
            handler = nullptr;  // an admission that fails refuses
        }
    }
    // What the admission looked at must be what is served: the same process,
    // still running the executable it ran when the admission began. A
    // request written before the hello was written before the admission saw
    // the process (by the image it ran before an exec, say), so any byte
    // that waits already refuses too.
    if (handler && (process.executable() != image || holdsUnreadBytes(socket))) handler = nullptr;
    {
        const std::lock_guard lock(mutex_);
        connection.admitting = false;
        if (connection.admissionExpired) handler = nullptr;
    }
    const pid_t sender = peer.processIdentifier;
    // Refused: closed without a byte.
    bool open = handler && writeFully(socket, encodeHello()) == WriteStatus::written;
    while (open) {
        // The connection ends with its process, and with an exec.
        if (!awaitRequest(socket, process, *image)) break;
        std::string payload;
        if (readFrameFrom(socket, sender, payload) != ReadStatus::frame) break;
        // Sent by the process with the admitted identifier while it lived:
        // alive now, it is the admitted process, and it still runs the
        // admitted executable.
        if (process.executable() != image) break;
        Request request;
        try {
            request = interface_.validate(decodeRequest(payload));
        } catch (const FrameError&) {
            break;  // closed without a reply
        }
        std::string reply;
        try {
            reply = encodeReply(handler(request));
        } catch (...) {
            break;  // no reply can be made: the caller sees the connection end
        }
        open = writeFully(socket, reply) == WriteStatus::written;
    }
    // The handler (and whatever it owns) ends with its connection.
    handler = nullptr;
    const std::lock_guard lock(mutex_);
    connection.socket.reset();
    connection.finished = true;
}

int Server::expireAdmissions() {
    const double now = SystemClock::shared().uptime();
    double next = std::numeric_limits<double>::infinity();
    for (const auto& connection : connections_) {
        if (!connection->admitting || connection->admissionExpired) continue;
        if (connection->admissionDeadline <= now) {
            // The caller is told at once; the admission's answer, when it
            // comes, is not used.
            connection->admissionExpired = true;
            ::shutdown(connection->socket.get(), SHUT_RDWR);
        } else {
            next = std::min(next, connection->admissionDeadline);
        }
    }
    if (next == std::numeric_limits<double>::infinity()) return -1;
    return static_cast<int>(std::ceil((next - now) * 1000.0));
}

void Server::reapFinished() {
    for (auto entry = connections_.begin(); entry != connections_.end();) {
        if ((*entry)->finished) {
            // It has done all its work under the lock and only returns now.
            (*entry)->thread.join();
            entry = connections_.erase(entry);
        } else {
            ++entry;
        }
    }
}

}  // namespace tarnel::ipc
