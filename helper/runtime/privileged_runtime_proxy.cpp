// The system proxy: one network service's web, secure-web and SOCKS proxies
// pointed at the application's local proxy with the network-service tool,
// and "proxy-state.json", the record of the service whose proxies are on.

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/log.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/child_process.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/runtime/privileged_runtime.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

// A record is a few dozen bytes; a service name at most 128.
constexpr std::size_t kMaximumProxyStateSize = 4096;

// After the deadline, as the bounded command runner does: SIGTERM, up to
// 0.25 s for the tool to exit, SIGKILL, up to 1.0 s more.
constexpr double kTerminateWait = 0.25;
constexpr double kKillWait = 1.0;

constexpr std::string_view kProxyCommands[] = {"-setwebproxy", "-setsecurewebproxy", "-setsocksfirewallproxy"};
constexpr std::string_view kStateCommands[] = {"-setwebproxystate", "-setsecurewebproxystate",
                                               "-setsocksfirewallproxystate"};
constexpr std::string_view kBypassDomains[] = {"localhost", "127.0.0.1", "::1", "*.local"};

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

// Made once and never destroyed, like the helper's other logs.
const Log& proxyLog() {
    static const Log& log = *new Log("app.tarnel.direct.helper", "system-proxy");
    return log;
}

// The service that the record at `path` names. Only root writes the runtime
// directory, so a record outside a root-private directory, or one that is not
// a private regular file of root's, is not one the helper wrote; and a name
// that fails the check never reaches the tool. Throws corruptProxyState.
std::string recordedService(const std::filesystem::path& directory, const std::filesystem::path& path) {
    if (files::inspectRootPrivateDirectory(directory) != files::RootPrivateDirectory::safe) {
        fail(Case::corruptProxyState);
    }
    const auto bytes = files::readRootPrivateFile(path, kMaximumProxyStateSize);
    if (!bytes) fail(Case::corruptProxyState);
    std::string name;
    try {
        name = PrivilegedRuntime::ProxyState::decode(*bytes).serviceName;
    } catch (const json::JsonError&) {
        fail(Case::corruptProxyState);
    }
    try {
        PrivilegedHelperContract::validateNetworkServiceName(name);
    } catch (const PrivilegedHelperContractError&) {
        fail(Case::corruptProxyState);
    }
    return name;
}

void removeRecord(const std::filesystem::path& path) noexcept {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

}  // namespace

std::string PrivilegedRuntime::ProxyState::encoded() const {
    json::OrderedValue record = json::OrderedValue::object();
    record["serviceName"] = serviceName;
    return json::writeOrdered(record);
}

PrivilegedRuntime::ProxyState PrivilegedRuntime::ProxyState::decode(std::string_view text) {
    const json::Value record = json::parse(text);
    return ProxyState{json::ObjectReader(record).string("serviceName")};
}

void PrivilegedRuntime::enableSystemProxy(std::string_view serviceName) const {
    PrivilegedHelperContract::validateNetworkServiceName(serviceName);
    ensureRuntimeDirectory();
    const std::string name(serviceName);

    // Proxies left on for a service that the record names are turned off
    // first: once the record names the new service, nothing would ever turn
    // them off again. That service may be gone, so its failure only logs.
    if (files::entryExists(proxyStatePath())) {
        std::optional<std::string> previous;
        try {
            previous = recordedService(runtimeDirectory(), proxyStatePath());
        } catch (const PrivilegedRuntimeError&) {
            // Nothing can be known about what such a record meant; the new
            // record replaces it.
            proxyLog().error("system_proxy_previous_state_invalid replacing=true");
        }
        if (previous && *previous != name) {
            try {
                disableProxyStates(*previous);
                removeRecord(proxyStatePath());
            } catch (...) {
                // The service comes last: its name may hold spaces.
                proxyLog().error("system_proxy_previous_service_disable_failed error=" +
                                 errorMessage(std::current_exception()) + " service=" + *previous);
            }
        }
    }

    try {
        for (const std::string_view command : kProxyCommands) {
            runNetworkSetup({std::string(command), name, std::string(systemProxyHost), std::string(systemProxyPort)});
        }
        std::vector<std::string> bypass{"-setproxybypassdomains", name};
        bypass.insert(bypass.end(), std::begin(kBypassDomains), std::end(kBypassDomains));
        runNetworkSetup(bypass);
        // Recorded before any state is turned on: whatever happens from here
        // on, a helper that crashes or fails to undo a state leaves a record
        // for the next disable.
        files::writeAtomically(proxyStatePath(), ProxyState{name}.encoded(), 0600);
        for (const std::string_view command : kStateCommands) {
            runNetworkSetup({std::string(command), name, "on"});
        }
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        try {
            disableProxyStates(name);
            // The service is off now: a record of it (this enable's, or an
            // earlier enable's of the same service) would claim otherwise. A
            // record of another service is left as it is.
            bool recordsThisService = false;
            try {
                recordsThisService = files::entryExists(proxyStatePath()) &&
                                     recordedService(runtimeDirectory(), proxyStatePath()) == name;
            } catch (const PrivilegedRuntimeError&) {
                // A record that cannot be read stays for disable to report.
            }
            if (recordsThisService) removeRecord(proxyStatePath());
        } catch (...) {
            proxyLog().error("system_proxy_enable_cleanup_failed error=" + errorMessage(std::current_exception()));
        }
        std::rethrow_exception(failure);
    }
}

void PrivilegedRuntime::disableSystemProxy() const {
    if (!files::entryExists(proxyStatePath())) return;
    const std::string name = recordedService(runtimeDirectory(), proxyStatePath());
    // A failure keeps the record, so that the next disable tries again.
    disableProxyStates(name);
    removeRecord(proxyStatePath());
}

void PrivilegedRuntime::disableProxyStates(std::string_view serviceName) const {
    std::exception_ptr firstFailure;
    for (const std::string_view command : kStateCommands) {
        try {
            runNetworkSetup({std::string(command), std::string(serviceName), "off"});
        } catch (...) {
            if (!firstFailure) firstFailure = std::current_exception();
        }
    }
    if (firstFailure) std::rethrow_exception(firstFailure);
}

void PrivilegedRuntime::runNetworkSetup(const std::vector<std::string>& arguments) const {
    ChildProcess::Options options;
    options.executable = std::string(SystemTools::networksetup);
    options.arguments = arguments;
    // What the tool prints is of no use to the helper; the null device also
    // means that no output the tool writes can ever block it.
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::null();
    options.error = ChildProcess::Redirect::null();
    // A group of its own, so that the stop below also reaches anything the
    // tool started.
    options.ownProcessGroup = true;
    // A launch failure passes on as the system reports it.
    ChildProcess tool = ChildProcess::spawn(options);
    if (!tool.waitForExit(networkSetupTimeout, clock())) {
        // A tool that cannot be killed is reaped in the background when the
        // object ends; the operation goes on either way.
        tool.stop(kTerminateWait, kKillWait, clock());
        const std::string command = arguments.empty() ? std::string() : arguments.front();
        proxyLog().error("system_proxy_command_timed_out command=" + command);
        fail(Case::networkSetupFailed);
    }
    const auto status = tool.exitStatus();
    if (!status || status->terminationStatus() != 0) fail(Case::networkSetupFailed);
}

}  // namespace tarnel
