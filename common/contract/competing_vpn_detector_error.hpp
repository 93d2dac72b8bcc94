#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "common/base/error.hpp"

namespace tarnel {

// The failure of the check for other active VPN profiles.
class CompetingVPNDetectorError final : public Error {
public:
    enum class Case { commandFailed };

    static CompetingVPNDetectorError commandFailed(std::string detail) {
        return CompetingVPNDetectorError(std::move(detail));
    }

    [[nodiscard]] Case errorCase() const noexcept { return Case::commandFailed; }
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
    [[nodiscard]] std::string message() const override {
        return "Could not verify other active VPN profiles: " + detail_;
    }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "CompetingVPNDetectorError"; }

    friend bool operator==(const CompetingVPNDetectorError& a, const CompetingVPNDetectorError& b) {
        return a.detail_ == b.detail_;
    }

private:
    explicit CompetingVPNDetectorError(std::string detail) : detail_(std::move(detail)) {}
    std::string detail_;
};

}  // namespace tarnel
