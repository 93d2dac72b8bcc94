#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/base/log.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/ipc/server.hpp"

namespace tarnel {

class PrivilegedHelperService;

// Everything the helper program takes from where it runs. The production
// values are the macOS ones (HelperProgram::productionEnvironment); the
// test-only helper program fills them from its environment variables.
struct HelperEnvironment {
    // The runtime directory, the code-signing service with its anchor, the
    // clock, the system configuration, the kill switch's services and where
    // Tailscale lives.
    PrivilegedRuntimeEnvironment runtime;
    // Where the service listens.
    std::filesystem::path socketPath;
    // System tools run from other paths: system path → host path
    // (SystemTools::map). Empty in production.
    std::map<std::string, std::filesystem::path> toolPaths;
    // Where the log goes; nothing: syslog.
    std::shared_ptr<LogSink> logSink;
};

namespace HelperProgram {

// The admission of one connection, in this order: a caller running as root
// is refused before any code-signing work; so is a process with code in it
// that no signature covers, where the kernel tells: one that is traced
// (TracerPid not 0), or whose environment at its start holds LD_PRELOAD,
// LD_LIBRARY_PATH or LD_AUDIT (each refusal logged as a client-validation
// stage, "client_tracer" or "client_loader_environment"); then the calling
// application is validated by its process identifier; then the process must
// still be the one that connected (same executable and start time as at the
// accept), so that a process identifier reused after the caller exited never
// borrows the validation. The IPC server has already bound the connection to
// that process (same namespaces, and it serves only that process's requests
// while it runs the executable it ran when admitted). An admitted connection
// gets a service of its own, with a runtime of its own, for the validated
// application and the caller's user.
[[nodiscard]] std::optional<ipc::Handler> admit(const HelperEnvironment& environment,
                                                const ipc::PeerCredentials& peer);
// The service that `admit` serves the connection with; nothing when refused.
[[nodiscard]] std::shared_ptr<const PrivilegedHelperService> admittedService(const HelperEnvironment& environment,
                                                                            const ipc::PeerCredentials& peer);

// The helper's whole life. Not root: answers 1 at once, having created,
// logged and read nothing. Otherwise binds the socket (callers wait in the
// backlog from then on), reconciles what an earlier run left (launch
// recovery, which also starts the kill-switch watchdog), and only then
// serves, for ever. Answers 1 when the socket cannot be bound.
int run(const HelperEnvironment& environment);

}  // namespace HelperProgram

}  // namespace tarnel
