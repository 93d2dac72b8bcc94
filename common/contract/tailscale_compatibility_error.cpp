#include "common/contract/tailscale_compatibility_error.hpp"

namespace tarnel {

std::string TailscaleCompatibilityError::message() const {
    switch (case_) {
    case Case::invalidResponse:
        return "Tailscale returned an invalid " + what_ + " response.";
    case Case::commandUnavailable:
        return "Tailscale is connected but its local command is unavailable.";
    case Case::commandFailed:
        return "Tailscale is connected but did not provide compatibility state.";
    case Case::validationFailed:
        return "The installed Tailscale application could not be validated for safe compatibility.";
    case Case::relayUnavailable:
        return "Tailscale has no active relay region for safe VPN compatibility.";
    case Case::exitNodeUnsupported:
        return "Disconnect the Tailscale exit node before starting Tarnel Direct.";
    case Case::startupCancelled:
        return "The tunnel startup was cancelled.";
    case Case::startupDeadlineExceeded:
        return "The tunnel startup exceeded its deadline.";
    }
    return {};
}

namespace TailscaleCompatibility {

void checkpoint(double deadlineUptime, const std::stop_token& stop, const Clock& clock) {
    if (stop.stop_requested()) {
        throw TailscaleCompatibilityError(TailscaleCompatibilityError::Case::startupCancelled);
    }
    // Written so that a deadline that is not a number fails closed.
    if (!(clock.uptime() < deadlineUptime)) {
        throw TailscaleCompatibilityError(TailscaleCompatibilityError::Case::startupDeadlineExceeded);
    }
}

}  // namespace TailscaleCompatibility

}  // namespace tarnel
