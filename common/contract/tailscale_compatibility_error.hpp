#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"

namespace tarnel {

// The application's failures of the Tailscale compatibility snapshot, and the
// deadline and cancellation errors of the application's bounded commands.
class TailscaleCompatibilityError final : public Error {
public:
    enum class Case {
        invalidResponse,
        commandUnavailable,
        commandFailed,
        validationFailed,
        relayUnavailable,
        exitNodeUnsupported,
        startupCancelled,
        startupDeadlineExceeded,
    };

    // Every case but invalidResponse, which carries the name of what Tailscale
    // answered (see `invalidResponse`).
    explicit TailscaleCompatibilityError(Case errorCase) : case_(errorCase) {}
    static TailscaleCompatibilityError invalidResponse(std::string what) {
        TailscaleCompatibilityError error(Case::invalidResponse);
        error.what_ = std::move(what);
        return error;
    }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // What the invalid response was ("preferences", "status", "DERP map");
    // empty for the other cases.
    [[nodiscard]] const std::string& responseName() const noexcept { return what_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "TailscaleCompatibilityError"; }

    friend bool operator==(const TailscaleCompatibilityError& a, const TailscaleCompatibilityError& b) {
        return a.case_ == b.case_ && a.what_ == b.what_;
    }

private:
    Case case_;
    std::string what_;
};

namespace TailscaleCompatibility {

// Throws startupCancelled when a stop was requested, else
// startupDeadlineExceeded once the clock's uptime has reached the deadline.
void checkpoint(double deadlineUptime, const std::stop_token& stop, const Clock& clock = SystemClock::shared());

}  // namespace TailscaleCompatibility

}  // namespace tarnel
