#pragma once

// The helper program and the application's side of it, for the end-to-end
// tests.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

inline double now() { return SystemClock::shared().uptime(); }

inline const std::string kStartSelector =
    "startTunnelWithConfiguration:tailscaleCompatibility:preparedRuntimeToken:attemptIdentifier:deadlineUptime:"
    "withReply:";

// What one call of the client program printed.
struct Reply {
    int exitStatus = -1;
    json::Value values;

    [[nodiscard]] bool has(const char* key) const { return values.contains(key); }
    [[nodiscard]] std::string text(const char* key) const { return values.at(key).get<std::string>(); }
};

// The test helper program in `space`, over a runtime directory, socket,
// emulated system configuration and log of the harness's own, with the
// pfctl stand-in (recording, or enforcing with `enforcing`), the route tool
// and the networksetup stand-in in place of the system's tools; and the
// client program installed as the main executable of a signed fixture
// application. Everything it started is stopped when it ends.
class HelperHarness {
public:
    explicit HelperHarness(const NetworkNamespace& space, bool enforcing = false) : space_(space) {
        if (enforcing) extraEnvironment_.push_back("TARNEL_PFCTL_ENFORCE=1");
        std::filesystem::create_directories(tools_);
        std::filesystem::create_directories(base_ / "system-configuration");
        std::filesystem::create_symlink(buildProduct("tools/route/tarnel-route"), tools_ / "route");
        std::filesystem::create_symlink(buildProduct("standins/pfctl/pfctl"), tools_ / "pfctl");
        std::filesystem::create_symlink(buildProduct("standins/networksetup/networksetup"), tools_ / "networksetup");
        FixtureApplicationOptions options;
        options.executable = buildProduct("tools/helper-client/tarnel-helper-client");
        application_ = buildStandInApplication(base_ / "application", options);
        std::filesystem::permissions(base_, std::filesystem::perms(0755));
    }
    ~HelperHarness() {
        stopHelper();
        try {
            // Whatever a failed test left running goes before the namespace.
            space_.inside([&] { PrivilegedRuntime::forLaunchRecovery(environment()).stopTunnel(); });
        } catch (...) {
        }
    }
    HelperHarness(const HelperHarness&) = delete;
    HelperHarness& operator=(const HelperHarness&) = delete;

    [[nodiscard]] std::vector<std::string> helperEnvironment() const {
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
        variables.push_back("TARNEL_HELPER_RUNTIME_DIRECTORY=" + runtime_.string());
        variables.push_back("TARNEL_HELPER_SOCKET=" + socket_.string());
        variables.push_back("TARNEL_HELPER_ANCHOR=" + (developmentSigningDirectory() / "anchor.spki.der").string());
        variables.push_back("TARNEL_HELPER_SYSTEM_CONFIGURATION=" + (base_ / "system-configuration").string());
        variables.push_back("TARNEL_HELPER_TOOLS=" + tools_.string());
        variables.push_back("TARNEL_HELPER_LOG=" + log_.string());
        variables.insert(variables.end(), extraEnvironment_.begin(), extraEnvironment_.end());
        return variables;
    }

