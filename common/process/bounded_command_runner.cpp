#include "common/process/bounded_command_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include "common/contract/competing_vpn_detector_error.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/cancellation_error.hpp"
#include "common/process/child_process.hpp"

namespace tarnel {

std::string BoundedCommandRunnerError::message() const {
    switch (case_) {
    case Case::launchFailed:
        return "The system command could not be started.";
    case Case::outputUnavailable:
        return "The output of the system command could not be read.";
    case Case::outputTooLarge:
        return "The output of the system command exceeded its size limit.";
    case Case::inputNotWritten:
        return "The input of the system command could not be written.";
    }
    return {};
}

namespace BoundedCommandRunner {

namespace {

constexpr double kPollInterval = 0.025;
constexpr double kTerminateWait = 0.25;
constexpr double kKillWait = 1.0;
constexpr double kOutputWait = 1.0;
// One read takes at most this much plus one byte.
constexpr std::int64_t kChunk = 65535;

[[noreturn]] void fail(BoundedCommandRunnerError::Case errorCase) { throw BoundedCommandRunnerError(errorCase); }

// Reads the tool's standard output without blocking, up to the cap. Each read
// asks for one byte more than the room left, so output of exactly the cap is
// accepted and one byte more is detected without holding more than the cap
// plus one chunk.
class OutputCapture {
public:
    OutputCapture(UniqueFd fd, std::int64_t maximumBytes) : fd_(std::move(fd)), maximum_(maximumBytes) {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        if (flags >= 0) ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    }

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool ended() const noexcept { return ended_; }
    [[nodiscard]] std::string take() { return std::move(bytes_); }

