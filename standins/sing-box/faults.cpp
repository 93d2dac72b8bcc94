#include "standins/sing-box/faults.hpp"

#include "standins/sing-box/socket_address.hpp"

#include <charconv>
#include <set>
#include <stdexcept>

namespace tarnel::standin {

namespace {

constexpr int kMaximumMilliseconds = 3'600'000;

[[noreturn]] void refuse(std::string_view fault, std::string_view reason) {
    throw std::invalid_argument("\"" + std::string(fault) + "\": " + std::string(reason));
}

// Decimal digits only, no sign, within [0, maximum].
int number(std::string_view text, int maximum, std::string_view fault) {
    int value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.front() < '0' || text.front() > '9' || error != std::errc() || stop != end ||
        value > maximum) {
        refuse(fault, "expected a number from 0 to " + std::to_string(maximum));
    }
    return value;
}

// "HOST:PORT" with a numeric host (IPv6 in brackets) and a port from 1 to
// 65535, written back as standin::describe writes it.
std::string serverAddress(std::string_view text, std::string_view fault) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) refuse(fault, "expected HOST:PORT");
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string_view::npos) refuse(fault, "expected an IP address");
    } else if (host.find(':') != std::string_view::npos) {
        refuse(fault, "an IPv6 address goes in brackets");
    }
    const int port = number(text.substr(colon + 1), 65535, fault);
    const auto address = numericAddress(host, static_cast<std::uint16_t>(port));
    if (port == 0 || !address) refuse(fault, "expected an IP address and a port from 1 to 65535");
    return describe(*address);
}

}  // namespace

Faults faultsFor(const Faults& faults, const std::optional<std::string>& server) {
    if (faults.onlyServer && faults.onlyServer != server) return Faults{};
    return faults;
}

Faults parseFaults(std::string_view text) {
    Faults faults;
    if (text.empty()) return faults;
    std::set<std::string, std::less<>> seen;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string_view fault = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;

        const std::size_t equals = fault.find('=');
        const std::string_view name = fault.substr(0, equals);
        const std::optional<std::string_view> value =
            equals == std::string_view::npos ? std::nullopt : std::optional(fault.substr(equals + 1));
        if (!seen.emplace(name).second) refuse(fault, "a fault may be named once");

        const bool takesValue =
            name == "exit" || name == "interface-delay" || name == "listen-delay" || name == "only-server";
        if (name != "exit" && name != "interface-delay" && name != "no-interface" && name != "second-interface" &&
            name != "ignore-sigterm" && name != "listen-delay" && name != "only-server") {
            refuse(fault, "unknown fault");
        }
        if (takesValue != value.has_value()) refuse(fault, takesValue ? "needs a value" : "takes no value");

        if (name == "exit") {
            const std::size_t at = value->find('@');
            faults.exitCode = number(value->substr(0, at), 255, fault);
            if (at != std::string_view::npos) {
                faults.exitAfterMilliseconds = number(value->substr(at + 1), kMaximumMilliseconds, fault);
            }
        } else if (name == "interface-delay") {
            faults.interfaceDelayMilliseconds = number(*value, kMaximumMilliseconds, fault);
        } else if (name == "listen-delay") {
            faults.listenDelayMilliseconds = number(*value, kMaximumMilliseconds, fault);
        } else if (name == "only-server") {
            faults.onlyServer = serverAddress(*value, fault);
        } else if (name == "no-interface") {
            faults.noInterface = true;
        } else if (name == "second-interface") {
            faults.secondInterface = true;
        } else {
            faults.ignoreTermination = true;
        }
    }
    if (faults.noInterface && (seen.contains("interface-delay") || faults.secondInterface)) {
        throw std::invalid_argument("\"no-interface\" cannot be combined with other interface faults");
    }
    return faults;
}

}  // namespace tarnel::standin
