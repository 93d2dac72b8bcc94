#include "helper/service/helper_program.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <string_view>
#include <utility>

#include "common/base/error.hpp"
#include "common/process/child_process.hpp"
#include "common/process/system_tools.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/service/privileged_helper_protocol.hpp"
#include "helper/service/privileged_helper_service.hpp"
#include "platform/process_info.hpp"

namespace tarnel::HelperProgram {

namespace {

const Log& log() {
    static const Log helperLog("app.tarnel.direct.helper", "helper");
    return helperLog;
}

// The variables that make the dynamic loader load code of the caller's
// choosing into a program: libraries before all others, libraries from other
// directories, and auditing libraries that see every symbol bound.
constexpr std::array<std::string_view, 3> loaderVariables = {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT"};

// The client-validation stage that refuses a process with code in it that
// its signature does not cover, where the kernel tells: a tracer, which can
// write into it, or a loader told to load other libraries at its start.
// Nothing for a process with neither; a process whose state cannot be read
// is refused too.
std::optional<std::string_view> injectedCodeStage(const ProcessHandle& process) {
    const std::optional<pid_t> tracer = process.tracer();
    if (!tracer || *tracer != 0) return "client_tracer";
    const auto names = process.initialEnvironmentNames();
    if (!names) return "client_loader_environment";
    for (const std::string& name : *names) {
        if (std::find(loaderVariables.begin(), loaderVariables.end(), name) != loaderVariables.end()) {
            return "client_loader_environment";
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<ipc::Handler> admit(const HelperEnvironment& environment, const ipc::PeerCredentials& peer) {
    auto service = admittedService(environment, peer);
    if (!service) return std::nullopt;
    return PrivilegedHelperProtocol::handler(std::move(service));
}

std::shared_ptr<const PrivilegedHelperService> admittedService(const HelperEnvironment& environment,
                                                               const ipc::PeerCredentials& peer) {
    // Root never talks to the helper: not even the signed application run
    // with sudo, which would otherwise hand root's user to Tailscale's tool.
    if (peer.effectiveUserIdentifier == 0) return nullptr;
    // A peer whose process could not be looked at when it connected cannot
    // be told from one that took over its identifier.
    if (!peer.process || !peer.handle) return nullptr;
    // Before any code-signing work: a genuine image is worth nothing with
    // other code in it.
    if (const auto stage = injectedCodeStage(*peer.handle)) {
        ClientCodeValidator::log(*stage, std::nullopt);
        return nullptr;
    }

    std::optional<ClientCodeValidator::ValidatedApplication> application;
    try {
        application = ClientCodeValidator::validateApplication(peer.processIdentifier, *environment.runtime.codeSigning);
    } catch (...) {
        // The validator has logged the stage that failed.
        return nullptr;
    }
    // The validation looked the process up by its identifier: it must still
    // be the process that connected.
    if (ProcessInfo::identity(peer.processIdentifier) != peer.process) return nullptr;

    return std::make_shared<const PrivilegedHelperService>(environment.runtime, *application,
                                                           peer.effectiveUserIdentifier,
                                                           PrivilegedHelperService::Shared{});
}

int run(const HelperEnvironment& environment) {
    if (::geteuid() != 0) return 1;
    // A write to a peer that went away must fail, not end the helper.
    ignoreBrokenPipeSignals();
    if (environment.logSink) setLogSink(environment.logSink);
    for (const auto& [systemPath, hostPath] : environment.toolPaths) SystemTools::map(systemPath, hostPath);

    ipc::Server server(PrivilegedHelperProtocol::interface());
    try {
        server.bind(environment.socketPath);
    } catch (const std::exception& error) {
        log().error("helper_listen_failed error=" + errorMessage(error));
        // Another helper serving there owns what an earlier run left; any
        // other failure still settles it, so that a kill switch nobody can
        // renew does not keep the machine blocked while the helper cannot listen.
        const auto* system = dynamic_cast<const SystemError*>(&error);
        if (system == nullptr || system->errnoValue() != EADDRINUSE) {
            PrivilegedRuntime::recoverAtLaunch(environment.runtime);
        }
        return 1;
    }
    // Callers wait in the backlog until what an earlier run left is settled.
    PrivilegedRuntime::recoverAtLaunch(environment.runtime);
    server.serve([&environment](const ipc::PeerCredentials& peer) { return admit(environment, peer); });
    return 0;
}

}  // namespace tarnel::HelperProgram
