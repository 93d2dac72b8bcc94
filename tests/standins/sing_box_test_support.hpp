#pragma once

// Runs the sing-box stand-in as the helper does (a child process with a
// configuration file, its output in files), and a small HTTP server for its
// proxy to reach.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "standins/sing-box/proxy_protocol.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

extern char** environ;

namespace tarnel::testing {

inline double uptime() { return SystemClock::shared().uptime(); }

// The environment of this process without TARNEL_STANDIN_FAULT and
// TARNEL_STANDIN_CONNECT_TO, plus each of them that is not empty here.
inline std::vector<std::string> environmentWithFaults(const std::string& faults, const std::string& connectTo = "") {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("TARNEL_STANDIN_FAULT=") && !text.starts_with("TARNEL_STANDIN_CONNECT_TO=")) {
            environment.emplace_back(text);
        }
    }
    if (!faults.empty()) environment.push_back("TARNEL_STANDIN_FAULT=" + faults);
    if (!connectTo.empty()) environment.push_back("TARNEL_STANDIN_CONNECT_TO=" + connectTo);
    return environment;
}

// One run of the stand-in: `sing-box run -c <directory>/config.json` with the
// configuration text, launched in `space` when one is given, with the fault
// and connect-to variables when they are not empty.
class StandIn {
public:
    explicit StandIn(const std::string& configuration, const std::string& faults = "",
                     const NetworkNamespace* space = nullptr, const std::string& connectTo = "") {
        files::writeAtomically(configurationPath(), configuration);
        launch({"run", "-c", configurationPath().string()}, faults, space, connectTo);
    }

    // Runs the stand-in with these arguments as they are.
    struct Arguments {
        std::vector<std::string> list;
    };
    explicit StandIn(Arguments arguments, const std::string& faults = "") {
        launch(std::move(arguments.list), faults, nullptr);
    }

    [[nodiscard]] ChildProcess& process() { return *process_; }
    [[nodiscard]] double launchedAt() const { return launchedAt_; }
    [[nodiscard]] std::filesystem::path configurationPath() const { return directory_ / "config.json"; }
    [[nodiscard]] std::string standardOutput() const { return files::readIfExists(directory_ / "stdout").value_or(""); }
    [[nodiscard]] std::string standardError() const { return files::readIfExists(directory_ / "stderr").value_or(""); }

    // Waits for the exit (a generous bound) and gives the exit status.
    ChildProcess::ExitStatus finish(double seconds = 10.0) {
        if (!process_->waitForExit(seconds)) throw std::runtime_error("the stand-in did not exit");
        return *process_->exitStatus();
    }

    // Waits until standard error holds a line that starts with `prefix`
    // (after "sing-box: "); gives the rest of that line.
    std::optional<std::string> waitForLine(std::string_view prefix, double seconds = 5.0) const {
        const double end = uptime() + seconds;
        const std::string wanted = "sing-box: " + std::string(prefix);
        do {
            const std::string text = standardError();
            for (std::size_t start = 0, stop; (stop = text.find('\n', start)) != std::string::npos; start = stop + 1) {
                const std::string_view line = std::string_view(text).substr(start, stop - start);
                if (line.starts_with(wanted)) return std::string(line.substr(wanted.size()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (uptime() < end);
        return std::nullopt;
    }

    // The port of the first mixed inbound, from its "listening on" line.
    std::uint16_t proxyPort() const {
        const auto line = waitForLine("mixed[");
        if (!line) throw std::runtime_error("the proxy did not start: " + standardError());
        const auto colon = line->rfind(':');
        return static_cast<std::uint16_t>(std::stoi(line->substr(colon + 1)));
    }

private:
    void launch(std::vector<std::string> arguments, const std::string& faults, const NetworkNamespace* space,
                const std::string& connectTo = "") {
        const UniqueFd output(::open((directory_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        const UniqueFd error(::open((directory_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (!output || !error) throw SystemError("open the output files", errno);
        ChildProcess::Options options;
        options.executable = TARNEL_STANDIN_SING_BOX;
        options.arguments = std::move(arguments);
        options.environment = environmentWithFaults(faults, connectTo);
        options.inputRedirect = ChildProcess::Redirect::null();
        options.output = ChildProcess::Redirect::to(output.get());
        options.error = ChildProcess::Redirect::to(error.get());
        launchedAt_ = uptime();
        process_ = space != nullptr ? space->launch(options) : ChildProcess::spawn(options);
    }

    TemporaryDirectory directory_;
    std::optional<ChildProcess> process_;
    double launchedAt_ = 0;
};

// curl with an empty environment, so that no proxy setting of the machine
// (NO_PROXY in particular) takes a request around the stand-in.
inline BoundedCommandInvocation curl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-i", "/usr/bin/curl", "-q", "-sS", "--max-time", "5"});
    return {"/usr/bin/env", std::move(arguments)};
}

// Serves every connection with one HTTP response: 200 and the body, then
// close. Binds on the calling thread, so made inside a namespace it serves
// there. Records each request head it received.
class HttpTestServer {
public:
    HttpTestServer(const char* address, std::string body) : body_(std::move(body)) {
        const auto bound = standin::resolveTarget({address, 0});
        if (!bound) throw std::invalid_argument("not an address");
        listener_ = UniqueFd(::socket(bound->ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const auto* socketAddress = reinterpret_cast<const sockaddr*>(&*bound);
        if (!listener_ || ::bind(listener_.get(), socketAddress, standin::lengthOf(*bound)) != 0 ||
            ::listen(listener_.get(), 16) != 0) {
            throw SystemError("listen", errno);
        }
        sockaddr_storage actual{};
        socklen_t actualLength = sizeof actual;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&actual), &actualLength);
        port_ = standin::portOf(actual);
        stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpTestServer() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto ignored = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::vector<std::string> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        for (;;) {
            pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
            const UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) continue;
            const timeval timeout{5, 0};
            ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            std::string head;
            char chunk[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t count = ::recv(client.get(), chunk, sizeof chunk, 0);
                if (count <= 0) break;
                head.append(chunk, static_cast<std::size_t>(count));
            }
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back(head);
            }
            const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                                         "\r\nConnection: close\r\n\r\n" + body_;
            ::send(client.get(), response.data(), response.size(), MSG_NOSIGNAL);
        }
    }

    std::string body_;
    UniqueFd listener_;
    UniqueFd stop_;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace tarnel::testing
