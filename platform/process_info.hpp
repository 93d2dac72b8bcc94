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

// A process that this program did not start, held through a pidfd once it has
// proven its identity, so that signals reach that process and never another
// one that later received the same identifier.
class ProcessHandle {
public:
    // Opens the process with this identifier when it is alive and its identity
    // equals `expected`; nothing otherwise.
    [[nodiscard]] static std::optional<ProcessHandle> openMatching(pid_t pid, const ProcessIdentity& expected);

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] bool hasExited() const;
    // False once the process has exited.
    bool signal(int signalNumber) const;
    // Waits up to `seconds` on the clock; true once the process has exited.
    bool waitForExit(double seconds, const Clock& clock = SystemClock::shared()) const;

private:
    ProcessHandle(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    pid_t pid_;
    UniqueFd pidfd_;
};

}  // namespace tarnel
