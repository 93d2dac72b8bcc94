// tarnel-pf-diagnostics: runs the kill switch's pure pieces on input given on
// the command line and standard input, and prints what they produce or the
// error they raise (its message on standard error, exit status 1). Nothing
// here touches the system's packet filter.

#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/protection/packet_filter_control.hpp"
#include "helper/protection/packet_filter_rules.hpp"
#include "helper/protection/pf_state_cleanup_planner.hpp"
#include "helper/protection/tailscale_underlay_endpoint.hpp"

namespace {

using namespace tarnel;

constexpr std::string_view kUsage =
    "usage: tarnel-pf-diagnostics COMMAND [OPTIONS]\n"
    "  anchor-rules --endpoint ADDRESS... --port N [--tunnel utunN] [--tailscale-tunnel utunN]\n"
    "               [--physical-interface enN] [--source ADDRESS]... [--underlay TRANSPORT,ADDRESS,PORT]...\n"
    "      the kill switch's rule text\n"
    "  underlay --underlay TRANSPORT,ADDRESS,PORT...\n"
    "      the canonical underlay list, one endpoint a line\n"
    "  state-plan --address ADDRESS... --underlay TRANSPORT,ADDRESS,PORT...\n"
    "      the host pairs to kill for the state listing on standard input\n"
    "  tailscale-request\n"
    "      the region list and relay region of the request on standard input\n"
    "  enable-token\n"
    "      the enable reference in the `pfctl -E` output on standard input\n";

struct UsageError : std::exception {};

// Options given as "--name value" pairs; names may repeat.
class Options {
public:
    Options(int argc, char** argv, int first) {
        for (int i = first; i < argc; i += 2) {
            const std::string_view name = argv[i];
            // An empty name would count as already asked for.
            if (name.size() <= 2 || !name.starts_with("--") || i + 1 >= argc) throw UsageError{};
            pairs_.emplace_back(std::string(name.substr(2)), argv[i + 1]);
        }
    }

    [[nodiscard]] std::vector<std::string> all(std::string_view name) {
        std::vector<std::string> values;
        for (auto& [key, value] : pairs_) {
            if (key == name) {
                values.push_back(value);
                key.clear();
            }
        }
        return values;
    }
    [[nodiscard]] std::optional<std::string> one(std::string_view name) {
        auto values = all(name);
        if (values.size() > 1) throw UsageError{};
        if (values.empty()) return std::nullopt;
        return values.front();
    }
    // Every option must have been asked for.
    void finish() const {
        for (const auto& pair : pairs_) {
            if (!pair.first.empty()) throw UsageError{};
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

std::int64_t integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) throw UsageError{};
    return value;
}

// "TRANSPORT,ADDRESS,PORT", for example "udp,2001:db8::1,41641".
TailscaleUnderlayEndpoint underlayEndpoint(std::string_view text) {
    const auto first = text.find(',');
    const auto last = text.rfind(',');
    if (first == std::string_view::npos || first == last) throw UsageError{};
    const auto transport = tailscaleUnderlayTransport(text.substr(0, first));
    if (!transport) throw UsageError{};
    return {std::string(text.substr(first + 1, last - first - 1)), integer(text.substr(last + 1)), *transport};
}

std::vector<TailscaleUnderlayEndpoint> underlayEndpoints(Options& options) {
    std::vector<TailscaleUnderlayEndpoint> endpoints;
    for (const auto& text : options.all("underlay")) endpoints.push_back(underlayEndpoint(text));
    return endpoints;
}

std::string standardInput() {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

void anchorRules(Options& options) {
    PacketFilterRules::AnchorInputs inputs;
    inputs.endpoints = options.all("endpoint");
    const auto port = options.one("port");
    if (!port) throw UsageError{};
    inputs.endpointPort = integer(*port);
    inputs.tunnelInterface = options.one("tunnel");
    inputs.tailscale.tailscaleTunnelInterface = options.one("tailscale-tunnel");
    inputs.tailscale.tailscalePhysicalInterface = options.one("physical-interface");
    inputs.tailscale.physicalSourceAddresses = options.all("source");
    inputs.tailscale.underlayEndpoints = underlayEndpoints(options);
    options.finish();
    std::cout << PacketFilterRules::anchorRules(inputs);
}

void underlay(Options& options) {
    const auto endpoints = underlayEndpoints(options);
    options.finish();
    for (const auto& endpoint : TailscaleUnderlayEndpoint::validatedList(endpoints)) {
        std::cout << rawValue(endpoint.transport) << ' ' << endpoint.address << ' ' << endpoint.port << '\n';
    }
}

void statePlan(Options& options) {
    const auto addresses = options.all("address");
    const auto endpoints = underlayEndpoints(options);
    options.finish();
    for (const auto& target : PrivilegedPFStateCleanupPlanner::killTargets(standardInput(), addresses, endpoints)) {
        std::cout << target.sourceAddress << ' ' << target.destinationAddress << '\n';
    }
}

void tailscaleRequest(Options& options) {
    options.finish();
    const auto request = PrivilegedHelperContract::validateTailscaleCompatibilityRequest(standardInput());
    std::cout << "regions";
    for (const auto id : request->regionIDs) std::cout << ' ' << id;
    std::cout << "\nrelay " << request->relayRegionID << '\n';
}

void enableToken(Options& options) {
    options.finish();
    const auto token = packetFilterEnableToken(standardInput());
    if (!token) throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::packetFilterEnableFailed);
    std::cout << *token << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    // The pieces are the helper's, so their errors are named as the helper names them.
    tarnel::setProgramModule(tarnel::kHelperModule);
    try {
        if (argc < 2) throw UsageError{};
        const std::string_view command = argv[1];
        Options options(argc, argv, 2);
        if (command == "anchor-rules") anchorRules(options);
        else if (command == "underlay") underlay(options);
        else if (command == "state-plan") statePlan(options);
        else if (command == "tailscale-request") tailscaleRequest(options);
        else if (command == "enable-token") enableToken(options);
        else throw UsageError{};
        return 0;
    } catch (const UsageError&) {
        std::cerr << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << tarnel::errorTypeName(error) << ": " << tarnel::errorMessage(error) << '\n';
        return 1;
    }
}
