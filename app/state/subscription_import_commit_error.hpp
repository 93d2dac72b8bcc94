#pragma once

#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// Why an import that got its routes may not commit them. Its message follows
// "Import failed: " or "Background update failed: " in the log.
class SubscriptionImportCommitError final : public Error {
public:
    enum class Case {
        // Forget cleared the saved subscription after the import began.
        forgottenDuringImport,
    };

    explicit SubscriptionImportCommitError(Case errorCase) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SubscriptionImportCommitError"; }

private:
    Case case_;
};

}  // namespace tarnel
