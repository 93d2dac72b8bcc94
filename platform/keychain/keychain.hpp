#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// A status of a keychain call: 0 is success, keychainItemNotFound means no
// item matched; any other value is a failure with no further detail.
using KeychainStatus = std::int32_t;
inline constexpr KeychainStatus keychainSuccess = 0;
inline constexpr KeychainStatus keychainItemNotFound = -25300;
// Failures a keychain of this host reports (callers only tell 0 and
// keychainItemNotFound apart from the rest):
inline constexpr KeychainStatus keychainDuplicateItem = -25299;  // add: the item exists
inline constexpr KeychainStatus keychainParameterError = -50;    // a service or account it cannot name
inline constexpr KeychainStatus keychainIOError = -36;           // reading or writing failed
// The keychain or an item is not what it must be (a link, another user's,
// not a directory or not a file); it is left alone.
inline constexpr KeychainStatus keychainInvalid = -25295;

// Who may read an item once it exists; given when the item is created and
// kept by every later update.
enum class KeychainAccessibility {
    afterFirstUnlockThisDeviceOnly,
};

// A generic-password item: its service and account name it. Items are never
// synchronised to other devices.
struct KeychainItem {
    std::string service;
    std::string account;
};

struct KeychainCopyResult {
    KeychainStatus status = keychainItemNotFound;
    std::optional<std::string> data;  // the item's value when status is keychainSuccess
};

// The user's keychain: one value (bytes) per item.
class Keychain {
public:
    virtual ~Keychain() = default;

    [[nodiscard]] virtual KeychainCopyResult copy(const KeychainItem& item) = 0;
    // Replaces the value of an existing item; keychainItemNotFound when none exists.
    virtual KeychainStatus update(const KeychainItem& item, std::string_view data) = 0;
    // Creates the item; fails when it exists.
    virtual KeychainStatus add(const KeychainItem& item, std::string_view data,
                               KeychainAccessibility accessibility) = 0;
    // Deletes the item; keychainItemNotFound when none exists.
    virtual KeychainStatus remove(const KeychainItem& item) = 0;
};

}  // namespace tarnel
