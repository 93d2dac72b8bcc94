#pragma once

#include <filesystem>

#include "platform/keychain/keychain.hpp"

namespace tarnel {

// The user's keychain on this host: the directory "keychain" in the user's
// data directory, private to the user (mode 0700, owned by the user, not a
// link), with one file "<service>#<account>" per item (mode 0600, written
// atomically), whose bytes are the item's value. Service and account are
// each one or more of [A-Za-z0-9._-]; other names fail with
// keychainParameterError.
//
// The keychain refuses (keychainInvalid) and never reads, changes or
// follows a keychain directory that is a link, not a directory or another
// user's, nor an item that is a link, not a regular file or another user's.
// Reading or removing never creates the directory; adding does, 0700 (with
// missing parents). An own directory or item with a wider mode is set back
// to 0700 or 0600. Item names are the only files it reads.
class FileKeychain final : public Keychain {
public:
    // The keychain of the data directory `dataHome` (for the user:
    // UserDirectories::applicationSupport()).
    explicit FileKeychain(const std::filesystem::path& dataHome) : directory_(dataHome / "keychain") {}

    [[nodiscard]] const std::filesystem::path& directory() const noexcept { return directory_; }

    [[nodiscard]] KeychainCopyResult copy(const KeychainItem& item) override;
    KeychainStatus update(const KeychainItem& item, std::string_view data) override;
    KeychainStatus add(const KeychainItem& item, std::string_view data, KeychainAccessibility accessibility) override;
    KeychainStatus remove(const KeychainItem& item) override;

    // The largest item it reads; a larger file fails with keychainIOError.
    static constexpr std::size_t kMaximumItemSize = 16 * 1024 * 1024;

private:
    std::filesystem::path directory_;
};

}  // namespace tarnel
