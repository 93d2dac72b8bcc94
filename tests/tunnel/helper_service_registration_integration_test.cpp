// The helper's registration with systemd, over the systemctl stand-in: the
// statuses it reads, the unit file and calls of a registration, the installer
// on top of it, and the unit the application carries.

#include "platform/service/systemd_helper_service_registrar.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "app/tunnel/helper_service_unit.hpp"
#include "app/tunnel/privileged_helper_installer.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/system_tools.hpp"
#include "helper/program/helper_program_info.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Status = HelperServiceStatus;

constexpr const char* kUnit = "app.tarnel.direct.helper.service";

// The stand-in over a unit directory and a state of its own, and a helper
// program for the unit to start.
class Systemd {
public:
    Systemd() {
        fs::create_directories(units());
        fs::create_directories(state());
        SystemTools::map(SystemTools::systemctl, TARNEL_STANDIN_SYSTEMCTL);
        ::setenv("TARNEL_SYSTEMCTL_ROOT", state().c_str(), 1);
        ::setenv("TARNEL_SYSTEMCTL_UNIT_DIRECTORY", units().c_str(), 1);
        ::setenv("TARNEL_SYSTEMCTL_CALLS", (directory_ / "calls").c_str(), 1);
        files::writeAtomically(program(), "#!/bin/sh\n", 0755);
    }
    ~Systemd() {
        for (const char* name : {"TARNEL_SYSTEMCTL_ROOT", "TARNEL_SYSTEMCTL_UNIT_DIRECTORY", "TARNEL_SYSTEMCTL_CALLS",
                                 "TARNEL_SYSTEMCTL_FAULTS"}) {
            ::unsetenv(name);
        }
        SystemTools::clearMappings();
    }
    Systemd(const Systemd&) = delete;
    Systemd& operator=(const Systemd&) = delete;

    [[nodiscard]] fs::path units() const { return directory_ / "units"; }
    [[nodiscard]] fs::path state() const { return directory_ / "state"; }
    [[nodiscard]] fs::path program() const { return directory_ / "helper"; }
    [[nodiscard]] fs::path unitFile() const { return units() / kUnit; }
    [[nodiscard]] std::string unitText() const {
        return "[Unit]\nDescription=Tarnel Direct Privileged Helper\n\n[Service]\nExecStart=" + program().string() +
               "\n\n[Install]\nWantedBy=multi-user.target\n";
    }
    [[nodiscard]] std::string calls() const { return files::readIfExists(directory_ / "calls").value_or(""); }
    void clearCalls() const { fs::remove(directory_ / "calls"); }
    void setEnablement(const std::string& value) const {
        files::writeAtomically(state() / (std::string(kUnit) + ".state"), value + "\n");
    }
    static void setFaults(const char* faults) { ::setenv("TARNEL_SYSTEMCTL_FAULTS", faults, 1); }

    [[nodiscard]] std::shared_ptr<SystemdHelperServiceRegistrar> registrar() const {
        SystemdHelperService service;
        service.unitText = unitText();
        service.unitDirectory = units();
        return std::make_shared<SystemdHelperServiceRegistrar>(std::move(service));
    }

private:
    TemporaryDirectory directory_;
};

// The helper program must be root's: registration refuses anything else.
#define REQUIRE_ROOT() \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the unit's program must belong to root"

PrivilegedHelperInstaller installerOver(const std::shared_ptr<HelperServiceRegistrar>& registrar) {
    PrivilegedHelperInstaller::Services services;
    services.probeIdentity = [](double) -> PrivilegedHelperIdentity {
        throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::connectionInvalidated);
    };
    services.registrar = registrar;
    services.usesModernRegistration = [] { return true; };
    return PrivilegedHelperInstaller(std::move(services));
}

TEST(SystemdHelperServiceRegistrar, StatusIsTheUnitsEnablement) {
    Systemd systemd;
    const auto registrar = systemd.registrar();
    EXPECT_EQ(registrar->status(), Status::notFound) << "no unit file";
    files::writeAtomically(systemd.unitFile(), systemd.unitText(), 0644);
    const struct {
        const char* enablement;
        Status status;
    } cases[] = {
        {"enabled", Status::enabled},
        {"disabled", Status::notRegistered},
        {"masked", Status::unknown},
    };
    for (const auto& c : cases) {
        systemd.setEnablement(c.enablement);
        EXPECT_EQ(registrar->status(), c.status) << c.enablement;
    }
    Systemd::setFaults("is-enabled:exit=1");
    EXPECT_EQ(registrar->status(), Status::unknown) << "a failed call";
}

