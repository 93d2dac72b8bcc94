#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.hpp"
#include "platform/sysconfig/property_list.hpp"

// The system configuration of the machine as the helper sees it: the dynamic
// store (keys holding property-list values that describe the running network
// state) and the network preferences (network sets, their services and each
// service's protocol settings). Two stores serve the same interfaces: one kept
// in files under a root directory, shared by every process that names the
// same root (the helper, a second helper, the stand-in tools), and one kept in
// memory for unit tests.
namespace tarnel::sysconfig {

// Names of the dynamic store and of the network preferences.
namespace names {
inline constexpr std::string_view stateDomain = "State:";
inline constexpr std::string_view setupDomain = "Setup:";
// The DNS entity of a service, and the type of the DNS protocol.
inline constexpr std::string_view dns = "DNS";
inline constexpr std::string_view interfaceName = "InterfaceName";
inline constexpr std::string_view dnsServerAddresses = "ServerAddresses";
inline constexpr std::string_view dnsSupplementalMatchDomains = "SupplementalMatchDomains";
inline constexpr std::string_view dnsSupplementalMatchOrders = "SupplementalMatchOrders";
}  // namespace names

// The dynamic-store key of one entity of a network service:
// "<domain>/Network/Service/<service>/<entity>".
[[nodiscard]] std::string networkServiceEntityKey(std::string_view domain, std::string_view serviceIdentifier,
                                                  std::string_view entity);

// The store could not be read (a file that cannot be read or holds no valid
// store). Thrown only where a result must not be mistaken for an absent value.
class SystemConfigurationError final : public Error {
public:
    enum class Case { storeUnreadable, invalidPreferences };

    explicit SystemConfigurationError(Case errorCase) noexcept : case_(errorCase) {}
    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SystemConfigurationError"; }

private:
    Case case_;
};

// The network preferences as a document.
struct NetworkProtocolEntry {
    bool enabled = true;
    std::optional<PropertyList::Dictionary> configuration;

    friend bool operator==(const NetworkProtocolEntry&, const NetworkProtocolEntry&) = default;
};

struct NetworkServiceEntry {
    std::string name;
    std::optional<std::string> interfaceName;  // BSD name of the service's interface
    std::map<std::string, NetworkProtocolEntry> protocols;  // by protocol type ("DNS", ...)

    friend bool operator==(const NetworkServiceEntry&, const NetworkServiceEntry&) = default;
};

struct NetworkSetEntry {
    std::string name;
    std::vector<std::string> services;  // service identifiers, in the set's order

    friend bool operator==(const NetworkSetEntry&, const NetworkSetEntry&) = default;
};

// Stored as a property-list dictionary:
//   "CurrentSet" (string, optional): the identifier of the current set;
//   "Sets": { id: { "Name": string, "Services": [service id, ...] } };
//   "Services": { id: { "Name": string, "Interface": string (optional),
//                       "Protocols": { type: { "Enabled": bool,
//                                              "Configuration": dictionary (optional) } } } }.
// Reading refuses missing keys, keys of another type and keys it does not know,
// so that no writer's data is silently dropped.
struct PreferencesDocument {
    std::optional<std::string> currentSet;
    std::map<std::string, NetworkSetEntry> sets;
    std::map<std::string, NetworkServiceEntry> services;

    // A machine without preferences: one current set, "Automatic", without
    // services.
    [[nodiscard]] static PreferencesDocument initial();
    [[nodiscard]] PropertyList toPropertyList() const;
    // Throws SystemConfigurationError invalidPreferences.
    [[nodiscard]] static PreferencesDocument fromPropertyList(const PropertyList& value);

    friend bool operator==(const PreferencesDocument&, const PreferencesDocument&) = default;
};

// One connection to the dynamic store. Every call reaches the store itself,
// so it sees what other connections and processes wrote.
class DynamicStore {
public:
    virtual ~DynamicStore() = default;
    // The value of the key, or nothing when the key is absent. Throws
    // SystemConfigurationError storeUnreadable when the store cannot be read,
    // so that a failure never reads as an absent key.
    [[nodiscard]] virtual std::optional<PropertyList> copyValue(std::string_view key) = 0;
    // True when the value was stored. A value that the store could not read
    // back (text a property list cannot hold, nesting deeper than the reader
    // takes) is refused.
    [[nodiscard]] virtual bool setValue(std::string_view key, const PropertyList& value) = 0;
    // True when the key was removed; false when it was absent or the store
    // could not be changed.
    [[nodiscard]] virtual bool removeValue(std::string_view key) = 0;
};

// A network service of the current set.
struct NetworkService {
    std::string identifier;
    std::optional<std::string> interfaceName;  // BSD name; nothing without an interface

