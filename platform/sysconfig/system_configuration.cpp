#include "platform/sysconfig/system_configuration.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <utility>

#include "common/base/files.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel::sysconfig {

using Values = std::map<std::string, PropertyList>;

namespace detail {

// Where a store keeps its state. Reads give a consistent value of one part;
// `update` runs a change on both parts under the store's writer lock and
// keeps what it changed when the change answers true. Both throw when the
// store cannot be read or written.
class Storage {
public:
    struct State {
        Values values;
        PreferencesDocument preferences;
    };

    virtual ~Storage() = default;
    // Whether connections can be made (a file store makes its root here).
    [[nodiscard]] virtual bool reachable() const = 0;
    [[nodiscard]] virtual Values readValues() const = 0;
    [[nodiscard]] virtual PreferencesDocument readPreferences() const = 0;
    [[nodiscard]] virtual bool update(const std::function<bool(State&)>& change) = 0;
};

}  // namespace detail

namespace {

using detail::Storage;

// A value the store can keep: written as a property list (every string and key
// well-formed UTF-8 without a NUL byte) that reads back, which also bounds its
// nesting. A store file that could not be read back would refuse every later
// read and change, so what is stored is checked in the place it goes.
bool isStorable(const PropertyList& value) {
    try {
        (void)parsePropertyList(writeBinaryPropertyList(value));
        return true;
    } catch (const PropertyListError&) {
        return false;
    }
}

// A change through the storage, as the flag the system's setters answer: false
// when the change declined or the store could not be read or written.
bool updated(Storage& storage, const std::function<bool(Storage::State&)>& change) {
    try {
        return storage.update(change);
    } catch (const Error&) {
        return false;
    }
}

class StoredDynamicStore final : public DynamicStore {
public:
    explicit StoredDynamicStore(std::shared_ptr<Storage> storage) : storage_(std::move(storage)) {}

    std::optional<PropertyList> copyValue(std::string_view key) override {
        Values values;
        try {
            values = storage_->readValues();
        } catch (const Error&) {
            throw SystemConfigurationError(SystemConfigurationError::Case::storeUnreadable);
        }
        const auto found = values.find(std::string(key));
        if (found == values.end()) return std::nullopt;
        return std::move(found->second);
    }

    bool setValue(std::string_view key, const PropertyList& value) override {
        if (!isStorable(PropertyList(PropertyList::Dictionary{{std::string(key), value}}))) return false;
        return updated(*storage_, [&](Storage::State& state) {
            state.values.insert_or_assign(std::string(key), value);
            return true;
        });
    }

    bool removeValue(std::string_view key) override {
        return updated(*storage_, [&](Storage::State& state) { return state.values.erase(std::string(key)) > 0; });
    }

private:
    std::shared_ptr<Storage> storage_;
};

// The services of the current set that exist, in the set's order; nothing
// without a current set.
using ServiceEntries = std::vector<std::pair<const std::string*, const NetworkServiceEntry*>>;
std::optional<ServiceEntries> currentServiceEntries(const PreferencesDocument& document) {
    if (!document.currentSet) return std::nullopt;
    const auto set = document.sets.find(*document.currentSet);
    if (set == document.sets.end()) return std::nullopt;
    ServiceEntries entries;
    for (const auto& identifier : set->second.services) {
        const auto service = document.services.find(identifier);
        if (service != document.services.end()) entries.emplace_back(&identifier, &service->second);
    }
    return entries;
}

class StoredPreferences final : public Preferences {
public:
    StoredPreferences(std::shared_ptr<Storage> storage, PreferencesDocument document)
        : storage_(std::move(storage)), snapshot_(document), document_(std::move(document)) {}

    std::optional<std::vector<NetworkService>> currentSetServices() override {
        const auto entries = currentServiceEntries(document_);
        if (!entries) return std::nullopt;
        std::vector<NetworkService> services;
        for (const auto& [identifier, entry] : *entries) services.push_back({*identifier, entry->interfaceName});
        return services;
    }

