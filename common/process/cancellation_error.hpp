#pragma once

#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel {

// The cancellation of the calling task: thrown by the application's blocking
// services when the task's stop token was triggered.
class CancellationError final : public Error {
public:
    [[nodiscard]] std::string message() const override { return "The operation was cancelled."; }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "CancellationError"; }
    friend bool operator==(const CancellationError&, const CancellationError&) { return true; }
};

}  // namespace tarnel
