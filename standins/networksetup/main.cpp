// networksetup stand-in: accepts exactly the proxy calls the helper makes of
// the network-service tool, records every run, and changes nothing on the
// machine.
//
// Calls accepted (anything else exits 2 with a usage line):
//   -setwebproxy SERVICE HOST PORT
//   -setsecurewebproxy SERVICE HOST PORT
//   -setsocksfirewallproxy SERVICE HOST PORT
//   -setproxybypassdomains SERVICE DOMAIN...
//   -setwebproxystate SERVICE on|off
//   -setsecurewebproxystate SERVICE on|off
//   -setsocksfirewallproxystate SERVICE on|off
// PORT is 0 to 65535 in decimal. A call for a service that is not known prints
// "SERVICE is not a recognized network service." and exits 1. A successful
// call prints nothing and exits 0.
//
// Environment:
//   TARNEL_NETWORKSETUP_CALLS     when set, every run (accepted or not) first
//                                 appends one record to this file: its
//                                 arguments after argument 0, each followed by
//                                 a NUL byte, then a line feed. A record is
//                                 appended with one write, so concurrent runs
//                                 never interleave. An argument that holds a
//                                 line feed would make records ambiguous: such
//                                 a run records nothing and exits 2.
//   TARNEL_NETWORKSETUP_SERVICES  the known services, one per line (unset: the
//                                 four services "Wi-Fi", "Ethernet",
//                                 "Thunderbolt Bridge" and "USB 10/100/1000 LAN")
//   TARNEL_NETWORKSETUP_FAIL      calls that fail, one per line, each written as
//                                 its arguments joined by single blanks, for
//                                 example "-setsocksfirewallproxystate Wi-Fi off":
//                                 such a call prints "** Error: The operation
//                                 couldn't be completed." and exits 1
//   TARNEL_NETWORKSETUP_HANG      calls that hang, written as above: such a call
//                                 ignores SIGTERM and sleeps for 60 s (so only
//                                 SIGKILL ends it early), then exits 0

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr int kUsageExit = 2;
constexpr std::string_view kDefaultServices = "Wi-Fi\nEthernet\nThunderbolt Bridge\nUSB 10/100/1000 LAN";

int usage() {
    std::fputs(
        "usage: networksetup -setwebproxy | -setsecurewebproxy | -setsocksfirewallproxy <service> <host> <port>\n"
        "       networksetup -setproxybypassdomains <service> <domain> [domain ...]\n"
        "       networksetup -setwebproxystate | -setsecurewebproxystate | -setsocksfirewallproxystate <service> "
        "on | off\n",
        stderr);
    return kUsageExit;
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        result.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return result;
}

// The lines of an environment variable; nothing when it is unset.
std::optional<std::vector<std::string>> environmentLines(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return lines(value);
}

bool listed(const char* variable, std::string_view entry) {
    const auto entries = environmentLines(variable);
    if (!entries) return false;
    for (const std::string& candidate : *entries) {
        if (candidate == entry) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text += (text.empty() ? "" : " ") + argument;
    return text;
}

bool record(const std::vector<std::string>& arguments) {
    const char* path = std::getenv("TARNEL_NETWORKSETUP_CALLS");
    if (path == nullptr) return true;
    std::string bytes;
    for (const std::string& argument : arguments) {
        bytes += argument;
        bytes.push_back('\0');
    }
    bytes.push_back('\n');
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ssize_t written = -1;
    do {
        written = ::write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    ::close(fd);
    return written == static_cast<ssize_t>(bytes.size());
}

bool isPort(std::string_view text) {
    return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string_view::npos &&
           std::stoul(std::string(text)) <= 65535;
}

// Whether the arguments form one of the calls listed at the top.
bool wellFormed(const std::vector<std::string>& arguments) {
    if (arguments.size() < 3) return false;
    const std::string& command = arguments[0];
    if (command == "-setwebproxy" || command == "-setsecurewebproxy" || command == "-setsocksfirewallproxy") {
        return arguments.size() == 4 && !arguments[2].empty() && isPort(arguments[3]);
    }
    if (command == "-setproxybypassdomains") return true;
    if (command == "-setwebproxystate" || command == "-setsecurewebproxystate" ||
        command == "-setsocksfirewallproxystate") {
        return arguments.size() == 3 && (arguments[2] == "on" || arguments[2] == "off");
    }
    return false;
}

bool knownService(std::string_view service) {
    const auto configured = environmentLines("TARNEL_NETWORKSETUP_SERVICES");
    const std::vector<std::string> services = configured ? *configured : lines(kDefaultServices);
    for (const std::string& known : services) {
        if (known == service) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        for (const std::string& argument : arguments) {
            if (argument.find('\n') != std::string::npos) {
                std::fputs("networksetup stand-in: an argument holds a line feed\n", stderr);
                return kUsageExit;
            }
        }
        if (!record(arguments)) {
            std::fputs("networksetup stand-in: cannot record the call\n", stderr);
            return kUsageExit;
        }
        if (!wellFormed(arguments)) return usage();
        if (!knownService(arguments[1])) {
            std::printf("%s is not a recognized network service.\n", arguments[1].c_str());
            return 1;
        }
        const std::string call = joined(arguments);
        if (listed("TARNEL_NETWORKSETUP_HANG", call)) {
            std::signal(SIGTERM, SIG_IGN);
            std::this_thread::sleep_for(std::chrono::seconds(60));
            return 0;
        }
        if (listed("TARNEL_NETWORKSETUP_FAIL", call)) {
            std::puts("** Error: The operation couldn't be completed.");
            return 1;
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "networksetup stand-in: %s\n", error.what());
        return kUsageExit;
    }
}