    std::optional<NetworkProtocolEntry> protocol(std::string_view serviceIdentifier, std::string_view type) override {
        const auto* entry = find(serviceIdentifier, type);
        if (entry == nullptr) return std::nullopt;
        return *entry;
    }

    bool setProtocolConfiguration(std::string_view serviceIdentifier, std::string_view type,
                                  const std::optional<PropertyList::Dictionary>& configuration) override {
        auto* entry = find(serviceIdentifier, type);
        if (entry == nullptr) return false;
        auto previous = std::exchange(entry->configuration, configuration);
        if (configuration && !isStorable(document_.toPropertyList())) {
            entry->configuration = std::move(previous);
            return false;
        }
        return true;
    }

    bool setProtocolEnabled(std::string_view serviceIdentifier, std::string_view type, bool enabled) override {
        auto* entry = find(serviceIdentifier, type);
        if (entry == nullptr) return false;
        entry->enabled = enabled;
        return true;
    }

    bool commitChanges() override {
        const bool committed = updated(*storage_, [&](Storage::State& state) {
            if (state.preferences != snapshot_) return false;
            state.preferences = document_;
            return true;
        });
        if (committed) snapshot_ = document_;
        return committed;
    }

    bool applyChanges() override {
        return updated(*storage_, [](Storage::State& state) {
            publishSetup(state);
            return true;
        });
    }

private:
    NetworkProtocolEntry* find(std::string_view serviceIdentifier, std::string_view type) {
        const auto service = document_.services.find(std::string(serviceIdentifier));
        if (service == document_.services.end()) return nullptr;
        const auto protocol = service->second.protocols.find(std::string(type));
        return protocol == service->second.protocols.end() ? nullptr : &protocol->second;
    }

    // The Setup domain of the dynamic store as the stored preferences make it.
    static void publishSetup(Storage::State& state) {
        const std::string prefix = std::string(names::setupDomain) + "/Network/Service/";
        Values desired;
        for (const auto& [identifier, entry] : currentServiceEntries(state.preferences).value_or(ServiceEntries{})) {
            for (const auto& [type, protocol] : entry->protocols) {
                if (protocol.enabled && protocol.configuration) {
                    desired.insert_or_assign(networkServiceEntityKey(names::setupDomain, *identifier, type),
                                             *protocol.configuration);
                }
            }
        }
        std::erase_if(state.values, [&](const auto& entry) {
            return entry.first.starts_with(prefix) && !desired.contains(entry.first);
        });
        for (auto& [key, value] : desired) state.values.insert_or_assign(key, std::move(value));
    }

    std::shared_ptr<Storage> storage_;
    PreferencesDocument snapshot_;
    PreferencesDocument document_;
};

// Files under a root directory.
class FileStorage final : public Storage {
public:
    explicit FileStorage(std::filesystem::path root) : root_(std::move(root)) {}

    // Creates the root (0700) when it does not exist; false when it cannot be
    // made or is not a directory.
    bool reachable() const override {
        struct stat status {};
        if (::stat(root_.c_str(), &status) == 0) return S_ISDIR(status.st_mode);
        if (errno != ENOENT) return false;
        try {
            files::ensurePrivateDirectory(root_);
            return true;
        } catch (const Error&) {
            return false;
        }
    }

    Values readValues() const override {
        const auto bytes = files::readIfExists(valuesPath());
        if (!bytes) return {};
        const PropertyList value = parsePropertyList(*bytes);
        const auto* dictionary = value.get<PropertyList::Dictionary>();
        if (dictionary == nullptr) throw SystemConfigurationError(SystemConfigurationError::Case::storeUnreadable);
        return *dictionary;
    }

