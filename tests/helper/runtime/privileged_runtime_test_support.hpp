#pragma once

// A PrivilegedRuntime over a private temporary runtime directory, with a
// signed copy of the sing-box stand-in prepared in it the way runtime
// preparation leaves one, for the tests of the tunnel state, stop and launch.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/uuid.hpp"
#include "common/process/child_process.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/process_info.hpp"
#include "platform/runtime_host.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// The system configuration in memory, counting the dynamic-store sessions
// opened on it. Every DNS restore opens exactly one, with or without a
// restore record, so the count tells how often the restore ran.
class CountingSystemConfiguration final : public sysconfig::SystemConfiguration {
public:
    std::unique_ptr<sysconfig::DynamicStore> openDynamicStore(std::string_view clientName) override {
        ++dynamicStoreSessions;
        return store.openDynamicStore(clientName);
    }
    std::unique_ptr<sysconfig::Preferences> openPreferences(std::string_view clientName) override {
        return store.openPreferences(clientName);
    }

    sysconfig::MemorySystemConfiguration store;
    std::atomic<int> dynamicStoreSessions = 0;
};

// Sets TARNEL_STANDIN_FAULT for the runtimes launched while it lives (they
// inherit the helper's environment).
class ScopedStandInFault {
public:
    explicit ScopedStandInFault(const std::string& faults) { ::setenv("TARNEL_STANDIN_FAULT", faults.c_str(), 1); }
    ~ScopedStandInFault() { ::unsetenv("TARNEL_STANDIN_FAULT"); }
    ScopedStandInFault(const ScopedStandInFault&) = delete;
    ScopedStandInFault& operator=(const ScopedStandInFault&) = delete;
};

// A private runtime directory, a cache of prepared runtimes of its own, the
// code-signing service that trusts the build's development anchor, and a
// system configuration in memory.
class RuntimeFixture {
public:
    RuntimeFixture()
        : directory_(realPath(temporary_.path()) / "runtime"),
          codeSigning_(std::make_shared<codesign::LocalCodeSigning>(SigningAuthority::development().codeSigning())),
          configuration_(std::make_shared<CountingSystemConfiguration>()),
          cache_(std::make_shared<PreparedRuntimeCache>()) {
        files::ensurePrivateDirectory(directory_);
    }

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
    [[nodiscard]] PreparedRuntimeCache& cache() { return *cache_; }
    [[nodiscard]] int dnsRestores() const { return configuration_->dynamicStoreSessions; }
    // The resolver the DNS override published; nothing when none is.
    [[nodiscard]] std::optional<sysconfig::PropertyList> dnsResolver() const {
        return configuration_->store.openDynamicStore("check")->copyValue(SystemDNSOverride::resolverKey());
    }

    // What the runtimes' kill switches use. No test resolves a name through
    // the machine's resolver: every name fails unless a test answers it.
    PacketFilterKillSwitch::Services killSwitchServices = [] {
        PacketFilterKillSwitch::Services services;
        services.resolver = [](const std::string&) { return std::optional<std::vector<sockaddr_storage>>(); };
        return services;
    }();
    ClientCodeValidator::TailscaleInstallation tailscaleInstallation;

    [[nodiscard]] PrivilegedRuntimeEnvironment environment() const {
        PrivilegedRuntimeEnvironment environment;
        environment.runtimeDirectory = directory_;
        environment.codeSigning = codeSigning_;
        environment.preparedRuntimes = cache_;
        environment.systemConfiguration = configuration_;
        environment.killSwitchServices = killSwitchServices;
        environment.tailscaleInstallation = tailscaleInstallation;
        return environment;
    }
    [[nodiscard]] PrivilegedRuntime runtime() const { return PrivilegedRuntime::forLaunchRecovery(environment()); }

    // A copy of the signed stand-in at "<directory>/sing-box-<TOKEN>", root's,
    // mode 0700, described as a preparation describes it.
    [[nodiscard]] PrivilegedRuntime::PreparedRuntime prepareStandIn() const {
        const Uuid token = Uuid::random();
        const std::filesystem::path binary = directory_ / ("sing-box-" + token.text());
        copyFile(developmentSignedStandInRuntime(), binary, std::filesystem::perms::owner_all);
        const auto validated = ClientCodeValidator::validateRuntimeStatic(binary, "runtime_static", *codeSigning_);
        PrivilegedRuntime::PreparedRuntime prepared;
        prepared.token = token;
        prepared.binaryURL = binary;
        prepared.applicationIdentity = "application";
        prepared.runtimeIdentity = validated.codeIdentity;
        prepared.fileIdentity = PrivilegedRuntime::requirePreparedRuntimeFile(binary);
        prepared.designatedRequirement = validated.designatedRequirement;
        return prepared;
    }

    // The runtime of a connection of an application that seals the signed
    // stand-in, validated as admission does, sharing this fixture's directory
    // and cache.
    [[nodiscard]] PrivilegedRuntime applicationRuntime() {
        application_ = buildStandInApplication(realPath(temporary_.path()) / "application");
        const auto created = codeSigning_->createStaticCode(application_->bundle, codesign::flags::none);
        if (created.status != codesign::status::success) throw std::runtime_error("the application has no static code");
        std::string identity = ClientCodeValidator::codeIdentity(*created.value, "application_identity", *codeSigning_);
        return PrivilegedRuntime(environment(), application_->bundle, created.value, std::move(identity), 501);
    }

