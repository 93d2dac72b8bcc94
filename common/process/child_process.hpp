#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel {

// Makes a write to a closed pipe fail with EPIPE instead of ending the process.
// Both programs call it once at start; the child-process layer relies on it
// only where it says so (its standard-input writer also blocks SIGPIPE on its
// own thread). Children always start with every signal at its default.
void ignoreBrokenPipeSignals();

// One child process started by this program. Every child the system starts
// goes through this class:
// - posix_spawn of an absolute path (no search of PATH, no shell); argument 0
//   is the executable path; every descriptor above 2 is closed in the child,
//   and every descriptor this layer creates is close-on-exec, so concurrent
//   spawns never hand each other pipe ends;
// - signal dispositions reset to default and an empty signal mask in the child;
// - a pidfd taken at once, through which every signal is sent, so a process
//   identifier that the system has reused is never hit;
// - standard input written from bytes by a separate writer thread, so a child
//   that fills its output before it reads its input cannot deadlock the caller;
// - optionally a process group of its own, which is then signalled as a whole,
//   so a grandchild that stays in the group cannot outlive a stop or keep an
//   output pipe open (one that leaves the group, by setsid for example, is
//   beyond the group's signals);
// - reaping: the child stays unreaped (its identifier and process group stay
//   reserved) until the object is destroyed or detached. Destruction stops a
//   child that still runs (terminate, bounded wait, kill, bounded wait) and
//   never blocks without a bound: a child that cannot be killed is handed to a
//   background reaper.
// An executable path that names a system tool is mapped through
// `SystemTools::resolve` (common/system_tools.hpp) before the launch.
// One object is used by one thread at a time.
class ChildProcess {
public:
    // Where one standard stream of the child goes.
    struct Redirect {
        enum class Kind {
            inherit,        // the parent's own stream
            null,           // the null device
            pipe,           // a new pipe whose parent end this object holds
            descriptor,     // a descriptor of the caller (duplicated; the caller keeps its own)
            standardOutput  // standard error only: wherever standard output goes
        };
        Kind kind = Kind::inherit;
        int fd = -1;

        static Redirect inherit() { return {}; }
        static Redirect null() { return {Kind::null, -1}; }
        static Redirect pipe() { return {Kind::pipe, -1}; }
        static Redirect to(int descriptor) { return {Kind::descriptor, descriptor}; }
        static Redirect toStandardOutput() { return {Kind::standardOutput, -1}; }
    };

    struct Options {
        std::filesystem::path executable;
        std::vector<std::string> arguments;                     // after argument 0
        std::optional<std::vector<std::string>> environment;    // "KEY=value"; nothing: inherit
        std::optional<std::filesystem::path> workingDirectory;  // nothing: the parent's
        // Bytes written to the child's standard input, which is then closed.
        // Nothing: standard input as `inputRedirect` says.
        std::optional<std::string> input;
        Redirect inputRedirect = Redirect::inherit();  // inherit, null or descriptor
        Redirect output = Redirect::inherit();
        Redirect error = Redirect::inherit();
        bool ownProcessGroup = false;
    };

    struct ExitStatus {
        enum class Kind { exited, signaled };
        Kind kind = Kind::exited;
        int value = 0;  // exit code, or the number of the signal that ended it

        // The exit code, or 128 plus the signal number for a child that a
        // signal ended (never 0).
        [[nodiscard]] int terminationStatus() const noexcept { return kind == Kind::exited ? value : 128 + value; }
        friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
    };

    // Starts the child. Throws SystemError (with the system's errno text) when
    // it cannot be started, for example a missing or non-executable file, or
    // EINVAL when the executable, an argument, an environment entry or the
    // working directory holds a NUL byte (which would cut it short); nothing
    // is left running then.
    static ChildProcess spawn(const Options& options);