    PreferencesDocument readPreferences() const override {
        const auto bytes = files::readIfExists(preferencesPath());
        if (!bytes) return PreferencesDocument::initial();
        return PreferencesDocument::fromPropertyList(parsePropertyList(*bytes));
    }

    bool update(const std::function<bool(State&)>& change) override {
        if (!reachable()) throw SystemConfigurationError(SystemConfigurationError::Case::storeUnreadable);
        const WriterLock lock(root_ / "lock");
        const State before{readValues(), readPreferences()};
        State after = before;
        if (!change(after)) return false;
        if (after.values != before.values) {
            files::writeAtomically(valuesPath(), writeBinaryPropertyList(PropertyList::Dictionary(after.values)));
        }
        if (after.preferences != before.preferences) {
            files::writeAtomically(preferencesPath(), writeBinaryPropertyList(after.preferences.toPropertyList()));
        }
        return true;
    }

private:
    // An exclusive flock on the lock file, held for the life of the object.
    class WriterLock {
    public:
        explicit WriterLock(const std::filesystem::path& path)
            : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
            if (!fd_) throw SystemError("open " + path.string(), errno);
            while (::flock(fd_.get(), LOCK_EX) != 0) {
                if (errno != EINTR) throw SystemError("flock " + path.string(), errno);
            }
        }

    private:
        UniqueFd fd_;
    };

    [[nodiscard]] std::filesystem::path valuesPath() const { return root_ / "dynamic-store.plist"; }
    [[nodiscard]] std::filesystem::path preferencesPath() const { return root_ / "preferences.plist"; }

    std::filesystem::path root_;
};

class MemoryStorage final : public Storage {
public:
    MemoryStorage() { state_.preferences = PreferencesDocument::initial(); }

    bool reachable() const override { return true; }

    Values readValues() const override {
        const std::lock_guard guard(mutex_);
        return state_.values;
    }

    PreferencesDocument readPreferences() const override {
        const std::lock_guard guard(mutex_);
        return state_.preferences;
    }

    bool update(const std::function<bool(State&)>& change) override {
        const std::lock_guard guard(mutex_);
        State after = state_;
        if (!change(after)) return false;
        state_ = std::move(after);
        return true;
    }

private:
    mutable std::mutex mutex_;
    State state_;
};

}  // namespace

StoredSystemConfiguration::StoredSystemConfiguration(std::shared_ptr<detail::Storage> storage)
    : storage_(std::move(storage)) {}

StoredSystemConfiguration::~StoredSystemConfiguration() = default;

std::unique_ptr<DynamicStore> StoredSystemConfiguration::openDynamicStore(std::string_view clientName) {
    if (clientName.empty() || !storage_->reachable()) return nullptr;
    return std::make_unique<StoredDynamicStore>(storage_);
}

std::unique_ptr<Preferences> StoredSystemConfiguration::openPreferences(std::string_view clientName) {
    if (clientName.empty()) return nullptr;
    try {
        return std::make_unique<StoredPreferences>(storage_, storage_->readPreferences());
    } catch (const Error&) {
        return nullptr;
    }
}

std::map<std::string, PropertyList> StoredSystemConfiguration::dynamicStoreValues() const {
    return storage_->readValues();
}

PreferencesDocument StoredSystemConfiguration::preferences() const { return storage_->readPreferences(); }

void StoredSystemConfiguration::replacePreferences(const PreferencesDocument& document) {
    if (!isStorable(document.toPropertyList())) throw PropertyListError(PropertyListError::Case::unwritable);
    (void)storage_->update([&](Storage::State& state) {
        state.preferences = document;
        return true;
    });
}

FileSystemConfiguration::FileSystemConfiguration(const std::filesystem::path& root)
    : StoredSystemConfiguration(std::make_shared<FileStorage>(root)), root_(root) {}

MemorySystemConfiguration::MemorySystemConfiguration()
    : StoredSystemConfiguration(std::make_shared<MemoryStorage>()) {}

}  // namespace tarnel::sysconfig
