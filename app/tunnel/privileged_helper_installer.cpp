#include "app/tunnel/privileged_helper_installer.hpp"

#include <algorithm>
#include <utility>

#include "app/tunnel/helper_service_unit.hpp"
#include "common/base/json.hpp"
#include "common/contract/competing_vpn_detector_error.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "platform/service/systemd_helper_service_registrar.hpp"

namespace tarnel {

std::string PrivilegedHelperInstallError::message() const {
    switch (case_) {
    case Case::installFailed:
        return "The privileged helper could not be installed: " + detail_;
    case Case::approvalRequired:
        return "Разрешите Tarnel Direct в System Settings > General > Login Items, затем повторите подключение. "
               "Это требуется один раз.";
    case Case::authorizationFailed:
        return "Administrator approval is required once to install the Tarnel Direct helper.";
    case Case::helperDidNotStart:
        return "The privileged helper was installed but did not start.";
    }
    return {};
}

void ModernHelperUnregisterWaiter::resolve(std::exception_ptr failure) {
    const std::lock_guard lock(mutex_);
    if (!result_) result_ = std::move(failure);
}

std::optional<std::exception_ptr> ModernHelperUnregisterWaiter::result() const {
    const std::lock_guard lock(mutex_);
    return result_;
}

namespace {

using Status = HelperServiceStatus;
using InstallCase = PrivilegedHelperInstallError::Case;

struct DomainAndCode {
    std::string domain;
    std::int64_t code = 0;
};

template <typename E>
bool caseOf(const std::exception& error, DomainAndCode& out) {
    const auto* typed = dynamic_cast<const E*>(&error);
    if (typed == nullptr) return false;
    out = {typed->typeName(), static_cast<std::int64_t>(typed->errorCase())};
    return true;
}

// What the log lines name an error by: a registration error's own domain and
// code; else its type name and its case's position in its enumeration.
DomainAndCode domainAndCode(const std::exception& error) {
    if (const auto* registration = dynamic_cast<const HelperServiceRegistrationError*>(&error)) {
        return {registration->domain(), registration->code()};
    }
    DomainAndCode result;
    if (caseOf<PrivilegedHelperClientError>(error, result) || caseOf<PrivilegedHelperInstallError>(error, result) ||
        caseOf<PrivilegedHelperContractError>(error, result) || caseOf<TailscaleCompatibilityError>(error, result) ||
        caseOf<CompetingVPNDetectorError>(error, result) || caseOf<BoundedCommandRunnerError>(error, result) ||
        caseOf<json::JsonError>(error, result)) {
        return result;
    }
    return {errorTypeName(error), 0};
}

std::string describe(const std::exception_ptr& failure) { return errorMessage(failure); }

DomainAndCode domainAndCode(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return domainAndCode(error);
    } catch (...) {
        return {"unknown", 0};
    }
}

[[noreturn]] void installFailed(std::string detail) {
    throw PrivilegedHelperInstallError::installFailed(std::move(detail));
}

}  // namespace

PrivilegedHelperInstaller::PrivilegedHelperInstaller(Services services) : services_(std::move(services)) {}

PrivilegedHelperInstaller PrivilegedHelperInstaller::forApplication(const PrivilegedHelperClient& client) {
    SystemdHelperService service;
    service.unitText = std::string(HelperServiceUnit::applicationCopy());
    service.clock = client.endpoint().clock;
    auto registrar = std::make_shared<SystemdHelperServiceRegistrar>(std::move(service));
    Services services;
    services.probeIdentity = [client](double timeout) { return client.helperIdentity(timeout); };
    services.legacyAuthorizer = std::make_shared<SystemdLegacyHelperAuthorizer>(registrar);
    services.registrar = std::move(registrar);
    // systemd registers services itself: Linux always takes the modern path.
    services.usesModernRegistration = [] { return true; };
    services.clock = client.endpoint().clock;
    return PrivilegedHelperInstaller(std::move(services));
}

const Log& PrivilegedHelperInstaller::logger() {
    static const Log log("app.tarnel.direct", "helper-installer");
    return log;
}

std::optional<PrivilegedHelperIdentity> PrivilegedHelperInstaller::probeHelperIdentity() const {
    try {
        return services_.probeIdentity(identityProbeTimeout);
    } catch (...) {
        const DomainAndCode failure = domainAndCode(std::current_exception());
        logger().error("helper_identity domain=" + failure.domain + " code=" + std::to_string(failure.code));
        return std::nullopt;
    }
}

PrivilegedHelperIdentity PrivilegedHelperInstaller::ensureHelper() const {
    if (auto identity = probeHelperIdentity()) return *identity;
    if (services_.usesModernRegistration()) {
        return waitForModernHelper(installModernHelper());
    }
    installLegacyHelper();
    return waitForLegacyHelper();
}

