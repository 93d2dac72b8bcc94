#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/keychain/keychain.hpp"

namespace tarnel::testing {

// A keychain in memory that records every call and answers as a keychain
// does (add fails on an existing item, the others on a missing one), unless
// a status is scripted for the operation: the queued statuses first, one per
// call, then the lasting one when set. A scripted failure answers the call
// and changes nothing; a scripted 0 lets the call run as usual.
class FakeKeychain final : public Keychain {
public:
    enum class Operation { copy, update, add, remove };

    struct Call {
        Operation operation;
        std::string service;
        std::string account;
        std::optional<std::string> data;  // update and add
        std::optional<KeychainAccessibility> accessibility;  // add

        friend bool operator==(const Call&, const Call&) = default;
    };

    struct Item {
        std::string data;
        KeychainAccessibility accessibility = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;

        friend bool operator==(const Item&, const Item&) = default;
    };
    using Key = std::pair<std::string, std::string>;  // service, account

    // The next calls of the operation answer these statuses, in order.
    void queue(Operation operation, std::vector<KeychainStatus> statuses) {
        auto& queued = script_[operation].queued;
        queued.insert(queued.end(), statuses.begin(), statuses.end());
    }
    // Every call of the operation answers this status once the queue is spent.
    void always(Operation operation, KeychainStatus status) { script_[operation].lasting = status; }
    // Every operation always answers this status.
    void failEverything(KeychainStatus status) {
        for (const Operation operation : {Operation::copy, Operation::update, Operation::add, Operation::remove}) {
            always(operation, status);
        }
    }

    void store(std::string service, std::string account, std::string data,
               KeychainAccessibility accessibility = KeychainAccessibility::afterFirstUnlockThisDeviceOnly) {
        items_[{std::move(service), std::move(account)}] = Item{std::move(data), accessibility};
    }
    [[nodiscard]] std::optional<Item> item(const std::string& service, const std::string& account) const {
        const auto found = items_.find({service, account});
        if (found == items_.end()) return std::nullopt;
        return found->second;
    }
    [[nodiscard]] const std::map<Key, Item>& items() const noexcept { return items_; }
    // A successful copy gives a result that is not data.
    void copyWithoutData() { copyWithoutData_ = true; }
    [[nodiscard]] const std::vector<Call>& calls() const noexcept { return calls_; }

    [[nodiscard]] KeychainCopyResult copy(const KeychainItem& item) override {
        calls_.push_back({Operation::copy, item.service, item.account, std::nullopt, std::nullopt});
        if (const auto failure = nextFailure(Operation::copy)) return {*failure, std::nullopt};
        const auto found = items_.find({item.service, item.account});
        if (found == items_.end()) return {keychainItemNotFound, std::nullopt};
        if (copyWithoutData_) return {keychainSuccess, std::nullopt};
        return {keychainSuccess, found->second.data};
    }

    KeychainStatus update(const KeychainItem& item, std::string_view data) override {
        calls_.push_back({Operation::update, item.service, item.account, std::string(data), std::nullopt});
        if (const auto failure = nextFailure(Operation::update)) return *failure;
        const auto found = items_.find({item.service, item.account});
        if (found == items_.end()) return keychainItemNotFound;
        found->second.data = data;
        return keychainSuccess;
    }

    KeychainStatus add(const KeychainItem& item, std::string_view data, KeychainAccessibility accessibility) override {
        calls_.push_back({Operation::add, item.service, item.account, std::string(data), accessibility});
        if (const auto failure = nextFailure(Operation::add)) return *failure;
        const auto [position, added] = items_.try_emplace({item.service, item.account}, Item{std::string(data), accessibility});
        return added ? keychainSuccess : keychainDuplicateItem;
    }

    KeychainStatus remove(const KeychainItem& item) override {
        calls_.push_back({Operation::remove, item.service, item.account, std::nullopt, std::nullopt});
        if (const auto failure = nextFailure(Operation::remove)) return *failure;
        return items_.erase({item.service, item.account}) != 0 ? keychainSuccess : keychainItemNotFound;
    }

private:
    struct Script {
        std::deque<KeychainStatus> queued;
        std::optional<KeychainStatus> lasting;
    };

    // The scripted status of this call when it is a failure.
    std::optional<KeychainStatus> nextFailure(Operation operation) {
        const auto found = script_.find(operation);
        if (found == script_.end()) return std::nullopt;
        Script& script = found->second;
        std::optional<KeychainStatus> status = script.lasting;
        if (!script.queued.empty()) {
            status = script.queued.front();
            script.queued.pop_front();
        }
        if (status == keychainSuccess) return std::nullopt;
        return status;
    }

    std::map<Key, Item> items_;
    std::map<Operation, Script> script_;
    std::vector<Call> calls_;
    bool copyWithoutData_ = false;
};

}  // namespace tarnel::testing
