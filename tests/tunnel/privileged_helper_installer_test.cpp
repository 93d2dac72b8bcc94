// The helper installer over a scripted registrar, authorizer and identity
// probe, in virtual time: which registrations it makes and when, what it
// logs, and the error each path ends with.

#include "app/tunnel/privileged_helper_installer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/log.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

using Status = HelperServiceStatus;
using InstallCase = PrivilegedHelperInstallError::Case;

constexpr double kStart = 1000.0;
const PrivilegedHelperIdentity kLiveHelper{35, 4242};
const std::string kApproval =
    "Разрешите Tarnel Direct в System Settings > General > Login Items, затем повторите подключение. "
    "Это требуется один раз.";

std::string failed(const std::string& detail) { return "The privileged helper could not be installed: " + detail; }

// "what@seconds since the start", for events that happen at a time.
std::string at(const std::string& what, double seconds) {
    std::ostringstream text;
    text << what << '@' << std::round(seconds * 1000) / 1000;
    return text.str();
}

// A registrar whose status is a state that its calls change as scripted.
class FakeRegistrar final : public HelperServiceRegistrar {
public:
    enum class Unregistration { succeeds, fails, neverCompletes };

    FakeRegistrar(const FakeClock& clock, Status initial) : state(initial), clock_(clock) {}

    Status state;
    // A registration that fails throws this; the state is then `afterFailedRegistration`.
    std::optional<HelperServiceRegistrationError> registrationError;
    Status afterRegistration = Status::enabled;
    Status afterFailedRegistration = Status::notRegistered;
    Unregistration unregistration = Unregistration::succeeds;
    // Register, unregister and open-login-items calls, each with its time.
    std::vector<std::string> events;

    Status status() override { return state; }
    void registerService() override {
        events.push_back(at("register", clock_.uptime() - kStart));
        if (registrationError) {
            state = afterFailedRegistration;
            throw *registrationError;
        }
        state = afterRegistration;
    }
    void unregisterService(std::function<void(std::exception_ptr)> completion) override {
        events.push_back(at("unregister", clock_.uptime() - kStart));
        switch (unregistration) {
        case Unregistration::succeeds:
            state = Status::notRegistered;
            completion(nullptr);
            completion(std::make_exception_ptr(HelperServiceRegistrationError("Late", 1, "late")));  // dropped
            break;
        case Unregistration::fails:
            completion(std::make_exception_ptr(HelperServiceRegistrationError("TestRegistrar", 9, "busy")));
            break;
        case Unregistration::neverCompletes:
            break;
        }
    }
    void openLoginItems() override { events.push_back(at("openLoginItems", clock_.uptime() - kStart)); }

private:
    const FakeClock& clock_;
};

class FakeAuthorizer final : public LegacyHelperAuthorizer {
public:
    bool creates = true;
    std::int32_t rightStatus = 0;
    std::optional<BlessFailure> blessFailure;
    std::vector<std::string> calls;

    std::optional<Reference> create() override {
        calls.push_back("create");
        return creates ? std::optional<Reference>(77) : std::nullopt;
    }
    std::int32_t copyRight(Reference reference, std::string_view right, std::uint32_t flags) override {
        calls.push_back("copy " + std::to_string(reference) + " " + std::string(right) + " " + std::to_string(flags));
        return rightStatus;
    }
    std::optional<BlessFailure> bless(std::string_view label, Reference reference) override {
        calls.push_back("bless " + std::string(label) + " " + std::to_string(reference));
        return blessFailure;
    }
    void free(Reference reference) override { calls.push_back("free " + std::to_string(reference)); }
};

struct Harness {
    explicit Harness(Status initial = Status::notRegistered)
        : registrar(std::make_shared<FakeRegistrar>(clock, initial)), authorizer(std::make_shared<FakeAuthorizer>()) {}

    FakeClock clock{kStart};
    std::shared_ptr<FakeRegistrar> registrar;
    std::shared_ptr<FakeAuthorizer> authorizer;
    // The identity the probe answers with; nothing: the application's client
    // asks at a socket where no helper listens.
    std::optional<PrivilegedHelperIdentity> liveHelper;
    TemporaryDirectory directory;
    PrivilegedHelperClient client{HelperEndpoint{directory / "helper.socket", ::geteuid(), &clock}};
    // The times of the probes, from the start.
    std::vector<double> probes;
    bool modern = true;
    ScopedLogCapture log;

