#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel {

// Who a process is, beyond its identifier: the executable the kernel reports
// for it and its start time. The start time is counted from boot (the ticks
// in /proc/<pid>/stat), so it never moves when the wall clock is stepped. A
// process identifier that was reused by another program gives another
// identity.
struct ProcessIdentity {
    std::string executablePath;
    std::uint64_t startSeconds = 0;
    std::uint64_t startMicroseconds = 0;

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

namespace ProcessInfo {

// The executable path of a live process (/proc/<pid>/exe, at most 4095 bytes,
// invalid UTF-8 replaced by U+FFFD); nothing for a process that is gone, a
// zombie, or one whose path cannot be read. A process whose file was removed
// or replaced since it started reports the path it was started from: the
// kernel's " (deleted)" suffix is dropped when the image has no link left.
[[nodiscard]] std::optional<std::string> executablePath(pid_t pid);

// The identity of a live process; nothing for identifiers below 2 and for
// processes that are gone or zombies. Path and start time are read through
// one handle on /proc/<pid>, so they always belong to the same process.
[[nodiscard]] std::optional<ProcessIdentity> identity(pid_t pid);

// A live process found by the place of its executable.
struct RunningExecutable {
    pid_t pid = 0;
    pid_t parent = 0;
    ProcessIdentity identity;
    // The image the process runs, which stays the same file when its path is
    // removed or renamed over.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Every live process whose executable path (as identity reports it) lies
// directly in `directory`, an absolute path without links, compared component
// by component.
// Zombies, and processes that end while they are looked at, are left out.
[[nodiscard]] std::vector<RunningExecutable> processesRunningFrom(const std::filesystem::path& directory);

}  // namespace ProcessInfo

// The file a process runs, as the kernel holds it open: device, inode and
// status-change time. An exec of another file changes it, and so does a
// change of the file itself (its mode, owner or links).
struct ExecutableFile {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changeSeconds = 0;
    std::int64_t changeNanoseconds = 0;

    friend bool operator==(const ExecutableFile&, const ExecutableFile&) = default;
};

// A process that this program did not start, held through a pidfd, so that
// signals reach that process and never another one that later received the
// same identifier, and so that what is read about it in /proc is known to be
// about it: each read goes through a handle on /proc/<pid> taken while the
// pidfd still tells that the process lives.
class ProcessHandle {
public:
    // Opens the process with this identifier when it is alive and its identity
    // equals `expected`; nothing otherwise.
    [[nodiscard]] static std::optional<ProcessHandle> openMatching(pid_t pid, const ProcessIdentity& expected);
    // The process at the other end of a connected Unix socket: the one that
    // connected, held from the socket itself (SO_PEERPIDFD), so that it is
    // that process even when its identifier was reused since. On a kernel
    // without SO_PEERPIDFD it is opened by the identifier that SO_PEERCRED
    // gives. Nothing when it cannot be held.
    [[nodiscard]] static std::optional<ProcessHandle> ofSocketPeer(int socket);

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // The pidfd: readable (POLLIN) once the process has exited.
    [[nodiscard]] int descriptor() const noexcept { return pidfd_.get(); }
    [[nodiscard]] bool hasExited() const;

    // The file it runs now; nothing once it has exited or when it cannot be
    // read.
    [[nodiscard]] std::optional<ExecutableFile> executable() const;
    // True when it lives in this process's own pid and user namespaces, so
    // that the identifier this process sees for it is its own and the users
    // it acts as are the ones this process sees; false for any other, and
    // once it has exited.
    [[nodiscard]] bool sharesNamespacesWithThisProcess() const;
    // The identifier of the process that traces it (TracerPid in
    // /proc/<pid>/status), 0 when none; nothing once it has exited or when
    // its status cannot be read.
    [[nodiscard]] std::optional<pid_t> tracer() const;
    // The names of the environment it was started with (/proc/<pid>/environ,
    // what precedes each entry's first "="), in order; nothing once it has
    // exited, while it is in the middle of an exec (its new environment is
    // not in place yet), and when the environment cannot be read whole or
    // exceeds 8 MiB (the kernel lets a program start with at most 6 MiB of
    // arguments and environment).
    [[nodiscard]] std::optional<std::vector<std::string>> initialEnvironmentNames() const;
    // False once the process has exited.
    bool signal(int signalNumber) const;
    // Waits up to `seconds` on the clock; true once the process has exited.
    bool waitForExit(double seconds, const Clock& clock = SystemClock::shared()) const;

private:
    ProcessHandle(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    // /proc/<pid> of this very process; invalid once it has exited.
    [[nodiscard]] UniqueFd processDirectory() const;
    pid_t pid_;
    UniqueFd pidfd_;
};

}  // namespace tarnel
