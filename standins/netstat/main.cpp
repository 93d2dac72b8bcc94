// netstat stand-in: prints the IPv4 routing table of the network namespace it
// runs in, read from `ip -j -4 route show table main`, in the form the
// system's tool gives it:
//
//   Routing tables
//
//   Internet:
//   Destination        Gateway            Flags               Netif Expire
//   default            192.168.1.1        UGScg                 en0
//   192.168.1.0/24     link#2             UCS                   en0
//
// one row per route: the destination ("default" or the prefix as ip writes
// it), the gateway (else "link#" and the interface's index), the flags
// ("UGScg" with a gateway, else "UCS") and the interface; no expiry. Routes
// without an interface of their own (blackhole, unreachable, multipath) are
// left out.
//
// Calls accepted: exactly "-rn -f inet"; anything else prints a usage line
// and exits 2.
//
// Environment:
//   TARNEL_NETSTAT_CALLS        when set, every run (accepted or not) first
//                               appends one line to this file, with one write:
//                               its process id, then each argument after a
//                               blank. A run whose argument holds a line feed
//                               records nothing and exits 2.
//   TARNEL_NETSTAT_OUTPUT       a file whose bytes an accepted call prints in
//                               place of the table
//   TARNEL_NETSTAT_EXIT_STATUS  0 to 255: the exit status of an accepted call
//                               after it printed (default 0)
//   TARNEL_NETSTAT_HANG         "1": an accepted call ignores SIGTERM and
//                               sleeps for 60 s (so only SIGKILL ends it
//                               early), then goes on as usual

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/bounded_command_runner.hpp"

namespace {

constexpr int kUsageExit = 2;

int usage() {
    std::fputs("usage: netstat -rn -f inet\n", stderr);
    return kUsageExit;
}

// Appends the run's record to TARNEL_NETSTAT_CALLS; false when it cannot.
bool record(const std::vector<std::string>& arguments) {
    const char* path = std::getenv("TARNEL_NETSTAT_CALLS");
    if (path == nullptr) return true;
    std::string line = std::to_string(::getpid());
    for (const std::string& argument : arguments) {
        if (argument.find('\n') != std::string::npos) return false;
        line += ' ' + argument;
    }
    line += '\n';
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ssize_t written = -1;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    ::close(fd);
    return written == static_cast<ssize_t>(line.size());
}

std::optional<int> configuredExitStatus() {
    const char* text = std::getenv("TARNEL_NETSTAT_EXIT_STATUS");
    if (text == nullptr) return 0;
    const std::string_view value(text);
    if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const int status = std::stoi(std::string(value));
    if (status > 255) return std::nullopt;
    return status;
}

std::filesystem::path ipTool() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    throw std::runtime_error("no ip tool");
}

// The routes of this namespace's main IPv4 table, as `ip -j` gives them.
tarnel::json::Value routes() {
    const double deadline = tarnel::SystemClock::shared().uptime() + 10.0;
    const tarnel::BoundedCommandResult result = tarnel::BoundedCommandRunner::run(
        {ipTool(), {"-j", "-4", "route", "show", "table", "main"}}, 4 * 1024 * 1024, [deadline](double uptime) {
            if (!(uptime < deadline)) throw std::runtime_error("ip did not finish");
        });
    if (result.terminationStatus != 0) throw std::runtime_error("ip failed");
    return tarnel::json::parse(result.output, tarnel::json::TopLevel::array);
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string table() {
    std::string text = "Routing tables\n\nInternet:\n";
    text += padded("Destination", 18) + ' ' + padded("Gateway", 18) + ' ' + padded("Flags", 19) + " Netif Expire\n";
    for (const tarnel::json::Value& route : routes()) {
        if (!route.is_object() || !route.contains("dst") || !route.contains("dev")) continue;
        const std::string& destination = tarnel::json::asString(route["dst"], "dst");
        const std::string& device = tarnel::json::asString(route["dev"], "dev");
        std::string gateway;
        std::string flags = "UCS";
        if (route.contains("gateway")) {
            gateway = tarnel::json::asString(route["gateway"], "gateway");
            flags = "UGScg";
        } else {
            gateway = "link#" + std::to_string(::if_nametoindex(device.c_str()));
        }
        std::string netif = device;
        if (netif.size() < 5) netif.insert(0, 5 - netif.size(), ' ');
        text += padded(destination, 18) + ' ' + padded(gateway, 18) + ' ' + padded(flags, 19) + ' ' + netif + '\n';
    }
    return text;
}

void print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        throw std::runtime_error("cannot write the output");
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        if (!record(arguments)) {
            std::fputs("netstat stand-in: cannot record the call\n", stderr);
            return kUsageExit;
        }
        if (arguments != std::vector<std::string>{"-rn", "-f", "inet"}) return usage();
        const std::optional<int> exitStatus = configuredExitStatus();
        if (!exitStatus) {
            std::fputs("netstat stand-in: TARNEL_NETSTAT_EXIT_STATUS must be 0 to 255\n", stderr);
            return kUsageExit;
        }
        if (const char* hang = std::getenv("TARNEL_NETSTAT_HANG"); hang != nullptr && std::string_view(hang) == "1") {
            std::signal(SIGTERM, SIG_IGN);
            std::this_thread::sleep_for(std::chrono::seconds(60));
        }
        if (const char* output = std::getenv("TARNEL_NETSTAT_OUTPUT")) {
            const std::optional<std::string> bytes = tarnel::files::readIfExists(output, 64 * 1024 * 1024);
            if (!bytes) throw std::runtime_error(std::string("missing output file ") + output);
            print(*bytes);
        } else {
            print(table());
        }
        return *exitStatus;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "netstat stand-in: %s\n", error.what());
        return kUsageExit;
    }
}