    // Starts the helper in the namespace and waits until it listens (a
    // socket left by an earlier helper refuses connections).
    void startHelper(const std::vector<std::string>& environment = {}) {
        ChildProcess::Options options;
        options.executable = buildProduct("helper/program/tarnel-helper-test");
        options.environment = helperEnvironment();
        options.environment->insert(options.environment->end(), environment.begin(), environment.end());
        options.inputRedirect = ChildProcess::Redirect::null();
        helper_.emplace(space_.launch(options));
        for (int poll = 0; poll < 1000 && !listening(); ++poll) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    [[nodiscard]] bool listening() const {
        const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
        return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    void stopHelper() {
        if (helper_) helper_->stop(2.0, 2.0);
        helper_.reset();
    }
    void killHelper() {
        ::kill(helper_->pid(), SIGKILL);
        helper_->waitForExit(5.0);
        helper_.reset();
    }
    [[nodiscard]] pid_t helperPid() const { return helper_->pid(); }
    // How the helper ended, once it has within `seconds`; nothing otherwise.
    [[nodiscard]] std::optional<ChildProcess::ExitStatus> helperExit(double seconds) const {
        if (!helper_->waitForExit(seconds)) return std::nullopt;
        return helper_->exitStatus();
    }

    // One call through `client` (the signed application's executable unless
    // another is given).
    Reply call(const std::string& selector, const std::vector<std::string>& arguments = {}, bool asRoot = false,
               std::optional<std::filesystem::path> client = std::nullopt) const {
        std::vector<std::string> words{socket_.string(), selector};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return run(client.value_or(application_->executable), asRoot, std::move(words));
    }

    // Prepares the runtime and starts a tunnel with `configuration` (the
    // text the application would send) through the helper, as the
    // application does; the start's reply.
    Reply startTunnel(const std::string& configuration) const {
        const std::filesystem::path file = base_ / "tunnel-configuration.json";
        // Read by the client after it gave up root.
        files::writeAtomically(file, configuration, 0644);
        const std::string attempt = Uuid::random().text();
        const Reply prepared = call("prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:",
                                    {"attemptIdentifier=text:" + attempt,
                                     "deadlineUptime=number:" + std::to_string(now() + 40.0)});
        if (!prepared.has("token")) throw std::runtime_error("no runtime was prepared: " + prepared.values.dump());
        return call(kStartSelector, {"configuration=data-file:" + file.string(),
                                     "preparedRuntimeToken=text:" + prepared.text("token"),
                                     "attemptIdentifier=text:" + attempt,
                                     "deadlineUptime=number:" + std::to_string(now() + 25.0)});
    }

    // One operation of the application's helper client, run by the signed
    // application (its "result" or its "error" and "error_type").
    Reply operate(const std::string& operation, const std::vector<std::string>& arguments = {},
                  bool asRoot = false) const {
        std::vector<std::string> words{"--operation", socket_.string(), operation};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return run(application_->executable, asRoot, std::move(words));
    }

    [[nodiscard]] PrivilegedRuntimeEnvironment environment() const {
        PrivilegedRuntimeEnvironment environment;
        environment.runtimeDirectory = runtime_;
        environment.codeSigning = std::make_shared<codesign::LocalCodeSigning>(SigningAuthority::development().codeSigning());
        environment.systemConfiguration = std::make_shared<sysconfig::FileSystemConfiguration>(base_ / "system-configuration");
        return environment;
    }

    [[nodiscard]] const NetworkNamespace& space() const { return space_; }
    // The signed fixture application whose executable is the client program.
    [[nodiscard]] const FixtureApplication& application() const { return *application_; }
    [[nodiscard]] const PfctlStandIn& pf() const { return pf_; }
    [[nodiscard]] const std::filesystem::path& base() const { return base_; }
    [[nodiscard]] const std::filesystem::path& runtime() const { return runtime_; }
    [[nodiscard]] const std::filesystem::path& socket() const { return socket_; }
    [[nodiscard]] std::string log() const { return files::readIfExists(log_).value_or(""); }

private:
    Reply run(const std::filesystem::path& client, bool asRoot, std::vector<std::string> words) const {
        BoundedCommandInvocation invocation{client, {}};
        if (asRoot) invocation.arguments.push_back("--as-root");
        invocation.arguments.insert(invocation.arguments.end(), words.begin(), words.end());
        const double deadline = now() + 90.0;
        const BoundedCommandResult result = BoundedCommandRunner::run(invocation, 1 << 20, [deadline](double uptime) {
            if (uptime > deadline) throw std::runtime_error("the client did not finish");
        });
        const std::string& output = result.output;
        Reply reply;
        reply.exitStatus = result.terminationStatus;
        reply.values = json::parse(output.empty() ? "{}" : output);
        return reply;
    }

    const NetworkNamespace& space_;
    std::vector<std::string> extraEnvironment_;
    TemporaryDirectory temporary_;
    std::filesystem::path base_ = realPath(temporary_.path());
    std::filesystem::path runtime_ = base_ / "runtime";
    std::filesystem::path tools_ = base_ / "tools";
    std::filesystem::path socket_ = base_ / "run" / "helper.socket";
    std::filesystem::path log_ = base_ / "helper.log";
    PfctlStandIn pf_{base_ / "pf"};
    std::optional<FixtureApplication> application_;
    std::optional<ChildProcess> helper_;
};

// A test in the client namespace with en0 (192.168.1.20/24) up towards a LAN
// peer, where the helper runs.
class HelperNamespaceTest : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        space_.emplace();
        lan_.emplace();
        space_->addVeth("192.168.1.20/24", VethPeer{&*lan_, "eth0", "192.168.1.1/24"}, "en0");
    }
    std::optional<NetworkNamespace> lan_;
    std::optional<NetworkNamespace> space_;
};

}  // namespace tarnel::testing
