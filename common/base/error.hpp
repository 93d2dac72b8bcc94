#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tarnel {

// Base of every error enumeration of the system. A concrete error carries one
// case of its enumeration, a fixed user-facing message and a stable,
// module-qualified type name that the timing log records.
class Error : public std::exception {
public:
    // The error's fixed message, shown to the user and sent across IPC.
    [[nodiscard]] virtual std::string message() const = 0;
    // The unqualified name of the concrete error type, e.g. "PrivilegedRuntimeError".
    [[nodiscard]] virtual std::string_view typeBaseName() const noexcept = 0;

    // "<program module>.<type>", for example "TarnelDirect.TailscaleCompatibilityError".
    [[nodiscard]] std::string typeName() const;
    // The message, made once: an exception object that several threads hold
    // (through std::exception_ptr) may be asked from each of them.
    [[nodiscard]] const char* what() const noexcept override;

private:
    mutable std::string whatCache_;
    mutable bool whatCached_ = false;
};

// The module that qualifies error type names in this process: "TarnelDirect"
// in the application (the default) and "TarnelDirectHelper" in the helper.
// Each program's main sets it once, at start. Safe to read from any thread;
// any other name is refused with std::invalid_argument.
inline constexpr std::string_view kApplicationModule = "TarnelDirect";
inline constexpr std::string_view kHelperModule = "TarnelDirectHelper";
void setProgramModule(std::string_view module);
[[nodiscard]] std::string_view programModule() noexcept;

// The module-qualified type name of any exception: a tarnel::Error reports its
// own; other exceptions report their demangled C++ type with "::" as ".".
[[nodiscard]] std::string errorTypeName(const std::exception& error);
// The message of any exception: a tarnel::Error's fixed message, else what().
[[nodiscard]] std::string errorMessage(const std::exception& error);
// The same for whatever was thrown; "unknown error" for what is not an exception.
[[nodiscard]] std::string errorMessage(const std::exception_ptr& failure);

// An error that reports a system call failure with the system's own text,
// for the failures that no error enumeration maps (Errors of the operating
// system reach the user with the system's own description).
class SystemError final : public Error {
public:
    SystemError(std::string operation, int errnoValue);
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SystemError"; }
    [[nodiscard]] int errnoValue() const noexcept { return errno_; }
    [[nodiscard]] const std::string& operation() const noexcept { return operation_; }

private:
    std::string operation_;
    int errno_;
};

// Runs a step whose failure changes nothing for the caller (a clean-up or a
// fallback that has nothing better to do), ignoring whatever it throws.
template <typename Step>
void ignoringFailure(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

}  // namespace tarnel
