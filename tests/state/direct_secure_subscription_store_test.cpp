#include "app/state/direct_secure_subscription_store.hpp"

#include <gtest/gtest.h>

#include "common/base/json.hpp"
#include "tests/support/fake_keychain.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::FakeKeychain;
using Operation = FakeKeychain::Operation;
using Store = DirectSecureSubscriptionStore;
constexpr auto kAfterFirstUnlock = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;

const std::string kService = "app.tarnel.direct.subscription";
const std::string kAccount = "stored-access-v1";

TEST(DirectSecureSubscriptionStoreTest, NamesTheOneItemOfTheStoredAccess) {
    const KeychainItem item = Store::baseQuery();
    EXPECT_EQ(item.service, kService);
    EXPECT_EQ(item.account, kAccount);
    EXPECT_EQ(DirectSecureSubscriptionStoreError().message(), "Secure storage is unavailable.");
    EXPECT_EQ(DirectSecureSubscriptionStoreError().typeName(), "TarnelDirect.DirectSecureSubscriptionStoreError");
}

TEST(DirectSecureSubscriptionStoreTest, SaveAddsOnceThenOnlyUpdates) {
    FakeKeychain keychain;
    Store::save(keychain, "first");
    Store::save(keychain, "second");
    const std::vector<FakeKeychain::Call> expected = {
        {Operation::update, kService, kAccount, "first", std::nullopt},
        {Operation::add, kService, kAccount, "first", kAfterFirstUnlock},
        {Operation::update, kService, kAccount, "second", std::nullopt},
    };
    EXPECT_EQ(keychain.calls(), expected);
    EXPECT_EQ(keychain.item(kService, kAccount), (FakeKeychain::Item{"second", kAfterFirstUnlock}));
}

TEST(DirectSecureSubscriptionStoreTest, SaveFailsUnavailableOnAnyRefusedStatus) {
    struct Case {
        std::vector<KeychainStatus> update;
        std::vector<KeychainStatus> add;
        std::vector<Operation> calls;
    };
    const Case cases[] = {
        {{keychainDuplicateItem}, {}, {Operation::update}},  // no add after a failed update
        {{-25308}, {}, {Operation::update}},
        {{keychainItemNotFound}, {-25308}, {Operation::update, Operation::add}},
    };
    for (const Case& c : cases) {
        FakeKeychain keychain;
        keychain.queue(Operation::update, c.update);
        keychain.queue(Operation::add, c.add);
        EXPECT_EQ(testing::failureOf([&] { Store::save(keychain, "{}"); }), "Secure storage is unavailable.");
        std::vector<Operation> calls;
        for (const auto& call : keychain.calls()) calls.push_back(call.operation);
        EXPECT_EQ(calls, c.calls);
        EXPECT_TRUE(keychain.items().empty());
    }
}

TEST(DirectSecureSubscriptionStoreTest, LoadDecodesTheItemOrGivesNothingWhenThereIsNone) {
    FakeKeychain keychain;
    EXPECT_EQ(Store::load(keychain), std::nullopt);
    keychain.store(kService, kAccount, R"({"subscription":"s","source":"","cache":"c","manifestFloorRevision":4})");
    const std::optional<DirectStoredAccess> loaded = Store::load(keychain);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, (DirectStoredAccess{"s", "", "c", std::nullopt, std::nullopt, 4}));
    const FakeKeychain::Call copy{Operation::copy, kService, kAccount, std::nullopt, std::nullopt};
    EXPECT_EQ(keychain.calls(), std::vector<FakeKeychain::Call>(2, copy));
}

TEST(DirectSecureSubscriptionStoreTest, LoadFailsUnavailableOnOtherStatusesOrNoDataAndPassesDecodingErrorsOn) {
    for (const KeychainStatus status : {-25308, keychainIOError, 1}) {
        FakeKeychain keychain;
        keychain.store(kService, kAccount, R"({"subscription":"s","source":"","cache":"c"})");
        keychain.always(Operation::copy, status);
        EXPECT_THROW((void)Store::load(keychain), DirectSecureSubscriptionStoreError) << status;
    }
    FakeKeychain withoutData;
    withoutData.store(kService, kAccount, R"({"subscription":"s","source":"","cache":"c"})");
    withoutData.copyWithoutData();
    EXPECT_THROW((void)Store::load(withoutData), DirectSecureSubscriptionStoreError);

    FakeKeychain undecodable;
    undecodable.store(kService, kAccount, R"({"subscription":"s","source":"","cache":"c","manifestFormat":"v3"})");
    EXPECT_THROW((void)Store::load(undecodable), json::JsonError);
}

TEST(DirectSecureSubscriptionStoreTest, RemoveSucceedsForAMissingItemAndFailsOnOtherStatuses) {
    FakeKeychain keychain;
    keychain.store(kService, kAccount, "{}");
    Store::remove(keychain);
    EXPECT_TRUE(keychain.items().empty());
    Store::remove(keychain);
    keychain.always(Operation::remove, -25308);
    EXPECT_THROW(Store::remove(keychain), DirectSecureSubscriptionStoreError);
}

}  // namespace
}  // namespace tarnel
