#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "app/tunnel/privileged_helper_client.hpp"

namespace tarnel::testing {

// The helper client as a test scripts it: each operation answers what its
// script gives (throwing is answering too), and one without a script fails
// as an unreachable helper does (connectionInvalidated). Every call is
// recorded with its time-out (or deadline) and the thread it ran on. Safe
// to call from several threads; set the scripts before the calls begin.
class ScriptedHelperClient final : public PrivilegedHelperOperations {
public:
    struct Call {
        std::string operation;
        double timeout = 0.0;  // the deadline (uptime) of prepareRuntime and startTunnel
        std::thread::id thread;
        // The selector of a boolean request; empty for the other operations.
        std::string request;
        // The attempt a request names (its upper-case UUID text); empty when none.
        std::string attempt;
    };

    std::function<PrivilegedHelperIdentity(double timeout)> onHelperIdentity;
    std::function<std::optional<std::int32_t>(double timeout)> onTunnelStatus;
    std::function<bool(double timeout)> onTunnelProtectionStatus;
    std::function<std::string(const Uuid& attemptID, double deadlineUptime)> onPrepareRuntime;
    std::function<PrivilegedTunnelStartResult(const std::string& configuration,
                                              const std::optional<std::string>& tailscaleCompatibility,
                                              const std::string& preparedRuntimeToken, const Uuid& attemptID,
                                              double deadlineUptime)>
        onStartTunnel;
    std::function<void(const Work& work, double timeout, bool checkVersion)> onBooleanRequest;
    std::function<bool(const Work& work, double timeout)> onVersionCheckedBooleanRequest;
    std::function<void(double timeout, bool checkVersion)> onDisableSystemProxy;
    std::function<void(std::string_view serviceName, double timeout, bool checkVersion)> onEnableSystemProxy;
    std::function<void(double timeout, bool checkVersion)> onDisconnectTunnel;
    std::function<void(double timeout, bool checkVersion)> onRenewTunnelProtectionLease;

    [[nodiscard]] std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    [[nodiscard]] PrivilegedHelperIdentity helperIdentity(double timeout) const override {
        return answer("helperIdentity", timeout, onHelperIdentity, timeout);
    }
    [[nodiscard]] std::optional<std::int32_t> tunnelStatus(double timeout) const override {
        return answer("tunnelStatus", timeout, onTunnelStatus, timeout);
    }
    [[nodiscard]] bool tunnelProtectionStatus(double timeout) const override {
        return answer("tunnelProtectionStatus", timeout, onTunnelProtectionStatus, timeout);
    }
    [[nodiscard]] std::string prepareRuntime(const Uuid& attemptID, double deadlineUptime) const override {
        return answer({"prepareRuntime", deadlineUptime, {}, {}, attemptID.text()}, onPrepareRuntime, attemptID,
                      deadlineUptime);
    }
    [[nodiscard]] PrivilegedTunnelStartResult startTunnel(const std::string& configuration,
                                                          const std::optional<std::string>& tailscaleCompatibility,
                                                          const std::string& preparedRuntimeToken,
                                                          const Uuid& attemptID,
                                                          double deadlineUptime) const override {
        return answer({"startTunnel", deadlineUptime, {}, {}, attemptID.text()}, onStartTunnel, configuration,
                      tailscaleCompatibility, preparedRuntimeToken, attemptID, deadlineUptime);
    }
    void performBooleanRequest(const Work& work, double timeout, bool checkVersion) const override {
        answer(requestCall("performBooleanRequest", work, timeout), onBooleanRequest, work, timeout, checkVersion);
    }
    [[nodiscard]] bool performVersionCheckedBooleanRequest(const Work& work, double timeout) const override {
        return answer(requestCall("performVersionCheckedBooleanRequest", work, timeout),
                      onVersionCheckedBooleanRequest, work, timeout);
    }
    void disableSystemProxy(double timeout, bool checkVersion) const override {
        answer("disableSystemProxy", timeout, onDisableSystemProxy, timeout, checkVersion);
    }
    void enableSystemProxy(std::string_view serviceName, double timeout, bool checkVersion) const override {
        answer("enableSystemProxy", timeout, onEnableSystemProxy, serviceName, timeout, checkVersion);
    }
    void disconnectTunnel(double timeout, bool checkVersion) const override {
        answer("disconnectTunnel", timeout, onDisconnectTunnel, timeout, checkVersion);
    }
    void renewTunnelProtectionLease(double timeout, bool checkVersion) const override {
        answer("renewTunnelProtectionLease", timeout, onRenewTunnelProtectionLease, timeout, checkVersion);
    }

private:
    [[nodiscard]] static Call requestCall(std::string operation, const Work& work, double timeout) {
        Call call{std::move(operation), timeout, {}, work.selector, {}};
        const auto attempt = work.arguments.find("attemptIdentifier");
        if (attempt != work.arguments.end()) {
            if (const auto* text = std::get_if<std::string>(&attempt->second)) call.attempt = *text;
        }
        return call;
    }

    template <typename Script, typename... Arguments>
    typename Script::result_type answer(std::string operation, double timeout, const Script& script,
                                        Arguments&&... arguments) const {
        return answer(Call{std::move(operation), timeout, {}, {}, {}}, script, std::forward<Arguments>(arguments)...);
    }
    template <typename Script, typename... Arguments>
    typename Script::result_type answer(Call call, const Script& script, Arguments&&... arguments) const {
        {
            std::lock_guard lock(mutex_);
            call.thread = std::this_thread::get_id();
            calls_.push_back(std::move(call));
        }
        if (!script) throw PrivilegedHelperClientError(PrivilegedHelperClientError::Case::connectionInvalidated);
        return script(std::forward<Arguments>(arguments)...);
    }

    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
};

}  // namespace tarnel::testing