    ChildProcess(ChildProcess&&) noexcept;
    ChildProcess& operator=(ChildProcess&&) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    [[nodiscard]] pid_t pid() const noexcept;
    [[nodiscard]] bool hasOwnProcessGroup() const noexcept;

    // The parent's read end of a piped standard output or standard error;
    // the caller may take it over (it is close-on-exec and blocking).
    [[nodiscard]] UniqueFd& standardOutput() noexcept;
    [[nodiscard]] UniqueFd& standardError() noexcept;
    // A descriptor that polls readable once the child has exited.
    [[nodiscard]] int exitDescriptor() const noexcept;

    // True once the child has exited (it may not be reaped yet).
    [[nodiscard]] bool hasExited() const;
    [[nodiscard]] bool isRunning() const { return !hasExited(); }
    // Waits up to `seconds` on the clock; true once the child has exited.
    bool waitForExit(double seconds, const Clock& clock = SystemClock::shared()) const;
    // Waits without a bound; use only for children that are known to end.
    void waitForExit() const;
    // How the child ended; nothing while it runs.
    [[nodiscard]] std::optional<ExitStatus> exitStatus() const;

    // How the bytes given as `Options::input` fared.
    enum class InputDelivery {
        none,     // the child was given no input bytes
        writing,  // the writer is still at work
        written,  // every byte went into the pipe, which was then closed
        failed    // the child closed its input, or ended, before every byte was written
    };
    [[nodiscard]] InputDelivery inputDelivery() const noexcept;
    // Waits up to `seconds` on the clock for the writer to finish; then as
    // `inputDelivery`.
    InputDelivery waitForInput(double seconds, const Clock& clock = SystemClock::shared()) const;

    // Sends a signal to the child through its pidfd; false once it has exited.
    bool signal(int signalNumber) const;
    // Sends a signal to the child's whole process group (a child without a
    // group of its own gets it alone). Only done while the child is unreaped,
    // so the group identifier cannot have been reused.
    bool signalGroup(int signalNumber) const;
    // Terminate (SIGTERM), wait up to `terminateWait`, kill (SIGKILL), wait up
    // to `killWait`; signals go to the process group when the child has one.
    // True when the child has exited.
    bool stop(double terminateWait, double killWait, const Clock& clock = SystemClock::shared());

    // Leaves the child running on its own; a background thread reaps it when
    // it exits. The object is empty afterwards.
    void detach();

private:
    struct State;
    explicit ChildProcess(std::unique_ptr<State> state) noexcept;
    void finish() noexcept;
    std::unique_ptr<State> state_;
};

// Process descriptors (pidfd): a handle that stays bound to one process after
// it exits, so a signal sent through it never reaches another process that
// later received the same identifier. Shared by ChildProcess and by the
// handles on processes that this program did not start.
namespace pidfd {

// Opens a descriptor on the process (close-on-exec); an empty handle, with
// errno set, when the process does not exist or cannot be opened.
[[nodiscard]] UniqueFd open(pid_t pid) noexcept;
// True once the process has exited (it may not be reaped yet).
[[nodiscard]] bool hasExited(int descriptor) noexcept;
// Sends a signal through the descriptor; false when it was not sent.
bool sendSignal(int descriptor, int signalNumber) noexcept;
// Waits up to `seconds` on the clock (as waitInSlices does); true once the
// process has exited.
bool waitForExit(int descriptor, double seconds, const Clock& clock);

}  // namespace pidfd

// Waits until `ready(timeoutMilliseconds)` answers true or `seconds` have
// passed on the clock. `ready` does the waiting itself (usually in poll()) for
// at most the milliseconds it is given, never more than `slice` seconds; once
// the time is up it is asked once more with 0. The wait is also bounded by the
// same time on the system's monotonic clock, so a test clock that does not
// move in real time still ends it. True when `ready` answered true.
bool waitInSlices(double seconds, const Clock& clock, double slice, const std::function<bool(int)>& ready);

}  // namespace tarnel
