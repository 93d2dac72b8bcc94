#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "common/base/unique_fd.hpp"
#include "platform/ipc/interface.hpp"
#include "platform/ipc/value.hpp"
#include "platform/ipc/wire.hpp"
#include "platform/process_info.hpp"

namespace tarnel::ipc {

// Where production services put their sockets: a directory owned by root
// that only root may write to.
inline constexpr std::string_view defaultSocketDirectory = "/var/run/tarnel-direct";

// The socket of a named service in a directory:
// "<directory>/<service name>.socket".
[[nodiscard]] std::filesystem::path socketPath(const std::filesystem::path& directory, std::string_view serviceName);

// Who is at the other end of an accepted connection.
struct PeerCredentials {
    // From SO_PEERCRED: as they were when the peer connected.
    pid_t processIdentifier = 0;
    uid_t effectiveUserIdentifier = 0;
    gid_t effectiveGroupIdentifier = 0;
    // The peer process's executable and boot-relative start time, read at
    // once after the accept, so that a check of the process later can tell it
    // from another process that received the same identifier. Nothing when
    // the process had already gone or is not visible from here.
    std::optional<ProcessIdentity> process;
    // The process that connected, held by pidfd; it lives in this process's
    // pid and user namespaces.
    std::shared_ptr<const ProcessHandle> handle;
};

// Serves one admitted connection's requests, one at a time, in order. It
// answers each request with the reply's values; it must not throw (a handler
// that throws ends its connection without a reply).
using Handler = std::function<Dictionary(const Request& request)>;

// Decides whether a connection is admitted: a handler for it, or nothing to
// refuse it. Runs on the connection's own thread before the hello, so that
// connections are admitted side by side: it must be safe to call from
// several threads at once. An answer that comes after the admission time
// limit is not used: the caller has been turned away at the limit.
using Admission = std::function<std::optional<Handler>(const PeerCredentials& peer)>;

// A service on a Unix stream socket. `bind` creates the socket and listens;
// `serve` accepts. A caller that connects in between waits in the listen
// backlog, so a service can bind, do its start-up work and only then serve.
//
// Each user may hold maximumConnectionsPerUser connections at a time; one
// more is closed without a byte. A connection is bound to the process that
// connected, held by pidfd: a process in another pid or user namespace than
// the service's is closed without a byte before the admission is asked. The
// admission is then asked, within the admission time limit; a refused
// connection, one whose admission took longer (closed when the limit
// passes), one whose process exited or ran another executable (device,
// inode, change time) by the end of the admission than at its start, and
// one that sent bytes before the hello are all closed without a byte. An
// admitted one gets the hello frame and then its own thread, which serves
// only requests that the admitted process itself sent while it still runs
// the admitted executable: a request that any other process sent, or one
// that arrives after the process exec'd, closes the connection without a
// reply, and the connection is closed as soon as the process exits (and
// within a second of an exec). Each request is validated against the
// interface, passed to the handler and answered with exactly one reply. A
// frame over the cap, a payload that is not a valid request, an unknown
// selector or an argument of another kind closes that connection without a
// reply and touches nothing else. A peer that goes away never ends the
// service, and no write raises SIGPIPE. Every descriptor is close-on-exec.
class Server {
public:
    static constexpr std::size_t maximumConnectionsPerUser = 32;
    // How long one admission may take, in seconds.
    static constexpr double defaultAdmissionTimeLimit = 10.0;

    explicit Server(Interface interface, double admissionTimeLimit = defaultAdmissionTimeLimit);
    // Stops the service (see `stop`) and removes the socket it bound. A
    // thread that runs `serve` itself must have returned from it first.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the socket at `path`, mode 0666 so that any user may connect,
    // and listens. The socket's directory is created (mode 0755) when it is
    // missing; it must be owned by this process's effective user and not be
    // writable by group or others (IPCError unsafeSocketDirectory otherwise),
    // so that no other user can replace the socket. A stale socket left at
    // the path is removed; a socket that a live service still listens on, or
    // anything that is not a socket, is left alone and the bind fails
    // (SystemError EADDRINUSE or EEXIST). Other failures throw SystemError.
    void bind(const std::filesystem::path& path);

    // Accepts connections until `stop`; then ends every connection, waits
    // for their threads (a handler at work finishes first), closes the
    // listening socket (later callers fail to connect) and returns. A server
    // serves once.
    void serve(Admission admission);
    // `serve` on a thread of the server's own, which `stop` joins.
    void start(Admission admission);
    // Ends the accepting and every connection. Safe from any thread but a
    // handler's, and more than once; joins the thread of `start`.
    void stop();

private:
    struct Connection {
        UniqueFd socket;
        // Who connected; once admitted, the only process whose requests are served.
        PeerCredentials peer;
        std::thread thread;
        // On the system's uptime clock.
        double admissionDeadline = 0.0;
        bool admitting = true;
        // The deadline passed during the admission: the socket is shut down.
        bool admissionExpired = false;
        bool finished = false;
    };

    void serveConnection(Connection& connection, const Admission& admission);
    // Joins the threads of connections that have ended; with the lock held.
    void reapFinished();
    // Shuts down the connections whose admission is overdue; with the lock
    // held. Gives the milliseconds until the next admission deadline, or -1.
    int expireAdmissions();

    const Interface interface_;
    const double admissionTimeLimit_;
    UniqueFd listener_;
    UniqueFd stopEvent_;
    std::filesystem::path path_;
    ino_t socketInode_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::mutex serveThreadMutex_;
    std::thread serveThread_;
};

}  // namespace tarnel::ipc
