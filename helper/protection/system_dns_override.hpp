#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/base/error.hpp"
#include "platform/sysconfig/system_configuration.hpp"

namespace tarnel {

class SystemDNSOverrideError final : public Error {
public:
    enum class Case { networkServiceUnavailable, configurationFailed, corruptState, unsafeRuntimeDirectory };

    explicit SystemDNSOverrideError(Case errorCase) noexcept : case_(errorCase) {}
    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SystemDNSOverrideError"; }

    friend bool operator==(const SystemDNSOverrideError& a, const SystemDNSOverrideError& b) {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

namespace PrivilegedHelperContract {

// The supplemental resolver that sends every name to the tunnel's DNS address:
// the interface name, the server list [172.19.0.2], the match domains [""]
// (every domain), the match orders [100000] and "ConfirmedServiceID". Throws
// invalidConfiguration unless the name is a tunnel interface name.
[[nodiscard]] sysconfig::PropertyList::Dictionary protectedDNSResolverConfiguration(std::string_view interfaceName);

}  // namespace PrivilegedHelperContract

// Points the machine's name resolution at the tunnel while it runs, and puts
// it back. The resolver is a dynamic-store entry under a service identifier of
// our own; the restore record "dns-state.json" in the runtime directory is
// written before the store is changed and removed only after the change was
// undone, so that a helper that died in between undoes it at its next start.
// Restore also removes what an earlier form of the override left in the
// network preferences (schema 1 records, and lone 172.19.0.2 server lists).
//
// Apply and restore of every instance in the process are serialised by one
// mutex of their own. Callers reach them under their own locks (the runtime's
// operation lock, the kill-switch lock, or none on the watchdog's path), so
// the DNS mutex is always taken last and this class calls nothing that takes
// another lock.
class SystemDNSOverride {
public:
    static constexpr std::string_view clientName = "app.tarnel.direct.helper.dns";
    static constexpr std::string_view serviceIdentifier = "1429A615-C54F-41B0-B7DA-69688D14C9DB";
    static constexpr std::string_view stateFileName = "dns-state.json";

    // "State:/Network/Service/1429A615-C54F-41B0-B7DA-69688D14C9DB/DNS".
    [[nodiscard]] static std::string resolverKey();

    // The restore record, schema 2: the resolver bound to this tunnel
    // interface.
    struct ResolverState {
        std::string interfaceName;
        friend bool operator==(const ResolverState&, const ResolverState&) = default;
    };
    // Schema 1, read only: a network service whose DNS settings were rewritten.
    struct LegacyState {
        std::int64_t schema = 1;
        std::string serviceIdentifier;
        std::string interfaceName;
        bool wasEnabled = false;
        // The earlier DNS configuration as property-list bytes; nothing when
        // the service had none.
        std::optional<std::string> configuration;
        friend bool operator==(const LegacyState&, const LegacyState&) = default;
    };
    using LoadedState = std::variant<ResolverState, LegacyState>;

    SystemDNSOverride(std::filesystem::path runtimeDirectory,
                      std::shared_ptr<sysconfig::SystemConfiguration> configuration);

    // Restores whatever is recorded, then publishes the resolver for the
    // tunnel interface and checks that the store holds exactly it. Throws
    // networkServiceUnavailable without a name (before anything else),
    // PrivilegedHelperContractError invalidConfiguration for a name that is not
    // a tunnel interface (after the restore), configurationFailed when the
    // store refuses the change (which is then undone), unsafeRuntimeDirectory,
    // and the file errors of writing the record.
    void apply(const std::optional<std::string>& interfaceName);

    // Undoes what the record names and sweeps stale settings; safe to call at
    // any time. The record stays whenever this throws.
    void restore();

    // Reads the record. Throws unsafeRuntimeDirectory, or corruptState for a
    // record that is not a private regular file of root's, is not JSON of a
    // known schema, or names an interface that is not a tunnel interface.
    [[nodiscard]] LoadedState loadState() const;

    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const noexcept { return runtimeDirectory_; }

private:
    void restoreLocked();
    // Undoes what the record names. False when it names nothing that can
    // ever be undone: a record that cannot be read, a service that is gone,
    // or a saved configuration that is not a dictionary. Throws the failures
    // that a later restore may get past.
    [[nodiscard]] bool undoRecordedChange() const;
    void checkRuntimeDirectory(bool creating) const;
    void saveResolverState(std::string_view interfaceName) const;
    void removeResolverEntry() const;
    void removeStaleOverrides() const;
    void restoreLegacyService(const LegacyState& state) const;
    [[nodiscard]] std::unique_ptr<sysconfig::DynamicStore> openDynamicStore() const;
    [[nodiscard]] std::unique_ptr<sysconfig::Preferences> openPreferences() const;
    [[nodiscard]] std::filesystem::path statePath() const { return runtimeDirectory_ / stateFileName; }

    std::filesystem::path runtimeDirectory_;
    std::shared_ptr<sysconfig::SystemConfiguration> configuration_;
};

}  // namespace tarnel