void PrivilegedHelperInstaller::requireApproval(HelperServiceRegistrar& service) const {
    service.openLoginItems();
    throw PrivilegedHelperInstallError(InstallCase::approvalRequired);
}

HelperServiceRegistrar& PrivilegedHelperInstaller::installModernHelper() const {
    HelperServiceRegistrar& service = *services_.registrar;
    switch (service.status()) {
    case Status::notRegistered:
    case Status::notFound:
        registerWithRetries(service, {});
        return service;
    case Status::enabled: {
        // The helper that comes with this application replaces the registered one.
        const auto waiter = std::make_shared<ModernHelperUnregisterWaiter>();
        service.unregisterService([waiter](std::exception_ptr failure) { waiter->resolve(std::move(failure)); });
        const Clock& clock = *services_.clock;
        const double deadline = clock.uptime() + unregistrationWait;
        std::optional<std::exception_ptr> outcome = waiter->result();
        while (!outcome && clock.uptime() < deadline) {
            clock.sleepFor(std::min(unregistrationPollInterval, deadline - clock.uptime()));
            outcome = waiter->result();
        }
        if (!outcome) installFailed("timed out waiting for the previous helper to unregister");
        if (*outcome) std::rethrow_exception(*outcome);
        registerWithRetries(service, registrationRetryDelays);
        return service;
    }
    case Status::requiresApproval:
        requireApproval(service);
    case Status::unknown:
        break;
    }
    installFailed("unknown ServiceManagement status");
}

void PrivilegedHelperInstaller::registerWithRetries(HelperServiceRegistrar& service,
                                                    const std::vector<double>& delays) const {
    for (std::size_t attempt = 0;; ++attempt) {
        std::exception_ptr failure;
        try {
            service.registerService();
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            if (service.status() == Status::requiresApproval) requireApproval(service);
            return;
        }
        const Status afterFailure = service.status();
        if (afterFailure == Status::enabled) return;  // the registration is in place after all
        if (afterFailure == Status::requiresApproval) requireApproval(service);

        const DomainAndCode code = domainAndCode(failure);
        logger().error("helper_registration attempt=" + std::to_string(attempt + 1) + " domain=" + code.domain +
                       " code=" + std::to_string(code.code));
        const Status now = service.status();
        if ((now != Status::notRegistered && now != Status::notFound) || attempt == delays.size()) {
            installFailed(describe(failure));
        }
        services_.clock->sleepFor(delays[attempt]);
    }
}

PrivilegedHelperIdentity PrivilegedHelperInstaller::waitForModernHelper(HelperServiceRegistrar& service) const {
    const Clock& clock = *services_.clock;
    const double deadline = clock.uptime() + installWait;
    do {
        const Status status = service.status();
        if (!isKnown(status)) installFailed("unknown ServiceManagement status");
        if (status == Status::requiresApproval) requireApproval(service);
        if (status == Status::enabled) {
            if (auto identity = probeHelperIdentity()) return *identity;
        }
        clock.sleepFor(pollInterval);
    } while (clock.uptime() < deadline);

    switch (service.status()) {
    case Status::enabled:
        throw PrivilegedHelperInstallError(InstallCase::helperDidNotStart);
    case Status::requiresApproval:
        requireApproval(service);
    case Status::notRegistered:
    case Status::notFound:
        installFailed("ServiceManagement registration did not become active");
    case Status::unknown:
        break;
    }
    installFailed("unknown ServiceManagement status");
}

void PrivilegedHelperInstaller::installLegacyHelper() const {
    LegacyHelperAuthorizer& authorizer = *services_.legacyAuthorizer;
    const std::optional<LegacyHelperAuthorizer::Reference> reference = authorizer.create();
    if (!reference) throw PrivilegedHelperInstallError(InstallCase::authorizationFailed);
    // Released on every way out once it exists.
    struct Release {
        LegacyHelperAuthorizer& authorizer;
        LegacyHelperAuthorizer::Reference reference;
        ~Release() { authorizer.free(reference); }
    } release{authorizer, *reference};

    if (authorizer.copyRight(*reference, LegacyHelperAuthorizer::blessRight, LegacyHelperAuthorizer::blessRightFlags) !=
        0) {
        throw PrivilegedHelperInstallError(InstallCase::authorizationFailed);
    }
    if (const auto failure = authorizer.bless(blessedJobLabel, *reference)) {
        installFailed(failure->description.value_or("SMJobBless failed"));
    }
}

PrivilegedHelperIdentity PrivilegedHelperInstaller::waitForLegacyHelper() const {
    const Clock& clock = *services_.clock;
    const double deadline = clock.uptime() + installWait;
    do {
        if (auto identity = probeHelperIdentity()) return *identity;
        clock.sleepFor(pollInterval);
    } while (clock.uptime() < deadline);
    throw PrivilegedHelperInstallError(InstallCase::helperDidNotStart);
}

}  // namespace tarnel
