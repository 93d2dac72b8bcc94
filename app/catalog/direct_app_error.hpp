#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// Failures of the subscription download, shown to the user by the import
// pipeline.
class DirectAppError final : public Error {
public:
    enum class Case {
        httpStatus,       // the server answered with a status other than success
        invalidUTF8,      // the body is not well-formed UTF-8
        invalidResponse,  // no HTTP answer, or one that cannot be used
    };

    [[nodiscard]] static DirectAppError httpStatus(std::int64_t statusCode);
    [[nodiscard]] static DirectAppError invalidUTF8();
    [[nodiscard]] static DirectAppError invalidResponse();

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The HTTP status of an `httpStatus` failure; 0 for the other cases.
    [[nodiscard]] std::int64_t statusCode() const noexcept { return statusCode_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "DirectAppError"; }

private:
    DirectAppError(Case errorCase, std::int64_t statusCode) : case_(errorCase), statusCode_(statusCode) {}

    Case case_;
    std::int64_t statusCode_;
};

}  // namespace tarnel