    [[nodiscard]] PrivilegedHelperInstaller installer() {
        PrivilegedHelperInstaller::Services services;
        services.probeIdentity = [this](double timeout) {
            EXPECT_EQ(timeout, 2.0);
            probes.push_back(clock.uptime() - kStart);
            return liveHelper ? *liveHelper : client.helperIdentity(timeout);
        };
        services.registrar = registrar;
        services.legacyAuthorizer = authorizer;
        services.usesModernRegistration = [this] { return modern; };
        services.clock = &clock;
        return PrivilegedHelperInstaller(std::move(services));
    }
    [[nodiscard]] std::vector<std::string> lines() { return log.sink().lines(); }
};

const HelperServiceRegistrationError kNope("TestRegistrar", 7, "nope");

template <typename Action>
std::optional<PrivilegedHelperInstallError> installError(Action&& action) {
    try {
        action();
    } catch (const PrivilegedHelperInstallError& error) {
        return error;
    }
    return std::nullopt;
}

std::vector<std::string> registrationLines(int count) {
    std::vector<std::string> lines;
    for (int attempt = 1; attempt <= count; ++attempt) {
        lines.push_back("helper_registration attempt=" + std::to_string(attempt) + " domain=TestRegistrar code=7");
    }
    return lines;
}

TEST(PrivilegedHelperInstaller, ALiveHelperIsUsedAsItIs) {
    Harness harness(Status::enabled);
    harness.liveHelper = kLiveHelper;
    EXPECT_EQ(harness.installer().ensureHelper(), kLiveHelper);
    EXPECT_EQ(harness.registrar->events, std::vector<std::string>{});
    EXPECT_EQ(harness.authorizer->calls, std::vector<std::string>{});
    EXPECT_EQ(harness.lines(), std::vector<std::string>{});
}

