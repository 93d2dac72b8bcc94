#include "app/state/direct_secure_subscription_store.hpp"

namespace tarnel {

std::string DirectSecureSubscriptionStoreError::message() const {
    switch (case_) {
        case Case::unavailable: return "Secure storage is unavailable.";
    }
    return "Secure storage is unavailable.";
}

KeychainItem DirectSecureSubscriptionStore::baseQuery(std::string_view service, std::string_view account) {
    return KeychainItem{std::string(service), std::string(account)};
}

std::optional<DirectStoredAccess> DirectSecureSubscriptionStore::load(Keychain& keychain, std::string_view service,
                                                                      std::string_view account) {
    const KeychainCopyResult result = keychain.copy(baseQuery(service, account));
    if (result.status == keychainItemNotFound) return std::nullopt;
    if (result.status != keychainSuccess || !result.data) throw DirectSecureSubscriptionStoreError();
    return decodeDirectStoredAccess(*result.data);
}

void DirectSecureSubscriptionStore::save(Keychain& keychain, std::string_view json, std::string_view service,
                                         std::string_view account) {
    const KeychainItem item = baseQuery(service, account);
    const KeychainStatus updated = keychain.update(item, json);
    if (updated == keychainSuccess) return;
    if (updated != keychainItemNotFound) throw DirectSecureSubscriptionStoreError();
    if (keychain.add(item, json, KeychainAccessibility::afterFirstUnlockThisDeviceOnly) != keychainSuccess) {
        throw DirectSecureSubscriptionStoreError();
    }
}

void DirectSecureSubscriptionStore::remove(Keychain& keychain, std::string_view service, std::string_view account) {
    const KeychainStatus status = keychain.remove(baseQuery(service, account));
    if (status != keychainSuccess && status != keychainItemNotFound) throw DirectSecureSubscriptionStoreError();
}

}  // namespace tarnel
