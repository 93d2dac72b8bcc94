#pragma once

// The application end to end: tarnel-app-state-driver (see
// tools/app-state-driver/main.cpp), the window over the application state, as
// the main executable of a signed fixture application, run in a namespace as
// user 65534 against a helper harness, with its settings and keychain in
// directories of its own. The test talks to it in JSON lines; every line it
// writes carries its CLOCK_MONOTONIC stamp, which the test may compare with
// its own (monotonicNow()).

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <cctype>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/http/http_client_settings.hpp"
#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/child_process.hpp"
#include "platform/process_info.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// CLOCK_MONOTONIC now, in seconds: the clock of the driver's stamps.
inline double monotonicNow() { return SystemClock::shared().uptime(); }

// The rest of what the application-state driver runs with (beside its
// traffic checks).
struct AppStateDriverOptions {
    // Names the HTTP layer reaches without a lookup ("sub.tarnel.test"
    // at 127.0.0.1), and host-and-port redirections.
    std::vector<HttpAddressPin> addressPins;
    std::vector<HttpConnectPin> connectPins;
    // More CAs that every HTTPS request trusts besides the checks' one
    // (the subscription server's, when another authority issued it).
    std::vector<std::filesystem::path> moreCAFiles;
    // The application's Info.plist names the test root key of signed
    // route lists (tests/fixtures/manifest/root.spki.b64url).
    bool testTrustRoot = true;
    // "KEY=value" entries of the driver's environment, replacing those of
    // the same name: by default its XDG directories, HOME=/nonexistent,
    // LC_ALL=C and QT_QPA_PLATFORM=offscreen ("QT_QPA_PLATFORM=xcb" and
    // "DISPLAY=:n" put the window on an X server).
    std::vector<std::string> environment;
};

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
        std::filesystem::path caFile;               // the CA every HTTPS request trusts
        // The proxy-mode runtime's environment ("KEY=value"): its stand-in's
        // faults and name mappings. Its probe asks for the trace host.
        std::vector<std::string> runtimeEnvironment;
    };

    using Options = AppStateDriverOptions;

    // A line of the driver's log and when the driver wrote it.
    struct LogEntry {
        std::string text;
        double at = 0;
    };
    // A reply of the driver: the value under its key, and when it was written.
    struct Reply {
        json::Value value;
        double at = 0;
    };

    // Starts the driver in the harness's namespace, against its helper; with
    // `previous`, over the settings and keychain directories of that driver,
    // which must outlive this one.
    AppStateDriver(const HelperHarness& helper, const Checks& checks, const AppStateDriver* previous = nullptr,
                   const Options& options = {}) {
        std::filesystem::permissions(base_, std::filesystem::perms(0755));
        if (previous != nullptr) homes_ = previous->homes_;
        FixtureApplicationOptions application;
        application.executable = buildProduct("tools/app-state-driver/tarnel-app-state-driver");
        if (options.testTrustRoot) {
            const auto key = files::readIfExists(std::filesystem::path(TARNEL_TEST_FIXTURES) / "manifest" /
                                                 "root.spki.b64url");
            if (!key) throw std::runtime_error("missing the test root key");
            application.infoPlistStrings = {{"TarnelTransportManifestRootSPKI", trimmed(*key)}};
        }
        application_ = buildStandInApplication(base_ / "application", application);
        for (const char* tool : {"scutil", "netstat"}) {
            std::filesystem::create_directories(base_ / "tools");
            std::filesystem::create_symlink(buildProduct(std::string("standins/") + tool + "/" + tool),
                                            base_ / "tools" / tool);
        }
        for (const auto& home : {dataHome(), configHome(), output(), runtimeHome()}) {
            if (previous != nullptr && home != output() && home != runtimeHome()) continue;
            std::filesystem::create_directories(home);
            if (::chown(home.c_str(), kUser, kUser) != 0) throw std::runtime_error("chown " + home.string());
        }
        // Qt's runtime directory must be private to its user.
        std::filesystem::permissions(runtimeHome(), std::filesystem::perms::owner_all);
        std::string authorities = files::readIfExists(checks.caFile).value_or("");
        for (const auto& file : options.moreCAFiles) authorities += files::readIfExists(file).value_or("");
        files::writeAtomically(base_ / "ca.pem", authorities, 0644);

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
        settings["addressPins"] = json::Value::array();
        for (const auto& pin : options.addressPins) {
            settings["addressPins"].push_back({{"host", pin.host}, {"port", pin.port}, {"address", pin.address}});
        }
        settings["connectPins"] = json::Value::array();
        for (const auto& pin : options.connectPins) {
            settings["connectPins"].push_back(
                {{"host", pin.host}, {"port", pin.port}, {"toHost", pin.toHost}, {"toPort", pin.toPort}});
        }

        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const UniqueFd readEnd(input[0]);
        input_ = UniqueFd(input[1]);
        ChildProcess::Options launch;
        launch.executable = application_->executable;
        launch.arguments = {json::writeCanonical(settings)};
        launch.environment = withEntries({"XDG_DATA_HOME=" + dataHome().string(),
                                          "XDG_CONFIG_HOME=" + configHome().string(),
                                          "XDG_RUNTIME_DIR=" + runtimeHome().string(), "HOME=/nonexistent",
                                          "LC_ALL=C", "QT_QPA_PLATFORM=offscreen"},
                                         options.environment);
        launch.inputRedirect = ChildProcess::Redirect::to(readEnd.get());
        launch.output = ChildProcess::Redirect::pipe();
        process_.emplace(helper.space().launch(launch));
        reader_ = std::thread([this] { readLines(); });
    }
    ~AppStateDriver() {
        input_ = UniqueFd();
        if (process_ && !process_->waitForExit(10.0)) process_->stop(2.0, 2.0);
        if (reader_.joinable()) reader_.join();
        // A proxy-mode runtime that a killed or failed driver left does not
        // outlive it.
        if (application_) {
            for (const auto& left : ProcessInfo::processesRunningFrom(application_->runtime.parent_path())) {
                ::kill(left.pid, SIGKILL);
            }
        }
    }
    AppStateDriver(const AppStateDriver&) = delete;
    AppStateDriver& operator=(const AppStateDriver&) = delete;

    void send(const json::Value& command) {
        const std::string line = json::writeCanonical(command) + "\n";
        if (::write(input_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            throw std::runtime_error("the driver does not read");
        }
    }

    // Sends `command` with an identifier of its own and waits up to 10 s for
    // its reply: the value under `key`. Throws the driver's error, or when no
    // reply comes.
    Reply request(json::Value command, std::string_view key) {
        std::unique_lock lock(mutex_);
        const std::int64_t id = ++lastRequest_;
        command["id"] = id;
        lock.unlock();
        send(command);
        lock.lock();
        const auto answered = [&] { return replies_.contains(id); };
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return answered() || ended_; }) ||
            !answered()) {
            throw std::runtime_error("the driver gave no reply to " + json::writeCanonical(command));
        }
        const Reply reply = std::move(replies_.at(id));
        replies_.erase(id);
        if (reply.value.contains("error")) {
            throw std::runtime_error("the driver: " + reply.value.at("error").get<std::string>());
        }
        if (!reply.value.contains(key)) throw std::runtime_error("the driver's reply has no " + std::string(key));
        return {reply.value.at(std::string(key)), reply.at};
    }

    // The window's controls by object name; each returns the stamp of the
    // driver's reply, written once the control was worked.
    double press(const std::string& control) {
        return request({{"command", "press"}, {"control", control}}, "pressed").at;
    }
    double setAccessKey(const std::string& text) {
        return request({{"command", "setAccessKey"}, {"text", text}}, "set").at;
    }
    double choose(const std::string& control, const std::string& item) {
        return request({{"command", "choose"}, {"control", control}, {"item", item}}, "chosen").at;
    }
    // {"name", "text", "enabled", "visible", "checked", "texts"(, "selected")}.
    Reply control(const std::string& control) {
        return request({{"command", "control"}, {"control", control}}, "control");
    }
    // A PNG of the window at `path`, which user 65534 may write (output()).
    double grab(const std::filesystem::path& path) {
        return request({{"command", "grab"}, {"path", path.string()}}, "grabbed").at;
    }

    // Every line the driver's log gained so far.
    [[nodiscard]] std::vector<std::string> log() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        for (const LogEntry& entry : log_) lines.push_back(entry.text);
        return lines;
    }
    [[nodiscard]] std::vector<LogEntry> logEntries() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // The driver's state now ({"tunnelStatus", ...}), and when it was read.
    [[nodiscard]] Reply stampedState() { return request({{"command", "state"}}, "state"); }
    [[nodiscard]] json::Value state() { return stampedState().value; }
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
    // The first log entry, from the `from`-th one on, that starts with
    // `prefix`, once written within `seconds`.
    [[nodiscard]] std::optional<LogEntry> waitForEntry(const std::string& prefix, double seconds,
                                                       std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::optional<LogEntry> found;
        changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            for (std::size_t index = from; index < log_.size() && !found; ++index) {
                if (log_[index].text.starts_with(prefix)) found = log_[index];
            }
            return found.has_value() || ended_;
        });
        return found;
    }
    [[nodiscard]] std::optional<std::string> waitForLine(const std::string& prefix, double seconds,
                                                         std::size_t from = 0) {
        const auto entry = waitForEntry(prefix, seconds, from);
        if (!entry) return std::nullopt;
        return entry->text;
    }
    // The text of the driver's settings file.
    [[nodiscard]] std::string settingsText() const {
        return files::readIfExists(configHome() / "Tarnel Direct" / "settings.ini").value_or("");
    }

    // Lines it wrote that were neither log lines nor replies to a request.
    [[nodiscard]] std::vector<std::string> otherLines() const {
        std::lock_guard lock(mutex_);
        return other_;
    }

    // The driver's process.
    [[nodiscard]] pid_t pid() const { return process_->pid(); }
    // Its settings (XDG_CONFIG_HOME) and data (XDG_DATA_HOME) directories.
    [[nodiscard]] std::filesystem::path configHome() const { return homes_ / "config"; }
    [[nodiscard]] std::filesystem::path dataHome() const { return homes_ / "data"; }
    // A directory of this driver's that user 65534 may write (for grab()).
    [[nodiscard]] std::filesystem::path output() const { return base_ / "output"; }
    // Its runtime directory (XDG_RUNTIME_DIR), of this run alone: without
    // one Qt would make one under /tmp and leave it there.
    [[nodiscard]] std::filesystem::path runtimeHome() const { return base_ / "runtime"; }

private:
    static std::string trimmed(std::string text) {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        return text;
    }
    // `entries` with `more` in place of those of the same name, or added.
    static std::vector<std::string> withEntries(std::vector<std::string> entries,
                                                const std::vector<std::string>& more) {
        for (const std::string& entry : more) {
            const std::size_t equals = entry.find('=');
            if (equals == std::string::npos || equals == 0) {
                throw std::invalid_argument("not an environment entry NAME=value: " + entry);
            }
            const std::string name = entry.substr(0, equals + 1);
            std::erase_if(entries, [&](const std::string& existing) { return existing.starts_with(name); });
            entries.push_back(entry);
        }
        return entries;
    }

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
            json::Value value = json::parse(line);
            const double at = value.at("at").get<double>();
            if (value.contains("log")) {
                log_.push_back({value.at("log").get<std::string>(), at});
            } else if (value.contains("id")) {
                const auto id = value.at("id").get<std::int64_t>();
                replies_[id] = {std::move(value), at};
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
    std::vector<LogEntry> log_;
    std::int64_t lastRequest_ = 0;
    std::map<std::int64_t, Reply> replies_;
    std::vector<std::string> other_;
    bool ended_ = false;
};

}  // namespace tarnel::testing