    friend bool operator==(const NetworkService&, const NetworkService&) = default;
};

// One session on the network preferences: a snapshot read when the session is
// opened, changed in memory and written back by commitChanges.
class Preferences {
public:
    virtual ~Preferences() = default;
    // The services of the current set in the set's order; nothing when there
    // is no current set.
    [[nodiscard]] virtual std::optional<std::vector<NetworkService>> currentSetServices() = 0;
    // A service's protocol of the given type; nothing when the service or the
    // protocol does not exist.
    [[nodiscard]] virtual std::optional<NetworkProtocolEntry> protocol(std::string_view serviceIdentifier,
                                                                      std::string_view type) = 0;
    // Replaces the protocol's configuration; nothing removes it. False, with
    // nothing changed, when the protocol does not exist or the configuration
    // could not be stored and read back in its place.
    [[nodiscard]] virtual bool setProtocolConfiguration(std::string_view serviceIdentifier, std::string_view type,
                                                        const std::optional<PropertyList::Dictionary>& configuration) = 0;
    [[nodiscard]] virtual bool setProtocolEnabled(std::string_view serviceIdentifier, std::string_view type,
                                                  bool enabled) = 0;
    // Writes the session's preferences to the store. False, with nothing
    // written, when the stored preferences changed since the session read them
    // or the store cannot be written.
    [[nodiscard]] virtual bool commitChanges() = 0;
    // Puts the stored (committed) preferences in force: every enabled protocol
    // configuration of the current set's services is published in the dynamic
    // store as "Setup:/Network/Service/<service>/<type>", and every other
    // service key of the Setup domain is removed.
    [[nodiscard]] virtual bool applyChanges() = 0;
};

// The system configuration of the machine: opens connections and sessions.
class SystemConfiguration {
public:
    virtual ~SystemConfiguration() = default;
    // Nothing when the store cannot be reached or the client name is empty.
    [[nodiscard]] virtual std::unique_ptr<DynamicStore> openDynamicStore(std::string_view clientName) = 0;
    // Nothing when the preferences cannot be read or the client name is empty.
    [[nodiscard]] virtual std::unique_ptr<Preferences> openPreferences(std::string_view clientName) = 0;
};

namespace detail {
class Storage;
}

// A store over one storage: what the two stores below share. The whole-state
// accessors serve the stand-in tools and tests; they throw the storage's
// SystemError, PropertyListError or SystemConfigurationError.
class StoredSystemConfiguration : public SystemConfiguration {
public:
    ~StoredSystemConfiguration() override;

    [[nodiscard]] std::unique_ptr<DynamicStore> openDynamicStore(std::string_view clientName) override;
    [[nodiscard]] std::unique_ptr<Preferences> openPreferences(std::string_view clientName) override;

    [[nodiscard]] std::map<std::string, PropertyList> dynamicStoreValues() const;
    [[nodiscard]] PreferencesDocument preferences() const;
    void replacePreferences(const PreferencesDocument& document);

protected:
    explicit StoredSystemConfiguration(std::shared_ptr<detail::Storage> storage);

private:
    std::shared_ptr<detail::Storage> storage_;
};

// The store kept in files under a root directory (made 0700 when missing):
// "dynamic-store.plist" (a dictionary of every key) and "preferences.plist"
// (the PreferencesDocument; without the file, the initial document), both in
// the binary property-list format and replaced atomically, so that readers
// never see a partial file. Every change takes an exclusive lock on the file
// "lock" (flock), which serialises writers across threads and processes.
class FileSystemConfiguration final : public StoredSystemConfiguration {
public:
    explicit FileSystemConfiguration(const std::filesystem::path& root);

    [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }

private:
    std::filesystem::path root_;
};

// The store kept in memory, shared by every connection and session opened on
// the same object.
class MemorySystemConfiguration final : public StoredSystemConfiguration {
public:
    MemorySystemConfiguration();
};

}  // namespace tarnel::sysconfig
