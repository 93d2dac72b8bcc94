#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/state/direct_stored_access.hpp"
#include "common/base/error.hpp"
#include "platform/keychain/keychain.hpp"

namespace tarnel {

class DirectSecureSubscriptionStoreError final : public Error {
public:
    enum class Case {
        // Every keychain status the store does not accept, and a read that
        // gives no data.
        unavailable,
    };

    explicit DirectSecureSubscriptionStoreError(Case errorCase = Case::unavailable) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override {
        return "DirectSecureSubscriptionStoreError";
    }

private:
    Case case_;
};

// The one keychain item that holds the stored access record. The
// application always names it by the service and account below.
struct DirectSecureSubscriptionStore {
    static constexpr std::string_view kService = "app.tarnel.direct.subscription";
    static constexpr std::string_view kAccount = "stored-access-v1";

    // The item every operation starts from.
    [[nodiscard]] static KeychainItem baseQuery(std::string_view service = kService,
                                                std::string_view account = kAccount);

    // The stored record; nothing when there is no item. Throws
    // DirectSecureSubscriptionStoreError for any other failure of the
    // keychain, JsonError for a record that does not decode.
    [[nodiscard]] static std::optional<DirectStoredAccess> load(Keychain& keychain, std::string_view service = kService,
                                                                std::string_view account = kAccount);

    // Replaces the item's value with `json`, or creates the item (readable
    // after the first unlock, on this device only) when there is none. An
    // existing item keeps its accessibility. Throws
    // DirectSecureSubscriptionStoreError.
    static void save(Keychain& keychain, std::string_view json, std::string_view service = kService,
                     std::string_view account = kAccount);

    // Deletes the item; a missing item counts as deleted. Throws
    // DirectSecureSubscriptionStoreError.
    static void remove(Keychain& keychain, std::string_view service = kService, std::string_view account = kAccount);
};

}  // namespace tarnel