TEST(PrivilegedHelperInstaller, ModernInstallationFromEachStatus) {
    struct Case {
        const char* name;
        Status initial;
        std::function<void(FakeRegistrar&)> script;
        std::vector<std::string> events;
        std::vector<std::string> lines;
        std::optional<PrivilegedHelperInstallError> error;
    };
    const std::vector<Case> cases = {
        {"not registered: one registration that fails",
         Status::notRegistered,
         [](FakeRegistrar& r) { r.registrationError = kNope; },
         {"register@0"},
         registrationLines(1),
         PrivilegedHelperInstallError::installFailed("nope")},
        {"not found: the same",
         Status::notFound,
         [](FakeRegistrar& r) {
             r.registrationError = kNope;
             r.afterFailedRegistration = Status::notFound;
         },
         {"register@0"},
         registrationLines(1),
         PrivilegedHelperInstallError::installFailed("nope")},
        {"enabled: unregistered, then four registrations 0.25, 0.75 and 1.5 s apart",
         Status::enabled,
         [](FakeRegistrar& r) { r.registrationError = kNope; },
         {"unregister@0", "register@0", "register@0.25", "register@1", "register@2.5"},
         registrationLines(4),
         PrivilegedHelperInstallError::installFailed("nope")},
        {"enabled: the retries stop once the status is neither absent nor registered",
         Status::enabled,
         [](FakeRegistrar& r) {
             r.registrationError = kNope;
             r.afterFailedRegistration = static_cast<Status>(7);
         },
         {"unregister@0", "register@0"},
         registrationLines(1),
         PrivilegedHelperInstallError::installFailed("nope")},
        {"enabled: the unregistration never completes",
         Status::enabled,
         [](FakeRegistrar& r) { r.unregistration = FakeRegistrar::Unregistration::neverCompletes; },
         {"unregister@0"},
         {},
         PrivilegedHelperInstallError::installFailed("timed out waiting for the previous helper to unregister")},
        {"a failed registration whose status turns enabled is in place",
         Status::notRegistered,
         [](FakeRegistrar& r) {
             r.registrationError = kNope;
             r.afterFailedRegistration = Status::enabled;
         },
         {"register@0"},
         {},
         std::nullopt},
        {"enabled: replaced", Status::enabled, [](FakeRegistrar&) {}, {"unregister@0", "register@0"}, {}, std::nullopt},
        {"requires approval before registering", Status::requiresApproval, [](FakeRegistrar&) {},
         {"openLoginItems@0"}, {}, PrivilegedHelperInstallError(InstallCase::approvalRequired)},
        {"requires approval after registering",
         Status::notFound,
         [](FakeRegistrar& r) { r.afterRegistration = Status::requiresApproval; },
         {"register@0", "openLoginItems@0"},
         {},
         PrivilegedHelperInstallError(InstallCase::approvalRequired)},
        {"requires approval after a failed registration",
         Status::notRegistered,
         [](FakeRegistrar& r) {
             r.registrationError = kNope;
             r.afterFailedRegistration = Status::requiresApproval;
         },
         {"register@0", "openLoginItems@0"},
         {},
         PrivilegedHelperInstallError(InstallCase::approvalRequired)},
        {"an unknown status", static_cast<Status>(7), [](FakeRegistrar&) {}, {}, {},
         PrivilegedHelperInstallError::installFailed("unknown ServiceManagement status")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness(c.initial);
        c.script(*harness.registrar);
        const double begin = harness.clock.uptime();
        EXPECT_EQ(installError([&] { harness.installer().installModernHelper(); }), c.error);
        EXPECT_EQ(harness.registrar->events, c.events);
        EXPECT_EQ(harness.lines(), c.lines);
        if (c.error && c.error->detail() == "timed out waiting for the previous helper to unregister") {
            EXPECT_NEAR(harness.clock.uptime() - begin, 8.0, 0.06);
        }
    }
}

TEST(PrivilegedHelperInstaller, AFailedUnregistrationPassesUnchanged) {
    Harness harness(Status::enabled);
    harness.registrar->unregistration = FakeRegistrar::Unregistration::fails;
    try {
        harness.installer().installModernHelper();
        ADD_FAILURE() << "installed";
    } catch (const HelperServiceRegistrationError& error) {
        EXPECT_EQ(error, HelperServiceRegistrationError("TestRegistrar", 9, "busy"));
    }
    EXPECT_EQ(harness.registrar->events, std::vector<std::string>{"unregister@0"});
}

// The wait after a registration: probes 0.2 s apart while the registration is
// enabled, each failed probe logged with its error's type and case (6: the
// connection was closed), until 8 s have passed.
TEST(PrivilegedHelperInstaller, TheWaitEndsWithTheHelperOrAfterEightSeconds) {
    {
        Harness harness(Status::enabled);
        EXPECT_EQ(installError([&] { (void)harness.installer().waitForModernHelper(*harness.registrar); }),
                  PrivilegedHelperInstallError(InstallCase::helperDidNotStart));
        ASSERT_FALSE(harness.probes.empty());
        EXPECT_EQ(harness.probes.front(), 0.0);
        for (std::size_t i = 1; i < harness.probes.size(); ++i) {
            EXPECT_NEAR(harness.probes[i] - harness.probes[i - 1], 0.2, 1e-9) << i;
        }
        EXPECT_LT(harness.probes.back(), 8.0 + 1e-9);
        EXPECT_GE(harness.clock.uptime() - kStart, 8.0);
        EXPECT_LT(harness.clock.uptime() - kStart, 8.0 + 0.2 + 1e-9);
        EXPECT_EQ(harness.lines(),
                  std::vector<std::string>(harness.probes.size(),
                                           "helper_identity domain=TarnelDirect.PrivilegedHelperClientError code=6"));
    }
    const struct {
        const char* name;
        Status status;
        std::optional<PrivilegedHelperInstallError> error;
    } others[] = {
        {"not registered throughout", Status::notRegistered,
         PrivilegedHelperInstallError::installFailed("ServiceManagement registration did not become active")},
        {"not found throughout", Status::notFound,
         PrivilegedHelperInstallError::installFailed("ServiceManagement registration did not become active")},
        {"requires approval", Status::requiresApproval, PrivilegedHelperInstallError(InstallCase::approvalRequired)},
        {"unknown", static_cast<Status>(-7),
         PrivilegedHelperInstallError::installFailed("unknown ServiceManagement status")},
    };
    for (const auto& c : others) {
        SCOPED_TRACE(c.name);
        Harness harness(c.status);
        EXPECT_EQ(installError([&] { (void)harness.installer().waitForModernHelper(*harness.registrar); }), c.error);
        EXPECT_EQ(harness.probes, std::vector<double>{}) << "probed without an enabled registration";
    }
    {
        Harness harness(Status::enabled);
        harness.liveHelper = kLiveHelper;
        EXPECT_EQ(harness.installer().waitForModernHelper(*harness.registrar), kLiveHelper);
        EXPECT_EQ(harness.probes, std::vector<double>{0.0});
    }
}

TEST(PrivilegedHelperInstaller, ANewHelperIsRegisteredAndAwaited) {
    Harness harness(Status::notFound);
    harness.registrar->afterRegistration = Status::enabled;
    // The first probe finds nothing; the helper is live by the wait.
    PrivilegedHelperInstaller::Services services;
    int probes = 0;
    services.probeIdentity = [&](double) {
        if (probes++ == 0) throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::timedOut);
        return kLiveHelper;
    };
    services.registrar = harness.registrar;
    services.legacyAuthorizer = harness.authorizer;
    services.usesModernRegistration = [] { return true; };
    services.clock = &harness.clock;
    EXPECT_EQ(PrivilegedHelperInstaller(services).ensureHelper(), kLiveHelper);
    EXPECT_EQ(harness.registrar->events, std::vector<std::string>{"register@0"});
    EXPECT_EQ(harness.lines(),
              std::vector<std::string>{"helper_identity domain=TarnelDirect.PrivilegedHelperClientError code=4"});
}

