#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/base/error.hpp"

// The host layer for registering the privileged helper with the system's
// service manager: the daemon registration of current systems (a registrar
// with the system's statuses) and the older blessing of a helper after an
// administrator's authorization. On Linux both drive systemd
// (systemd_helper_service_registrar.hpp); tests give fakes of their own.
namespace tarnel {

// The registration's status, with the system's values. A registrar may report
// a value outside the four named ones; every such value is unknown.
enum class HelperServiceStatus : std::int64_t {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
    unknown = -1,
};

[[nodiscard]] constexpr bool isKnown(HelperServiceStatus status) noexcept {
    return status == HelperServiceStatus::notRegistered || status == HelperServiceStatus::enabled ||
           status == HelperServiceStatus::requiresApproval || status == HelperServiceStatus::notFound;
}

// A failed registration or unregistration as the service manager reports it:
// its domain and code, and its description, which is the message.
class HelperServiceRegistrationError final : public Error {
public:
    HelperServiceRegistrationError(std::string domain, std::int64_t code, std::string description)
        : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

    [[nodiscard]] const std::string& domain() const noexcept { return domain_; }
    [[nodiscard]] std::int64_t code() const noexcept { return code_; }
    [[nodiscard]] std::string message() const override { return description_; }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "HelperServiceRegistrationError"; }

    friend bool operator==(const HelperServiceRegistrationError& a, const HelperServiceRegistrationError& b) {
        return a.domain_ == b.domain_ && a.code_ == b.code_ && a.description_ == b.description_;
    }

private:
    std::string domain_;
    std::int64_t code_;
    std::string description_;
};

// The helper's daemon registration.
class HelperServiceRegistrar {
public:
    virtual ~HelperServiceRegistrar() = default;

    [[nodiscard]] virtual HelperServiceStatus status() = 0;
    // Registers the helper; throws HelperServiceRegistrationError.
    virtual void registerService() = 0;
    // Starts removing the registration and returns; `completion` is called
    // exactly once, on any thread, with nothing on success or the error.
    virtual void unregisterService(std::function<void(std::exception_ptr)> completion) = 0;
    // Shows the user where a registration that requires approval is approved.
    virtual void openLoginItems() = 0;
};

// The older installation: an authorization obtained from an administrator,
// with which the helper is blessed into the system's service manager.
class LegacyHelperAuthorizer {
public:
    using Reference = std::uint64_t;

    // The authorization right that blessing a helper needs, and the flags the
    // installer asks for it with: interaction allowed, extend rights,
    // pre-authorize.
    static constexpr std::string_view blessRight = "com.apple.ServiceManagement.blesshelper";
    static constexpr std::uint32_t blessRightFlags = 19;

    virtual ~LegacyHelperAuthorizer() = default;

    // A new authorization without rights; nothing when none could be made.
    [[nodiscard]] virtual std::optional<Reference> create() = 0;
    // Obtains the one right; 0 on success, else the system's status.
    [[nodiscard]] virtual std::int32_t copyRight(Reference reference, std::string_view right,
                                                 std::uint32_t flags) = 0;
    // Blesses the job `label` into the system's domain. Nothing on success;
    // else the failure, with the system's description when it gave one.
    struct BlessFailure {
        std::optional<std::string> description;
    };
    [[nodiscard]] virtual std::optional<BlessFailure> bless(std::string_view label, Reference reference) = 0;
    // Releases an authorization that `create` made.
    virtual void free(Reference reference) = 0;
};

}  // namespace tarnel
