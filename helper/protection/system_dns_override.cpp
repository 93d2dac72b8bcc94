#include "helper/protection/system_dns_override.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "common/base/base64.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/interface_names.hpp"

namespace tarnel {

using sysconfig::PropertyList;
namespace names = sysconfig::names;

std::string SystemDNSOverrideError::message() const {
    switch (case_) {
        case Case::networkServiceUnavailable: return "The protected tunnel DNS service could not be identified.";
        case Case::configurationFailed: return "The protected DNS configuration could not be applied or restored.";
        case Case::corruptState: return "The protected DNS recovery state is invalid.";
        case Case::unsafeRuntimeDirectory: return "The protected DNS runtime directory is unsafe.";
    }
    return "The protected DNS configuration could not be applied or restored.";
}

namespace PrivilegedHelperContract {

PropertyList::Dictionary protectedDNSResolverConfiguration(std::string_view interfaceName) {
    validateProtectedDNSInterface(interfaceName);
    return {
        {std::string(names::interfaceName), std::string(interfaceName)},
        {std::string(names::dnsServerAddresses), PropertyList::Array{std::string(protectedDNSAddress)}},
        {std::string(names::dnsSupplementalMatchDomains), PropertyList::Array{""}},
        {std::string(names::dnsSupplementalMatchOrders), PropertyList::Array{100000}},
        {"ConfirmedServiceID", std::string(SystemDNSOverride::serviceIdentifier)},
    };
}

}  // namespace PrivilegedHelperContract

namespace {

using Case = SystemDNSOverrideError::Case;

// A restore record is a few dozen bytes; a legacy one carries a DNS
// configuration of a few hundred.
constexpr std::size_t kMaximumRecordSize = 1024 * 1024;

// Serialises apply and restore across every instance in the process.
std::mutex& overrideMutex() {
    static std::mutex mutex;
    return mutex;
}

[[noreturn]] void fail(Case errorCase) { throw SystemDNSOverrideError(errorCase); }

// The key's value; a store that cannot be read fails the step rather than
// reading as an absent key.
std::optional<PropertyList> copyValue(sysconfig::DynamicStore& store, std::string_view key) {
    try {
        return store.copyValue(key);
    } catch (const sysconfig::SystemConfigurationError&) {
        fail(Case::configurationFailed);
    }
}

bool isLoneTunnelServer(const PropertyList& servers) {
    const auto* list = servers.get<PropertyList::Array>();
    if (list == nullptr || list->size() != 1) return false;
    const auto* address = list->front().get<std::string>();
    return address != nullptr && *address == PrivilegedHelperContract::protectedDNSAddress;
}

}  // namespace

std::string SystemDNSOverride::resolverKey() {
    return sysconfig::networkServiceEntityKey(names::stateDomain, serviceIdentifier, names::dns);
}

SystemDNSOverride::SystemDNSOverride(std::filesystem::path runtimeDirectory,
                                     std::shared_ptr<sysconfig::SystemConfiguration> configuration)
    : runtimeDirectory_(std::move(runtimeDirectory)), configuration_(std::move(configuration)) {}

void SystemDNSOverride::apply(const std::optional<std::string>& interfaceName) {
    if (!interfaceName) fail(Case::networkServiceUnavailable);
    const std::lock_guard guard(overrideMutex());
    restoreLocked();
    const PropertyList resolver = PrivilegedHelperContract::protectedDNSResolverConfiguration(*interfaceName);
    const auto store = openDynamicStore();
    const std::string key = resolverKey();
    saveResolverState(*interfaceName);

    const bool stored = store->setValue(key, resolver);
    std::optional<PropertyList> readBack;
    try {
        readBack = store->copyValue(key);
    } catch (const sysconfig::SystemConfigurationError&) {
        // Judged below as a value that did not come back.
    }
    if (stored && readBack && readBack->get<PropertyList::Dictionary>() != nullptr && *readBack == resolver) return;

    // Put the store back as it was; while the key may still hold a value, the
    // record stays so that the next restore removes it.
    if (copyValue(*store, key) && !store->removeValue(key)) fail(Case::configurationFailed);
    removeRecordIgnoringFailure();
    fail(Case::configurationFailed);
}

void SystemDNSOverride::restore() {
    const std::lock_guard guard(overrideMutex());
    restoreLocked();
}

void SystemDNSOverride::restoreLocked() {
    struct stat status {};
    if (::lstat(statePath().c_str(), &status) != 0 && errno == ENOENT) {
        removeStaleOverrides();
        return;
    }
    if (!undoRecordedChange()) {
        removeStaleOverrides();
        removeRecordIgnoringFailure();
        return;
    }
    files::removeIfExists(statePath());
}

void SystemDNSOverride::removeRecordIgnoringFailure() const noexcept {
    // Never through a directory that others may change: what stands there
    // may be theirs, or lead elsewhere.
    if (files::inspectRootPrivateDirectory(runtimeDirectory_) != files::RootPrivateDirectory::safe) return;
    // Whatever stands at the record's place goes, a directory included (a
    // link itself, not its target), so that the next record can be written.
    std::error_code ignored;
    std::filesystem::remove_all(statePath(), ignored);
}

bool SystemDNSOverride::undoRecordedChange() const {
    LoadedState state;
    try {
        state = loadState();
    } catch (const SystemDNSOverrideError& error) {
        // A record in a directory that is not private to root is neither
        // trusted nor removed: the restore fails and everything stays.
        if (error.errorCase() == Case::unsafeRuntimeDirectory) throw;
        return false;
    } catch (const Error&) {
        return false;
    }
    try {
        if (const auto* legacy = std::get_if<LegacyState>(&state)) {
            restoreLegacyService(*legacy);
        } else {
            removeResolverEntry();
        }
        return true;
    } catch (const SystemDNSOverrideError& error) {
        // A service that is gone can never be restored, and neither can a
        // record whose saved configuration is not a dictionary: keeping such
        // a record would fail every later restore and apply.
        if (error.errorCase() != Case::networkServiceUnavailable && error.errorCase() != Case::corruptState) throw;
        return false;
    } catch (const sysconfig::PropertyListError&) {
        return false;
    }
}

SystemDNSOverride::LoadedState SystemDNSOverride::loadState() const {
    checkRuntimeDirectory(false);
    const auto bytes = files::readRootPrivateFile(statePath(), kMaximumRecordSize);
    if (!bytes) fail(Case::corruptState);
    try {
        const json::Value record = json::parse(*bytes);
        const json::ObjectReader reader(record);
        const auto schema = reader.integer<std::int64_t>("schema");
        if (schema == 2) {
            ResolverState resolver{reader.string("interfaceName")};
            if (!InterfaceNames::isTunnel(resolver.interfaceName)) fail(Case::corruptState);
            return resolver;
        }
        if (schema == 1) {
            LegacyState legacy{schema, reader.string("serviceIdentifier"), reader.string("interfaceName"),
                               reader.boolean("wasEnabled"), std::nullopt};
            if (const auto configuration = reader.optionalString("configuration")) {
                legacy.configuration = base64Decode(*configuration);
                if (!legacy.configuration) fail(Case::corruptState);
            }
            return legacy;
        }
    } catch (const json::JsonError&) {
    }
    fail(Case::corruptState);
}

void SystemDNSOverride::checkRuntimeDirectory(bool creating) const {
    files::ensureRootPrivateDirectory(runtimeDirectory_, {.createWhenMissing = creating},
                                      [](files::RootPrivateDirectory) {
                                          return SystemDNSOverrideError(Case::unsafeRuntimeDirectory);
                                      });
}

void SystemDNSOverride::saveResolverState(std::string_view interfaceName) const {
    PrivilegedHelperContract::validateProtectedDNSInterface(interfaceName);
    checkRuntimeDirectory(true);
    json::OrderedValue record = json::OrderedValue::object();
    record["schema"] = 2;
    record["interfaceName"] = std::string(interfaceName);
    // Created with mode 0600 from the start, never readable by others.
    files::writeAtomically(statePath(), json::writeOrdered(record), 0600);
}

void SystemDNSOverride::removeResolverEntry() const {
    const auto store = openDynamicStore();
    const std::string key = resolverKey();
    if (copyValue(*store, key) && !store->removeValue(key)) fail(Case::configurationFailed);
}

void SystemDNSOverride::removeStaleOverrides() const {
    removeResolverEntry();
    const auto preferences = openPreferences();
    const auto services = preferences->currentSetServices();
    if (!services) fail(Case::configurationFailed);
    bool changed = false;
    for (const auto& service : *services) {
        const auto protocol = preferences->protocol(service.identifier, names::dns);
        if (!protocol || !protocol->configuration) continue;
        auto configuration = *protocol->configuration;
        const auto servers = configuration.find(std::string(names::dnsServerAddresses));
        if (servers == configuration.end() || !isLoneTunnelServer(servers->second)) continue;
        configuration.erase(servers);
        const auto remaining = configuration.empty() ? std::nullopt : std::optional(std::move(configuration));
        if (!preferences->setProtocolConfiguration(service.identifier, names::dns, remaining)) {
            fail(Case::configurationFailed);
        }
        changed = true;
    }
    if (changed && (!preferences->commitChanges() || !preferences->applyChanges())) fail(Case::configurationFailed);
}

void SystemDNSOverride::restoreLegacyService(const LegacyState& state) const {
    if (state.schema != 1) fail(Case::corruptState);
    const auto preferences = openPreferences();
    const auto services = preferences->currentSetServices();
    if (!services) fail(Case::configurationFailed);
    const sysconfig::NetworkService* service = nullptr;
    for (const auto& candidate : *services) {
        if (candidate.identifier == state.serviceIdentifier) {
            service = &candidate;
            break;
        }
    }
    if (service == nullptr || !preferences->protocol(service->identifier, names::dns)) {
        fail(Case::networkServiceUnavailable);
    }
    if (service->interfaceName != state.interfaceName) fail(Case::networkServiceUnavailable);

    std::optional<PropertyList::Dictionary> configuration;
    if (state.configuration) {
        // A parse error passes as it is.
        PropertyList parsed = sysconfig::parsePropertyList(*state.configuration);
        auto* dictionary = parsed.get<PropertyList::Dictionary>();
        if (dictionary == nullptr) fail(Case::corruptState);
        configuration = std::move(*dictionary);
    }
    if (!preferences->setProtocolConfiguration(service->identifier, names::dns, configuration) ||
        !preferences->setProtocolEnabled(service->identifier, names::dns, state.wasEnabled) ||
        !preferences->commitChanges() || !preferences->applyChanges()) {
        fail(Case::configurationFailed);
    }
}

std::unique_ptr<sysconfig::DynamicStore> SystemDNSOverride::openDynamicStore() const {
    auto store = configuration_->openDynamicStore(clientName);
    if (!store) fail(Case::configurationFailed);
    return store;
}

std::unique_ptr<sysconfig::Preferences> SystemDNSOverride::openPreferences() const {
    auto preferences = configuration_->openPreferences(clientName);
    if (!preferences) fail(Case::configurationFailed);
    return preferences;
}

}  // namespace tarnel
