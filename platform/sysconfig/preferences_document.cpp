#include <initializer_list>
#include <utility>

#include "platform/sysconfig/system_configuration.hpp"

namespace tarnel::sysconfig {

namespace {

using Dictionary = PropertyList::Dictionary;

[[noreturn]] void invalid() {
    throw SystemConfigurationError(SystemConfigurationError::Case::invalidPreferences);
}

// One dictionary of the document: every key must be one of `known`, and the
// typed reads refuse a missing key or a value of another kind.
class Fields {
public:
    Fields(const PropertyList& value, std::initializer_list<std::string_view> known) {
        dictionary_ = value.get<Dictionary>();
        if (dictionary_ == nullptr) invalid();
        for (const auto& entry : *dictionary_) {
            bool isKnown = false;
            for (const auto name : known) isKnown = isKnown || entry.first == name;
            if (!isKnown) invalid();
        }
    }

    [[nodiscard]] const PropertyList* optional(const std::string& key) const {
        const auto found = dictionary_->find(key);
        return found == dictionary_->end() ? nullptr : &found->second;
    }
    template <typename T>
    [[nodiscard]] const T& required(const std::string& key) const {
        const T* value = optionalOf<T>(key);
        if (value == nullptr) invalid();
        return *value;
    }
    template <typename T>
    [[nodiscard]] const T* optionalOf(const std::string& key) const {
        const PropertyList* value = optional(key);
        if (value == nullptr) return nullptr;
        const T* typed = value->get<T>();
        if (typed == nullptr) invalid();
        return typed;
    }

private:
    const Dictionary* dictionary_ = nullptr;
};

NetworkProtocolEntry protocolFrom(const PropertyList& value) {
    const Fields fields(value, {"Enabled", "Configuration"});
    NetworkProtocolEntry entry;
    entry.enabled = fields.required<bool>("Enabled");
    if (const auto* configuration = fields.optionalOf<Dictionary>("Configuration")) entry.configuration = *configuration;
    return entry;
}

NetworkServiceEntry serviceFrom(const PropertyList& value) {
    const Fields fields(value, {"Name", "Interface", "Protocols"});
    NetworkServiceEntry entry;
    entry.name = fields.required<std::string>("Name");
    if (const auto* interfaceName = fields.optionalOf<std::string>("Interface")) entry.interfaceName = *interfaceName;
    for (const auto& [type, protocol] : fields.required<Dictionary>("Protocols")) {
        entry.protocols.emplace(type, protocolFrom(protocol));
    }
    return entry;
}

NetworkSetEntry setFrom(const PropertyList& value) {
    const Fields fields(value, {"Name", "Services"});
    NetworkSetEntry entry;
    entry.name = fields.required<std::string>("Name");
    for (const auto& service : fields.required<PropertyList::Array>("Services")) {
        const auto* identifier = service.get<std::string>();
        if (identifier == nullptr) invalid();
        entry.services.push_back(*identifier);
    }
    return entry;
}

}  // namespace

std::string SystemConfigurationError::message() const {
    switch (case_) {
        case Case::storeUnreadable: return "The system configuration store could not be read.";
        case Case::invalidPreferences: return "The network preferences are invalid.";
    }
    return "The system configuration store could not be read.";
}

std::string networkServiceEntityKey(std::string_view domain, std::string_view serviceIdentifier,
                                    std::string_view entity) {
    std::string key(domain);
    key += "/Network/Service/";
    key += serviceIdentifier;
    key += '/';
    key += entity;
    return key;
}

PreferencesDocument PreferencesDocument::initial() {
    PreferencesDocument document;
    document.currentSet = "Automatic";
    document.sets.emplace("Automatic", NetworkSetEntry{"Automatic", {}});
    return document;
}

PropertyList PreferencesDocument::toPropertyList() const {
    Dictionary setsValue;
    for (const auto& [identifier, set] : sets) {
        PropertyList::Array servicesValue(set.services.begin(), set.services.end());
        setsValue.emplace(identifier, Dictionary{{"Name", set.name}, {"Services", std::move(servicesValue)}});
    }
    Dictionary servicesValue;
    for (const auto& [identifier, service] : services) {
        Dictionary protocolsValue;
        for (const auto& [type, protocol] : service.protocols) {
            Dictionary protocolValue{{"Enabled", protocol.enabled}};
            if (protocol.configuration) protocolValue.emplace("Configuration", *protocol.configuration);
            protocolsValue.emplace(type, std::move(protocolValue));
        }
        Dictionary serviceValue{{"Name", service.name}, {"Protocols", std::move(protocolsValue)}};
        if (service.interfaceName) serviceValue.emplace("Interface", *service.interfaceName);
        servicesValue.emplace(identifier, std::move(serviceValue));
    }
    Dictionary document{{"Sets", std::move(setsValue)}, {"Services", std::move(servicesValue)}};
    if (currentSet) document.emplace("CurrentSet", *currentSet);
    return document;
}

PreferencesDocument PreferencesDocument::fromPropertyList(const PropertyList& value) {
    const Fields fields(value, {"CurrentSet", "Sets", "Services"});
    PreferencesDocument document;
    if (const auto* currentSet = fields.optionalOf<std::string>("CurrentSet")) document.currentSet = *currentSet;
    for (const auto& [identifier, set] : fields.required<Dictionary>("Sets")) {
        document.sets.emplace(identifier, setFrom(set));
    }
    for (const auto& [identifier, service] : fields.required<Dictionary>("Services")) {
        document.services.emplace(identifier, serviceFrom(service));
    }
    return document;
}

}  // namespace tarnel::sysconfig
