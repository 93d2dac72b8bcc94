// The tunnel's record, "tun-state.json", and what reads it: the status, the
// stop, and the removal of runtime copies that nothing needs any more.

#include <csignal>
#include <filesystem>
#include <system_error>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/protection/system_dns_override.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/runtime_host.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

// A record is about two hundred bytes.
constexpr std::size_t kMaximumTunnelStateSize = 64 * 1024;

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

}  // namespace

bool PrivilegedRuntime::hasTunnelState() const { return files::entryExists(tunnelStatePath()); }

// Only root writes the runtime directory, so a record that is not a private
// regular file of root's is not one the helper wrote.
PrivilegedRuntime::TunnelState PrivilegedRuntime::recordedTunnelState() const {
    const auto bytes = files::readRootPrivateFile(tunnelStatePath(), kMaximumTunnelStateSize);
    if (!bytes) fail(Case::corruptTunnelState);
    try {
        return TunnelState::decode(*bytes);
    } catch (const json::JsonError&) {
        fail(Case::corruptTunnelState);
    }
}

ProcessIdentity PrivilegedRuntime::TunnelState::processIdentity() const {
    return ProcessIdentity{executablePath, startedAtSeconds, startedAtMicroseconds};
}

std::string PrivilegedRuntime::TunnelState::encoded() const {
    json::OrderedValue record = json::OrderedValue::object();
    record["pid"] = pid;
    record["executablePath"] = executablePath;
    record["startedAtSeconds"] = startedAtSeconds;
    record["startedAtMicroseconds"] = startedAtMicroseconds;
    if (startupAttemptIdentifier) record["startupAttemptIdentifier"] = *startupAttemptIdentifier;
    if (tunnelInterface) record["tunnelInterface"] = *tunnelInterface;
    return json::writeOrdered(record);
}

PrivilegedRuntime::TunnelState PrivilegedRuntime::TunnelState::decode(std::string_view text) {
    const json::Value record = json::parse(text);
    const json::ObjectReader reader(record);
    TunnelState state;
    state.pid = reader.integer<std::int32_t>("pid");
    state.executablePath = reader.string("executablePath");
    state.startedAtSeconds = reader.integer<std::uint64_t>("startedAtSeconds");
    state.startedAtMicroseconds = reader.integer<std::uint64_t>("startedAtMicroseconds");
    state.startupAttemptIdentifier = reader.optionalString("startupAttemptIdentifier");
    state.tunnelInterface = reader.optionalString("tunnelInterface");
    return state;
}

std::optional<std::int32_t> PrivilegedRuntime::tunnelStatus() const {
    if (!hasTunnelState()) {
        removeTunnelFiles();
        return std::nullopt;
    }
    const TunnelState state = recordedTunnelState();
    if (RuntimeHost::processIdentity(state.pid) == state.processIdentity()) return state.pid;
    removeTunnelFiles();
    return std::nullopt;
}

void PrivilegedRuntime::stopTunnel(const std::optional<std::filesystem::path>& keeping) const {
    const bool recorded = hasTunnelState();
    if (recorded) {
        const TunnelState state = recordedTunnelState();
        // The pidfd is opened before the identity is compared, so every signal
        // below reaches the process that matched and never one that received
        // its identifier later. Waiting for the exit itself, rather than for
        // the identity to change, also covers a process whose file was renamed
        // while it runs.
        if (const auto process = ProcessHandle::openMatching(state.pid, state.processIdentity())) {
            process->signal(SIGTERM);
            if (!process->waitForExit(tunnelTerminationTimeout, clock())) {
                process->signal(SIGKILL);
                if (!process->waitForExit(tunnelKillTimeout, clock())) fail(Case::tunnelProcessDidNotStop);
            }
        }
    }
    restoreDNSOverride();
    if (recorded) RuntimeHost::waitForTunnelInterfacesToDisappear(clock());
    removeTunnelFiles();
    std::set<std::string> kept;
    if (keeping) kept.insert(keeping->string());
    removeObsoleteRuntimes(kept);
}

void PrivilegedRuntime::removeTunnelFiles() const {
    std::error_code ignored;
    std::filesystem::remove(tunnelStatePath(), ignored);
    std::filesystem::remove(tunnelConfigurationPath(), ignored);
}

void PrivilegedRuntime::removeObsoleteRuntimes(const std::set<std::string>& keeping) const {
    const auto normalized = [](const std::filesystem::path& path) {
        return ClientCodeValidator::standardized(path).string();
    };
    std::set<std::string> kept;
    for (const auto& path : keeping) kept.insert(normalized(path));
    try {
        if (hasTunnelState()) kept.insert(normalized(recordedTunnelState().executablePath));
    } catch (const PrivilegedRuntimeError&) {
        // A record that cannot be read may name any of them: keep them all.
        return;
    }
    // A listing that fails, at its start or on its way, ends the cleanup.
    std::error_code error;
    for (std::filesystem::directory_iterator entry(runtimeDirectory(), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.starts_with('.') || !PrivilegedHelperContract::isObsoleteRuntimeFileName(name)) continue;
        const std::filesystem::path path = runtimeDirectory() / name;
        if (kept.contains(normalized(path))) continue;
        // The cache decides under its lock, sparing its prepared copy and the
        // copy of a preparation in flight.
        preparedRuntimes().removeObsoleteRuntime(path);
    }
}

void PrivilegedRuntime::restoreDNSOverride() const {
    dnsOverride()->restore();
}

}  // namespace tarnel
