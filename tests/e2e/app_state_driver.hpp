#pragma once

// The application state end to end: tarnel-app-state-driver (see
// app_state_driver.cpp) as the main executable of a signed fixture
// application, run in a namespace as user 65534 against a helper harness,
// with its settings and keychain in directories of its own. The test talks
// to it in JSON lines.

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/child_process.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

class AppStateDriver {
public:
    static constexpr uid_t kUser = 65534;

    // What the driver's traffic checks use.
    struct Checks {
        std::string ipRouteAddress;
        std::string wildcardDNSDomain;
        std::string traceHost;
        int port = 443;
        std::string resolver;                       // asked over UDP on port 53
        std::vector<std::string> allowedAddresses;  // besides loopback
        std::filesystem::path caFile;               // the only CA the HTTPS check trusts
        // The proxy-mode runtime's environment ("KEY=value"): its stand-in's
        // faults and name mappings. Its probe asks for the trace host.
        std::vector<std::string> runtimeEnvironment;
    };

    // Starts the driver in the harness's namespace, against its helper; with
    // `previous`, over the settings and keychain directories of that driver,
    // which must outlive this one.
    AppStateDriver(const HelperHarness& helper, const Checks& checks, const AppStateDriver* previous = nullptr) {
        std::filesystem::permissions(base_, std::filesystem::perms(0755));
        if (previous != nullptr) homes_ = previous->homes_;
        FixtureApplicationOptions options;
        options.executable = buildProduct("tests/e2e/tarnel-app-state-driver");
        application_ = buildStandInApplication(base_ / "application", options);
        for (const char* tool : {"scutil", "netstat"}) {
            std::filesystem::create_directories(base_ / "tools");
            std::filesystem::create_symlink(buildProduct(std::string("standins/") + tool + "/" + tool),
                                            base_ / "tools" / tool);
        }
        for (const auto& home : {dataHome(), configHome()}) {
            if (previous != nullptr) break;
            std::filesystem::create_directories(home);
            if (::chown(home.c_str(), kUser, kUser) != 0) throw std::runtime_error("chown " + home.string());
        }
        files::writeAtomically(base_ / "ca.pem", files::readIfExists(checks.caFile).value_or(""), 0644);

        json::Value settings = json::Value::object();
        settings["socket"] = helper.socket().string();
        settings["tools"] = (base_ / "tools").string();
        settings["caFile"] = (base_ / "ca.pem").string();
        settings["endpoints"] = {{"ipRouteAddress", checks.ipRouteAddress},
                                 {"wildcardDNSDomain", checks.wildcardDNSDomain},
                                 {"traceHost", checks.traceHost},
                                 {"port", checks.port}};
        settings["resolver"] = checks.resolver;
        settings["allowedAddresses"] = checks.allowedAddresses;
        settings["runtimeEnvironment"] = checks.runtimeEnvironment;

        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const UniqueFd readEnd(input[0]);
        input_ = UniqueFd(input[1]);
        ChildProcess::Options launch;
        launch.executable = application_->executable;
        launch.arguments = {json::writeCanonical(settings)};
        launch.environment = std::vector<std::string>{"XDG_DATA_HOME=" + dataHome().string(),
                                                      "XDG_CONFIG_HOME=" + configHome().string(), "HOME=/nonexistent",
                                                      "LC_ALL=C"};
        launch.inputRedirect = ChildProcess::Redirect::to(readEnd.get());
        launch.output = ChildProcess::Redirect::pipe();
        process_.emplace(helper.space().launch(launch));
        reader_ = std::thread([this] { readLines(); });
    }
    ~AppStateDriver() {
        input_ = UniqueFd();
        if (process_ && !process_->waitForExit(10.0)) process_->stop(2.0, 2.0);
        if (reader_.joinable()) reader_.join();
    }
    AppStateDriver(const AppStateDriver&) = delete;
    AppStateDriver& operator=(const AppStateDriver&) = delete;

    void send(const json::Value& command) {
        const std::string line = json::writeCanonical(command) + "\n";
        if (::write(input_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            throw std::runtime_error("the driver does not read");
        }
    }

    // Every line the driver's log gained so far.
    [[nodiscard]] std::vector<std::string> log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // The driver's state now ({"tunnelStatus", ...}).
    [[nodiscard]] json::Value state() {
        std::size_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = states_.size();
        }
        send({{"command", "state"}});
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return states_.size() > seen || ended_; }) ||
            states_.size() == seen) {
            throw std::runtime_error("the driver gave no state");
        }
        return states_.back();
    }
    // Waits up to `seconds` for the connection task to end; its state then.
    [[nodiscard]] std::optional<json::Value> waitUntilTheRunEnds(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            json::Value current = state();
            if (!current.at("running").get<bool>()) return current;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::nullopt;
    }
    // Ends the driver's input; its exit status once it ended.
    [[nodiscard]] std::optional<int> finish(double seconds) {
        input_ = UniqueFd();
        if (!process_->waitForExit(seconds)) return std::nullopt;
        return process_->exitStatus()->terminationStatus();
    }
    // Kills the driver (SIGKILL) as a crash would, and waits for its end.
    void kill() {
        ::kill(process_->pid(), SIGKILL);
        process_->waitForExit(10.0);
    }
    // The first log line, from the `from`-th one on, that starts with
    // `prefix`, once written within `seconds`.
    [[nodiscard]] std::optional<std::string> waitForLine(const std::string& prefix, double seconds,
                                                         std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            for (std::size_t index = from; index < log_.size() && !found; ++index) {
                if (log_[index].starts_with(prefix)) found = log_[index];
            }
            return found.has_value() || ended_;
        });
        return found;
    }
    // The text of the driver's settings file.
    [[nodiscard]] std::string settingsText() const {
        return files::readIfExists(configHome() / "Tarnel Direct" / "settings.ini").value_or("");
    }

    // Lines it wrote that were neither log lines nor states.
    [[nodiscard]] std::vector<std::string> otherLines() const {
        std::lock_guard lock(mutex_);
        return other_;
    }

private:
    [[nodiscard]] std::filesystem::path dataHome() const { return homes_ / "data"; }
    [[nodiscard]] std::filesystem::path configHome() const { return homes_ / "config"; }

    void readLines() {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t count = ::read(process_->standardOutput().get(), buffer, sizeof buffer);
            if (count <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(count));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                take(pending.substr(0, end));
            }
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    void take(const std::string& line) {
        std::lock_guard lock(mutex_);
        try {
            const json::Value value = json::parse(line);
            if (value.contains("log")) {
                log_.push_back(value.at("log").get<std::string>());
            } else if (value.contains("state")) {
                states_.push_back(value.at("state"));
            } else {
                other_.push_back(line);
            }
        } catch (const std::exception&) {
            other_.push_back(line);
        }
        changed_.notify_all();
    }

    TemporaryDirectory temporary_;
    std::filesystem::path base_ = realPath(temporary_.path());
    // Where the settings and keychain directories are.
    std::filesystem::path homes_ = base_;
    std::optional<FixtureApplication> application_;
    UniqueFd input_;
    std::optional<ChildProcess> process_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> log_;
    std::vector<json::Value> states_;
    std::vector<std::string> other_;
    bool ended_ = false;
};

}  // namespace tarnel::testing