    // The stand-in as the runtime preparation of `runtime` prepares it.
    [[nodiscard]] static PrivilegedRuntime::PreparedRuntime prepareThrough(const PrivilegedRuntime& runtime) {
        const std::string token = runtime.prepareRuntime(
            PrivilegedRuntimePreparationRequest{Uuid::random(), SystemClock::shared().uptime() + 45.0},
            [] { return false; });
        auto prepared = runtime.cachedPreparedRuntime(token);
        if (!prepared) throw std::runtime_error("the prepared runtime is not in the cache");
        return *prepared;
    }

    // A control whose deadline lies far ahead and that is never cancelled.
    [[nodiscard]] static PrivilegedTunnelStartupControl control(double seconds = 60.0) {
        return PrivilegedTunnelStartupControl(
            PrivilegedTunnelStartupRequest{Uuid::random(), SystemClock::shared().uptime() + seconds, false},
            [] { return false; });
    }

    [[nodiscard]] bool exists(std::string_view name) const {
        struct stat status {};
        return ::lstat((directory_ / name).c_str(), &status) == 0;
    }
    [[nodiscard]] std::string read(std::string_view name) const {
        return files::readIfExists(directory_ / name).value_or("<missing>");
    }
    void write(std::string_view name, std::string_view contents) const {
        files::writeAtomically(directory_ / name, contents, 0600);
    }
    [[nodiscard]] std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

private:
    TemporaryDirectory temporary_;
    std::filesystem::path directory_;
    std::optional<FixtureApplication> application_;
    std::shared_ptr<codesign::LocalCodeSigning> codeSigning_;
    std::shared_ptr<CountingSystemConfiguration> configuration_;
    std::shared_ptr<PreparedRuntimeCache> cache_;
};

// Launches a runtime file with a configuration file ("tun-config.json" unless
// another is given), in `space` when one is given, its output going to the
// null device, and records it in "tun-state.json" as a start does. The test
// keeps the child, so that it can see how the child ended.
inline ChildProcess launchRecorded(const PrivilegedRuntime& runtime, const std::filesystem::path& binary,
                                   const NetworkNamespace* space = nullptr,
                                   std::optional<std::filesystem::path> configuration = std::nullopt) {
    ChildProcess::Options options;
    options.executable = binary;
    options.arguments = {"run", "-c", configuration.value_or(runtime.tunnelConfigurationPath()).string()};
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::null();
    options.error = ChildProcess::Redirect::null();
    ChildProcess child = space != nullptr ? space->launch(options) : ChildProcess::spawn(options);
    // The launch returns once the runtime's image runs.
    const auto identity = ProcessInfo::identity(child.pid());
    if (!identity || identity->executablePath != binary.native()) throw std::runtime_error("the runtime did not start");
    const PrivilegedRuntime::TunnelState state{child.pid(), identity->executablePath, identity->startSeconds,
                                               identity->startMicroseconds, Uuid::random().text(), std::nullopt};
    files::writeAtomically(runtime.tunnelStatePath(), state.encoded(), 0600);
    return child;
}

// Waits, looking inside the namespace every 5 ms, until its tunnel interfaces
// are `expected`; false when they are not within `seconds`.
inline bool waitForTunnelInterfaces(const NetworkNamespace& space, const std::set<std::string>& expected,
                                    double seconds) {
    return space.inside([&] {
        const double end = SystemClock::shared().uptime() + seconds;
        do {
            if (RuntimeHost::activeTunnelInterfaces() == expected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (SystemClock::shared().uptime() < end);
        return false;
    });
}

// The processes that run this executable file now (zombies have none).
inline std::vector<pid_t> processesRunning(const std::filesystem::path& executable) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        if (ProcessInfo::executablePath(pid) == executable.native()) found.push_back(pid);
    }
    return found;
}

// A process that no process of the test is the parent of, as a runtime
// looks once the helper that launched it was killed: started through
// `setsid -f`, whose own process ends at once, so that it is handed to the
// system's init. Found by its executable, which must be a path no other
// process runs; held through a pidfd, and killed when the object ends.
class OrphanedProcess {
public:
    OrphanedProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                    const NetworkNamespace* space = nullptr) {
        ChildProcess::Options options;
        options.executable = "/usr/bin/setsid";
        options.arguments = {"-f", executable.string()};
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        options.inputRedirect = ChildProcess::Redirect::null();
        options.output = ChildProcess::Redirect::null();
        options.error = ChildProcess::Redirect::null();
        ChildProcess starter = space != nullptr ? space->launch(options) : ChildProcess::spawn(options);
        if (!starter.waitForExit(10.0)) throw std::runtime_error("setsid did not end");
        const double end = SystemClock::shared().uptime() + 10.0;
        for (;;) {
            const auto found = processesRunning(executable);
            if (found.size() == 1) {
                pid_ = found.front();
                pidfd_ = pidfd::open(pid_);
                if (pidfd_) return;
            }
            if (found.size() > 1) throw std::runtime_error("more than one process runs " + executable.string());
            if (SystemClock::shared().uptime() > end) throw std::runtime_error(executable.string() + " did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~OrphanedProcess() {
        if (pidfd_) pidfd::sendSignal(pidfd_.get(), SIGKILL);
    }
    OrphanedProcess(const OrphanedProcess&) = delete;
    OrphanedProcess& operator=(const OrphanedProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // True once it has exited (reaped or not: init reaps it).
    [[nodiscard]] bool waitForExit(double seconds) const {
        return pidfd::waitForExit(pidfd_.get(), seconds, SystemClock::shared());
    }

private:
    pid_t pid_ = 0;
    UniqueFd pidfd_;
};

}  // namespace tarnel::testing
