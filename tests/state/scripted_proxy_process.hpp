#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/tunnel/sing_box_process.hpp"
#include "common/base/clock.hpp"

namespace tarnel::testing {

// The proxy-mode runtime as a test scripts it: a start runs `onStart` (which
// may throw) and then runs; each probe answers `onProbe` (passing without
// one). Every call is recorded with the clock's uptime; `exit()` makes the
// runtime stop by itself. Safe to call from several threads.
class ScriptedProxyProcess final : public ProxyProcessControl {
public:
    struct Call {
        std::string operation;  // "start", "probe", "terminate"
        double uptime = 0.0;
        std::filesystem::path configuration;  // of a start
    };

    explicit ScriptedProxyProcess(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}

    std::function<void(const std::filesystem::path& configuration)> onStart;
    std::function<bool()> onProbe;

    void start(const std::filesystem::path& configuration) override {
        record({"start", clock_->uptime(), configuration});
        running_ = false;
        if (onStart) onStart(configuration);
        running_ = true;
    }
    [[nodiscard]] bool probeProxy() const override {
        record({"probe", clock_->uptime(), {}});
        return !onProbe || onProbe();
    }
    [[nodiscard]] bool isRunning() const override { return running_; }
    void terminate() override {
        record({"terminate", clock_->uptime(), {}});
        running_ = false;
    }

    void exit() { running_ = false; }
    [[nodiscard]] std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(Call call) const {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    std::shared_ptr<const Clock> clock_;
    std::atomic<bool> running_ = false;
    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
};

}  // namespace tarnel::testing