TEST(PrivilegedHelperInstaller, LegacyInstallationReleasesEveryAuthorizationItMade) {
    const std::string copy = "copy 77 com.apple.ServiceManagement.blesshelper 19";
    const std::string bless = "bless app.tarnel.direct.helper 77";
    struct Case {
        const char* name;
        std::function<void(FakeAuthorizer&)> script;
        std::vector<std::string> calls;
        std::optional<PrivilegedHelperInstallError> error;
    };
    const std::vector<Case> cases = {
        {"blessed", [](FakeAuthorizer&) {}, {"create", copy, bless, "free 77"}, std::nullopt},
        {"no authorization", [](FakeAuthorizer& a) { a.creates = false; }, {"create"},
         PrivilegedHelperInstallError(InstallCase::authorizationFailed)},
        {"the right refused", [](FakeAuthorizer& a) { a.rightStatus = 1; }, {"create", copy, "free 77"},
         PrivilegedHelperInstallError(InstallCase::authorizationFailed)},
        {"bless fails without an error",
         [](FakeAuthorizer& a) { a.blessFailure = LegacyHelperAuthorizer::BlessFailure{}; },
         {"create", copy, bless, "free 77"},
         PrivilegedHelperInstallError::installFailed("SMJobBless failed")},
        {"bless fails with the system's error",
         [](FakeAuthorizer& a) { a.blessFailure = LegacyHelperAuthorizer::BlessFailure{"The job is invalid."}; },
         {"create", copy, bless, "free 77"},
         PrivilegedHelperInstallError::installFailed("The job is invalid.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness;
        c.script(*harness.authorizer);
        EXPECT_EQ(installError([&] { harness.installer().installLegacyHelper(); }), c.error);
        EXPECT_EQ(harness.authorizer->calls, c.calls);
    }
}

TEST(PrivilegedHelperInstaller, TheLegacyPathIsTakenWhereTheSystemNeedsIt) {
    Harness harness;
    harness.modern = false;
    EXPECT_EQ(installError([&] { (void)harness.installer().ensureHelper(); }),
              PrivilegedHelperInstallError(InstallCase::helperDidNotStart));
    EXPECT_EQ(harness.authorizer->calls.front(), "create");
    EXPECT_EQ(harness.registrar->events, std::vector<std::string>{});
    EXPECT_GE(harness.clock.uptime() - kStart, 8.0);
    EXPECT_LT(harness.clock.uptime() - kStart, 8.0 + 0.2 + 1e-9);
    EXPECT_NEAR(harness.probes.at(2) - harness.probes.at(1), 0.2, 1e-9);
}

TEST(PrivilegedHelperInstaller, MessagesOfTheErrors) {
    EXPECT_EQ(PrivilegedHelperInstallError::installFailed("nope").message(), failed("nope"));
    EXPECT_EQ(PrivilegedHelperInstallError(InstallCase::approvalRequired).message(), kApproval);
    EXPECT_EQ(PrivilegedHelperInstallError(InstallCase::authorizationFailed).message(),
              "Administrator approval is required once to install the Tarnel Direct helper.");
    EXPECT_EQ(PrivilegedHelperInstallError(InstallCase::helperDidNotStart).message(),
              "The privileged helper was installed but did not start.");
    EXPECT_EQ(PrivilegedHelperInstallError(InstallCase::helperDidNotStart).typeName(),
              "TarnelDirect.PrivilegedHelperInstallError");
}

}  // namespace
}  // namespace tarnel::testing