TEST(SystemdHelperServiceRegistrar, RegisteringWritesTheUnitReloadsAndEnablesIt) {
    REQUIRE_ROOT();
    Systemd systemd;
    const auto registrar = systemd.registrar();
    const ScopedLogCapture log;
    (void)installerOver(registrar).installModernHelper();
    EXPECT_EQ(files::readIfExists(systemd.unitFile()), systemd.unitText());
    struct stat status {};
    ASSERT_EQ(::stat(systemd.unitFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_EQ(systemd.calls(), "is-enabled " + std::string(kUnit) + "\ndaemon-reload\nenable --now " + kUnit +
                                   "\nis-enabled " + kUnit + "\n");
    EXPECT_EQ(registrar->status(), Status::enabled);

    // From enabled: disabled first, then registered again over the same file,
    // which is left as it is.
    systemd.clearCalls();
    (void)installerOver(registrar).installModernHelper();
    EXPECT_EQ(systemd.calls(), "is-enabled " + std::string(kUnit) + "\ndisable --now " + kUnit +
                                   "\ndaemon-reload\nenable --now " + kUnit + "\nis-enabled " + kUnit + "\n");
    struct stat again {};
    ASSERT_EQ(::stat(systemd.unitFile().c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, status.st_ino);
    EXPECT_EQ(log.entries(), std::vector<LogEntry>{});
}

TEST(SystemdHelperServiceRegistrar, AFailedCallIsTheRegistrationsError) {
    REQUIRE_ROOT();
    Systemd systemd;
    Systemd::setFaults("enable:exit=1:Access denied");
    ScopedLogCapture log;
    EXPECT_EQ(failureOf([&] { (void)installerOver(systemd.registrar()).installModernHelper(); }),
              "The privileged helper could not be installed: Access denied");
    EXPECT_EQ(log.sink().lines(),
              std::vector<std::string>{"helper_registration attempt=1 domain=systemctl code=1"});

    // The error itself, and one without a text of its own.
    Systemd::setFaults("daemon-reload:exit=3:");
    try {
        systemd.registrar()->registerService();
        ADD_FAILURE() << "registered";
    } catch (const HelperServiceRegistrationError& error) {
        EXPECT_EQ(error,
                  HelperServiceRegistrationError("systemctl", 3, "systemctl daemon-reload failed with status 3"));
    }
}

TEST(SystemdHelperServiceRegistrar, AProgramOthersCouldReplaceIsNeverRegistered) {
    REQUIRE_ROOT();
    Systemd systemd;
    fs::permissions(systemd.program(), fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(failureOf([&] { systemd.registrar()->registerService(); }),
              "the helper program " + systemd.program().string() + " is not protected from other users (" +
                  systemd.program().string() + ")");
    fs::remove(systemd.program());
    EXPECT_EQ(failureOf([&] { systemd.registrar()->registerService(); }),
              "the helper program " + systemd.program().string() + " is missing");
    EXPECT_EQ(systemd.calls(), "");
    EXPECT_FALSE(fs::exists(systemd.unitFile()));
}

TEST(SystemdHelperServiceRegistrar, OnlyRootCanReplaceAProtectedProgram) {
    REQUIRE_ROOT();
    TemporaryDirectory directory;
    const fs::path tools = directory / "tools";
    fs::create_directories(tools);
    const fs::path program = tools / "helper";
    files::writeAtomically(program, "#!/bin/sh\n", 0755);
    const fs::path link = directory / "link";
    fs::create_symlink(program, link);
    const struct {
        const char* name;
        fs::perms directoryMode;
        fs::perms programMode;
        uid_t programOwner;
        fs::path checked;
        std::optional<fs::path> unprotected;
    } cases[] = {
        {"root's, private", fs::perms(0755), fs::perms(0755), 0, program, std::nullopt},
        {"through a link", fs::perms(0755), fs::perms(0755), 0, link, std::nullopt},
        {"a sticky shared directory", fs::perms(01777), fs::perms(0755), 0, program, std::nullopt},
        {"a shared directory", fs::perms(0777), fs::perms(0755), 0, program, tools},
        {"a group-writable directory", fs::perms(0775), fs::perms(0755), 0, program, tools},
        {"a group-writable program", fs::perms(0755), fs::perms(0775), 0, program, program},
        {"another user's program", fs::perms(0755), fs::perms(0755), 1, program, program},
        {"another user's program through a link", fs::perms(0755), fs::perms(0755), 1, link, program},
        {"a directory, not a program", fs::perms(0755), fs::perms(0755), 0, tools, tools},
        {"missing", fs::perms(0755), fs::perms(0755), 0, tools / "none", tools / "none"},
    };
    for (const auto& c : cases) {
        fs::permissions(tools, c.directoryMode);
        fs::permissions(program, c.programMode);
        ASSERT_EQ(::chown(program.c_str(), c.programOwner, 0), 0);
        EXPECT_EQ(SystemdUnit::unprotectedEntry(c.checked), c.unprotected) << c.name;
    }
}

TEST(SystemdHelperServiceRegistrar, TheProgramIsTheUnitsOneExecStart) {
    const struct {
        const char* text;
        std::optional<fs::path> program;
    } cases[] = {
        {"[Service]\nExecStart=/usr/libexec/helper --flag\n", fs::path("/usr/libexec/helper")},
        {"[Service]\r\nExecStart = -@/usr/libexec/helper argv0\r\n", fs::path("/usr/libexec/helper")},
        {"[Service]\nExecStart=/a\nExecStart=\nExecStart=/b\n", fs::path("/b")},
        {"[Service]\nExecStart=/a\nExecStart=/b\n", std::nullopt},
        {"[Unit]\nExecStart=/a\n", std::nullopt},
        {"[Service]\n# ExecStart=/a\n", std::nullopt},
        {"[Service]\nExecStart=helper\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemdUnit::execStartProgram(c.text), c.program) << c.text;
    }
}

TEST(SystemdHelperServiceRegistrar, UnregisteringCompletesFromAThreadOfItsOwn) {
    Systemd systemd;
    files::writeAtomically(systemd.unitFile(), systemd.unitText(), 0644);
    systemd.setEnablement("enabled");
    const auto registrar = systemd.registrar();
    const auto unregister = [&] {
        std::promise<std::exception_ptr> outcome;
        registrar->unregisterService([&](std::exception_ptr failure) { outcome.set_value(failure); });
        auto future = outcome.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        return future.get();
    };
    EXPECT_EQ(unregister(), nullptr);
    EXPECT_EQ(registrar->status(), Status::notRegistered);
    EXPECT_EQ(systemd.calls(), "disable --now " + std::string(kUnit) + "\nis-enabled " + kUnit + "\n");

    Systemd::setFaults("disable:exit=5:Unit is busy");
    const std::exception_ptr failure = unregister();
    EXPECT_EQ(failureOf([&] { std::rethrow_exception(failure); }), "Unit is busy");
}

TEST(SystemdHelperServiceRegistrar, TheLegacyAuthorizationIsRootsAndRegisters) {
    REQUIRE_ROOT();
    Systemd systemd;
    SystemdLegacyHelperAuthorizer authorizer(systemd.registrar());
    const auto reference = authorizer.create();
    ASSERT_TRUE(reference);
    EXPECT_TRUE(authorizer.bless("app.tarnel.direct.helper", *reference)) << "blessed without the right";
    EXPECT_EQ(authorizer.copyRight(*reference, "system.privilege.admin", 19),
              SystemdLegacyHelperAuthorizer::authorizationDenied);
    EXPECT_EQ(authorizer.copyRight(*reference, LegacyHelperAuthorizer::blessRight, 19), 0);
    EXPECT_EQ(authorizer.bless("app.tarnel.direct.helper", *reference), std::nullopt);
    EXPECT_EQ(systemd.calls(), "daemon-reload\nenable --now " + std::string(kUnit) + "\n");
    authorizer.free(*reference);
}

// The application registers the unit the helper program carries, byte for byte.
TEST(HelperServiceUnit, TheApplicationsCopyIsTheHelperProgramsSection) {
    if (!fs::exists("/usr/bin/objcopy")) GTEST_SKIP() << "objcopy (binutils) is not installed";
    TemporaryDirectory directory;
    const fs::path section = directory / "unit";
    const BoundedCommandResult result = BoundedCommandRunner::run(
        {"/usr/bin/objcopy",
         {"--dump-section", std::string(HelperProgramInfo::systemdUnitSectionName) + "=" + section.string(),
          "--only-section", std::string(HelperProgramInfo::systemdUnitSectionName), TARNEL_HELPER_PROGRAM,
          (directory / "scratch").string()}},
        1 << 20, withinSeconds(60));
    ASSERT_EQ(result.terminationStatus, 0);
    const auto bytes = files::readIfExists(section);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, HelperServiceUnit::applicationCopy());
    EXPECT_EQ(SystemdUnit::execStartProgram(*bytes).value_or("").filename(), "app.tarnel.direct.helper");
}

}  // namespace
}  // namespace tarnel::testing
