#pragma once

#include <string>
#include <vector>

#include "helper/protection/tailscale_underlay_endpoint.hpp"

namespace tarnel {

// What the Tailscale validation hands on: Tailscale's underlay endpoints (a
// canonical list) and its tunnel interface.
struct TailscaleValidationResult {
    std::vector<TailscaleUnderlayEndpoint> underlayEndpoints;
    std::string tunnelInterface;

    friend bool operator==(const TailscaleValidationResult&, const TailscaleValidationResult&) = default;
};

}  // namespace tarnel
