#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/log.hpp"
#include "platform/service/helper_service_registrar.hpp"

namespace tarnel {

class PrivilegedHelperInstallError final : public Error {
public:
    enum class Case { installFailed, approvalRequired, authorizationFailed, helperDidNotStart };

    // Every case but installFailed, which carries its detail.
    explicit PrivilegedHelperInstallError(Case errorCase) : case_(errorCase) {}
    static PrivilegedHelperInstallError installFailed(std::string detail) {
        PrivilegedHelperInstallError error(Case::installFailed);
        error.detail_ = std::move(detail);
        return error;
    }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The detail of installFailed; empty for the other cases.
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "PrivilegedHelperInstallError"; }

    friend bool operator==(const PrivilegedHelperInstallError& a, const PrivilegedHelperInstallError& b) {
        return a.case_ == b.case_ && a.detail_ == b.detail_;
    }

private:
    Case case_;
    std::string detail_;
};

// The outcome of one unregistration, which the registrar reports on a
// thread of its choosing: the first report is kept, later ones are dropped.
class ModernHelperUnregisterWaiter {
public:
    // Nothing is success.
    void resolve(std::exception_ptr failure);
    // The outcome once reported: nothing for success, else the error.
    [[nodiscard]] std::optional<std::exception_ptr> result() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::exception_ptr> result_;
};

// Makes sure a live helper of the client's protocol version answers before
// the application needs it: probes the helper's identity and, when none
// answers, registers it (current systems: the registrar's daemon
// registration; older ones: blessing after an administrator's
// authorization) and waits up to 8 s for it to answer. It keeps nothing
// between calls. Every wait, poll and deadline is measured on the clock, so
// tests run in virtual time.
//
// Failures throw PrivilegedHelperInstallError (an unregistration's own error
// passes unchanged). Both log lines go to subsystem "app.tarnel.direct",
// category "helper-installer", at error level:
//   "helper_identity domain=D code=C"                a probe that failed
//   "helper_registration attempt=N domain=D code=C"  a registration that failed
// where D and C are a registration error's own domain and code, else the
// error's type name and the position of its case in its enumeration
// (0 for an error without cases).
class PrivilegedHelperInstaller {
public:
    // Asks the helper for its identity within `timeout` seconds; throws when
    // no live helper of the protocol version answers.
    using IdentityProbe = std::function<PrivilegedHelperIdentity(double timeout)>;

    struct Services {
        IdentityProbe probeIdentity;
        std::shared_ptr<HelperServiceRegistrar> registrar;
        std::shared_ptr<LegacyHelperAuthorizer> legacyAuthorizer;
        // Whether the system registers daemons itself (the registrar), or
        // needs the older blessing.
        std::function<bool()> usesModernRegistration;
        const Clock* clock = &SystemClock::shared();
    };

    static constexpr double identityProbeTimeout = 2.0;
    static constexpr double unregistrationWait = 8.0;
    static constexpr double installWait = 8.0;
    static constexpr double pollInterval = 0.2;
    // How often the unregistration's outcome is looked at while it is awaited.
    static constexpr double unregistrationPollInterval = 0.05;
    static inline const std::vector<double> registrationRetryDelays{0.25, 0.75, 1.5};
    static constexpr std::string_view blessedJobLabel = "app.tarnel.direct.helper";

    explicit PrivilegedHelperInstaller(Services services);

    // The application's installer on this system: the client's `helperIdentity`
    // as the probe, and the helper's systemd service over the unit the
    // application carries, registered on the modern path.
    [[nodiscard]] static PrivilegedHelperInstaller forApplication(const PrivilegedHelperClient& client);

    [[nodiscard]] static const Log& logger();

    // The helper's identity, or nothing (logging why) when no live helper answers.
    [[nodiscard]] std::optional<PrivilegedHelperIdentity> probeHelperIdentity() const;

    // What the connect operation runs: the probe; when nothing answers, the
    // installation of the system's kind and the wait for the new helper.
    [[nodiscard]] PrivilegedHelperIdentity ensureHelper() const;

    // Registers the helper, replacing an enabled registration (unregistered
    // first, waiting up to 8 s); returns the registrar for the wait.
    HelperServiceRegistrar& installModernHelper() const;
    // Polls every 0.2 s for up to 8 s, while the registration is enabled,
    // until the helper answers.
    [[nodiscard]] PrivilegedHelperIdentity waitForModernHelper(HelperServiceRegistrar& service) const;
    void installLegacyHelper() const;
    [[nodiscard]] PrivilegedHelperIdentity waitForLegacyHelper() const;
    // Registers, and after a failure while the registration is still absent,
    // registers again after each delay in turn.
    void registerWithRetries(HelperServiceRegistrar& service, const std::vector<double>& delays) const;

private:
    [[noreturn]] void requireApproval(HelperServiceRegistrar& service) const;

    Services services_;
};

}  // namespace tarnel
