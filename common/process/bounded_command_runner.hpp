#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/process/startup_control.hpp"

namespace tarnel {

// One run of a system tool: its path and its arguments, passed as they are
// (no shell).
struct BoundedCommandInvocation {
    std::filesystem::path executableURL;
    std::vector<std::string> arguments;

    friend bool operator==(const BoundedCommandInvocation&, const BoundedCommandInvocation&) = default;
};

// How a tool's standard input and standard error are connected. The default
// is the runner's usual one: the caller's standard input, standard error
// discarded.
struct BoundedCommandStreams {
    // Bytes for the tool's standard input, written from a thread of their own
    // while the output is read, and then closed. Nothing: the caller's own
    // standard input.
    std::optional<std::string> standardInput;
    // Standard error goes into the one output pipe beside standard output, in
    // the order the tool writes them; otherwise it is discarded.
    bool standardErrorToOutput = false;
    // Standard error is read apart from standard output into the result's
    // `standardError`, under the same cap (more is outputTooLarge). Not
    // together with `standardErrorToOutput`.
    bool captureStandardError = false;
};

class BoundedCommandRunnerError final : public Error {
public:
    enum class Case { launchFailed, outputUnavailable, outputTooLarge, inputNotWritten };

    explicit BoundedCommandRunnerError(Case errorCase) noexcept : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "BoundedCommandRunnerError"; }

    friend bool operator==(const BoundedCommandRunnerError& a, const BoundedCommandRunnerError& b) {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

struct BoundedCommandResult {
    // The exit code, or 128 plus the signal number when a signal ended the tool.
    std::int32_t terminationStatus = 0;
    // The captured standard output, at most the cap.
    std::string output;
    // The captured standard error, when the streams asked for it, at most the cap.
    std::string standardError = {};

    friend bool operator==(const BoundedCommandResult&, const BoundedCommandResult&) = default;
};

// Runs a system tool with its standard output captured up to a byte cap and
// its standard error discarded (or captured with it), bounded by the caller's
// checkpoint. The checkpoint is given the clock's uptime before the launch, at
// every wake-up (every 25 ms at most, and after every chunk of output read) and
// once after the tool exits; what it throws ends the run. The tool runs in a
// process group of its own; on every way out the group is stopped: on a failure
// SIGTERM, up to 0.25 s for the tool to exit, then SIGKILL and up to 1.0 s
// more; on success what is left of the group (a background grandchild) is
// killed. A grandchild that leaves the group is beyond its reach. A tool that
// cannot be killed is reaped in the background once it dies; the run itself
// never waits without a bound. Standard input is the caller's unless the
// streams give bytes for it. A non-zero exit status is not an error.
namespace BoundedCommandRunner {

using Checkpoint = std::function<void(double uptime)>;

// Throws BoundedCommandRunnerError or whatever the checkpoint throws:
// - a negative cap: outputTooLarge, nothing launched;
// - the tool cannot be started: launchFailed;
// - more output than the cap: outputTooLarge (exactly the cap is accepted);
// - the tool exited but its output did not end within 1.0 s (a grandchild
//   holds the pipe): outputUnavailable.
// - input bytes were given but the tool stopped reading (closed its standard
//   input, or ended) before all of them were written, or they were still not
//   written 1.0 s after the output ended: inputNotWritten, whatever the exit
//   status. Such a tool never ends this program with SIGPIPE.
BoundedCommandResult run(const BoundedCommandInvocation& invocation, std::int64_t maximumOutputBytes,
                         const Checkpoint& checkpoint, const Clock& clock = SystemClock::shared());

// The same with the tool's streams connected as `streams` says.
BoundedCommandResult run(const BoundedCommandInvocation& invocation, const BoundedCommandStreams& streams,
                         std::int64_t maximumOutputBytes, const Checkpoint& checkpoint,
                         const Clock& clock = SystemClock::shared());

// The helper's form: bounded by a tunnel start's control, whose cancellation
// and deadline errors (PrivilegedRuntimeError) end the run.
BoundedCommandResult run(const BoundedCommandInvocation& invocation, std::int64_t maximumOutputBytes,
                         const PrivilegedTunnelStartupControl& control, const Clock& clock = SystemClock::shared());

// The application's forms, each bounded by a deadline on system uptime:

// `scutil --nc list` of the competing-VPN check: the deadline throws
// CompetingVPNDetectorError commandFailed("scutil timed out").
BoundedCommandResult runCompetingVPNCommand(const BoundedCommandInvocation& invocation,
                                            std::int64_t maximumOutputBytes, double deadlineUptime,
                                            const Clock& clock = SystemClock::shared());

// The commands of the Tailscale snapshot: TailscaleCompatibility::checkpoint
// (a stop request throws TailscaleCompatibilityError startupCancelled, the
// deadline startupDeadlineExceeded).
BoundedCommandResult runTailscaleSnapshotCommand(const BoundedCommandInvocation& invocation,
                                                 std::int64_t maximumOutputBytes, double deadlineUptime,
                                                 const std::stop_token& stop,
                                                 const Clock& clock = SystemClock::shared());

// `netstat` for the fixed configuration files: no cancellation; the deadline
// throws TailscaleCompatibilityError startupDeadlineExceeded.
BoundedCommandResult runConfigurationFileCommand(const BoundedCommandInvocation& invocation,
                                                 std::int64_t maximumOutputBytes, double deadlineUptime,
                                                 const Clock& clock = SystemClock::shared());

// `netstat` for one connection attempt: a stop request throws
// CancellationError, the deadline TailscaleCompatibilityError
// startupDeadlineExceeded.
BoundedCommandResult runConnectionPlanCommand(const BoundedCommandInvocation& invocation,
                                              std::int64_t maximumOutputBytes, double deadlineUptime,
                                              const std::stop_token& stop,
                                              const Clock& clock = SystemClock::shared());

}  // namespace BoundedCommandRunner

}  // namespace tarnel
