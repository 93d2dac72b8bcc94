#pragma once

// A network namespace of a test's own, for e2e tests (root only).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_command_runner.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace tarnel::testing {

// A network namespace of the test's own, removed at the end even when the
// test fails. Interfaces are made with iproute2; the code under test runs on
// a thread that has entered the namespace.
class NetworkNamespace {
public:
    NetworkNamespace() : name_("tarnel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++)) {
        run({"netns", "add", name_});
        created_ = true;
    }
    ~NetworkNamespace() {
        if (created_) {
            try {
                run({"netns", "del", name_});
            } catch (const std::exception& error) {
                ADD_FAILURE() << "could not remove namespace " << name_ << ": " << error.what();
            }
        }
    }
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    [[nodiscard]] const std::string& name() const noexcept { return name_; }

    // Runs `ip -n <namespace> <arguments>`.
    void ip(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-n", name_});
        run(arguments);
    }

    void addTunnel(const std::string& name, const std::string& address) {
        ip({"tuntap", "add", "dev", name, "mode", "tun"});
        ip({"addr", "add", address, "dev", name});
        ip({"link", "set", name, "up"});
    }

    // Runs `body` on a thread inside the namespace and gives back its result.
    template <typename Body>
    auto inside(Body body) -> decltype(body()) {
        std::optional<decltype(body())> result;
        std::exception_ptr failure;
        std::thread([&] {
            try {
                const UniqueFd handle(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
                if (!handle || ::setns(handle.get(), CLONE_NEWNET) != 0) throw SystemError("setns " + name_, errno);
                result.emplace(body());
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }

private:
    static void run(const std::vector<std::string>& arguments) {
        const std::string tool = std::filesystem::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip";
        const double end = SystemClock::shared().uptime() + 10.0;
        const auto result = BoundedCommandRunner::run(
            BoundedCommandInvocation{tool, arguments}, BoundedCommandStreams{std::nullopt, true}, 65536,
            [end](double uptime) {
                if (uptime >= end) throw std::runtime_error("ip did not finish in time");
            });
        if (result.terminationStatus != 0) {
            std::string command = tool;
            for (const auto& argument : arguments) command += " " + argument;
            throw std::runtime_error(command + " failed: " + result.output);
        }
    }

    static inline std::atomic<int> counter_ = 0;
    std::string name_;
    bool created_ = false;
};

}  // namespace tarnel::testing
