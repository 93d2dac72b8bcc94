#pragma once

#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// Why the account portal could not be opened or a handoff not redeemed. The
// message is shown to the user as it is, in Russian whatever the interface
// language.
class DirectAccountPortalError final : public Error {
public:
    enum class Case {
        invalidAccessLink,  // the access key field holds no valid access link
        unavailable,        // the account service or its answer cannot be used
    };

    [[nodiscard]] static DirectAccountPortalError invalidAccessLink() {
        return DirectAccountPortalError(Case::invalidAccessLink);
    }
    [[nodiscard]] static DirectAccountPortalError unavailable() { return DirectAccountPortalError(Case::unavailable); }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "DirectAccountPortalError"; }

private:
    explicit DirectAccountPortalError(Case errorCase) : case_(errorCase) {}

    Case case_;
};

}  // namespace tarnel