    // Reads at most one chunk of what the pipe holds now, so that a tool that
    // writes without pause cannot keep the caller from its checkpoint; throws
    // outputTooLarge past the cap.
    void readChunk() {
        if (!fd_) return;
        const auto held = static_cast<std::int64_t>(bytes_.size());
        const std::int64_t room = maximum_ - held;
        const auto request = static_cast<std::size_t>(std::min(room, kChunk) + 1);
        const std::size_t before = bytes_.size();
        bytes_.resize(before + request);
        const ssize_t count = ::read(fd_.get(), bytes_.data() + before, request);
        bytes_.resize(before + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        if (count < 0) {
            // Nothing there yet, or a signal: the next wake-up reads again.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            fd_.reset();
            fail(BoundedCommandRunnerError::Case::outputUnavailable);
        }
        if (count == 0) {
            ended_ = true;
            fd_.reset();
            return;
        }
        if (count > room) {
            bytes_.resize(before);
            fd_.reset();
            fail(BoundedCommandRunnerError::Case::outputTooLarge);
        }
    }

private:
    UniqueFd fd_;
    std::int64_t maximum_;
    std::string bytes_;
    bool ended_ = false;
};

int pollRetrying(pollfd* fds, nfds_t count, int milliseconds) {
    const int result = ::poll(fds, count, milliseconds);
    return (result < 0 && errno == EINTR) ? 0 : result;
}

// Polls the exit and both pipes (an absent or finished capture's descriptor
// is negative, which poll skips) for at most `milliseconds`.
void pollOnce(int exitDescriptor, const OutputCapture& capture, const OutputCapture* errors, int milliseconds) {
    pollfd fds[3] = {{exitDescriptor, POLLIN, 0}, {capture.fd(), POLLIN, 0}, {errors ? errors->fd() : -1, POLLIN, 0}};
    pollRetrying(fds, 3, milliseconds);
}

BoundedCommandResult runLaunched(ChildProcess& child, OutputCapture& capture, OutputCapture* errors,
                                 const Checkpoint& checkpoint, const Clock& clock) {
    // Until the exit, every wake-up (output, or 25 ms) reads at most one chunk
    // of each stream and consults the checkpoint, so the checkpoint runs at
    // least every 25 ms however fast the tool writes.
    for (;;) {
        pollOnce(child.exitDescriptor(), capture, errors, static_cast<int>(kPollInterval * 1000));
        if (child.hasExited()) break;
        capture.readChunk();
        if (errors) errors->readChunk();
        checkpoint(clock.uptime());
    }
    // The deadline may have passed, or the attempt been cancelled, while the
    // tool was ending: its result is not wanted then.
    checkpoint(clock.uptime());
    const auto allEnded = [&] { return capture.ended() && (errors == nullptr || errors->ended()); };
    const bool ended = waitInSlices(kOutputWait, clock, kPollInterval, [&](int milliseconds) {
        if (!allEnded()) pollOnce(-1, capture, errors, milliseconds);
        capture.readChunk();
        if (errors) errors->readChunk();
        return allEnded();
    });
    if (!ended) {
        fail(BoundedCommandRunnerError::Case::outputUnavailable);
    }
    if (child.inputDelivery() != ChildProcess::InputDelivery::none &&
        child.waitForInput(kOutputWait, clock) != ChildProcess::InputDelivery::written) {
        fail(BoundedCommandRunnerError::Case::inputNotWritten);
    }
    const auto status = child.exitStatus();
    return BoundedCommandResult{status ? status->terminationStatus() : -1, capture.take(),
                                errors ? errors->take() : std::string()};
}

}  // namespace

BoundedCommandResult run(const BoundedCommandInvocation& invocation, std::int64_t maximumOutputBytes,
                         const Checkpoint& checkpoint, const Clock& clock) {
    return run(invocation, BoundedCommandStreams{}, maximumOutputBytes, checkpoint, clock);
}

BoundedCommandResult run(const BoundedCommandInvocation& invocation, const BoundedCommandStreams& streams,
                         std::int64_t maximumOutputBytes, const Checkpoint& checkpoint, const Clock& clock) {
    if (streams.standardErrorToOutput && streams.captureStandardError) {
        throw std::invalid_argument("standard error cannot go both into the output and apart from it");
    }
    if (maximumOutputBytes < 0) {
        fail(BoundedCommandRunnerError::Case::outputTooLarge);
    }
    checkpoint(clock.uptime());

    ChildProcess::Options options;
    options.executable = invocation.executableURL;
    options.arguments = invocation.arguments;
    options.input = streams.standardInput;
    options.output = ChildProcess::Redirect::pipe();
    options.error = streams.standardErrorToOutput  ? ChildProcess::Redirect::toStandardOutput()
                    : streams.captureStandardError ? ChildProcess::Redirect::pipe()
                                                   : ChildProcess::Redirect::null();
    options.ownProcessGroup = true;
    std::optional<ChildProcess> child;
    try {
        child.emplace(ChildProcess::spawn(options));
    } catch (const SystemError&) {
        fail(BoundedCommandRunnerError::Case::launchFailed);
    }
    OutputCapture capture(std::move(child->standardOutput()), maximumOutputBytes);
    std::optional<OutputCapture> errors;
    if (streams.captureStandardError) errors.emplace(std::move(child->standardError()), maximumOutputBytes);
    try {
        BoundedCommandResult result = runLaunched(*child, capture, errors ? &*errors : nullptr, checkpoint, clock);
        child.reset();  // reaps the tool and kills what is left of its group
        return result;
    } catch (...) {
        if (!child->stop(kTerminateWait, kKillWait, clock)) {
            child->detach();
        }
        child.reset();
        throw;
    }
}

BoundedCommandResult run(const BoundedCommandInvocation& invocation, std::int64_t maximumOutputBytes,
                         const PrivilegedTunnelStartupControl& control, const Clock& clock) {
    return run(
        invocation, maximumOutputBytes, [&control](double uptime) { control.checkpoint(uptime); }, clock);
}

BoundedCommandResult runCompetingVPNCommand(const BoundedCommandInvocation& invocation,
                                            std::int64_t maximumOutputBytes, double deadlineUptime,
                                            const Clock& clock) {
    return run(
        invocation, maximumOutputBytes,
        [deadlineUptime](double uptime) {
            if (!(uptime < deadlineUptime)) throw CompetingVPNDetectorError::commandFailed("scutil timed out");
        },
        clock);
}

namespace {

void throwPastDeadline(double uptime, double deadlineUptime) {
    if (!(uptime < deadlineUptime)) {
        throw TailscaleCompatibilityError(TailscaleCompatibilityError::Case::startupDeadlineExceeded);
    }
}

}  // namespace

BoundedCommandResult runTailscaleSnapshotCommand(const BoundedCommandInvocation& invocation,
                                                 std::int64_t maximumOutputBytes, double deadlineUptime,
                                                 const std::stop_token& stop, const Clock& clock) {
    return run(
        invocation, maximumOutputBytes,
        [&stop, &clock, deadlineUptime](double) { TailscaleCompatibility::checkpoint(deadlineUptime, stop, clock); },
        clock);
}

BoundedCommandResult runConfigurationFileCommand(const BoundedCommandInvocation& invocation,
                                                 std::int64_t maximumOutputBytes, double deadlineUptime,
                                                 const Clock& clock) {
    return run(
        invocation, maximumOutputBytes, [deadlineUptime](double uptime) { throwPastDeadline(uptime, deadlineUptime); },
        clock);
}

BoundedCommandResult runConnectionPlanCommand(const BoundedCommandInvocation& invocation,
                                              std::int64_t maximumOutputBytes, double deadlineUptime,
                                              const std::stop_token& stop, const Clock& clock) {
    return run(
        invocation, maximumOutputBytes,
        [&stop, deadlineUptime](double uptime) {
            if (stop.stop_requested()) throw CancellationError();
            throwPastDeadline(uptime, deadlineUptime);
        },
        clock);
}

}  // namespace BoundedCommandRunner

}  // namespace tarnel
