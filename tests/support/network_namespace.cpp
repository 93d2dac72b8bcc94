#include "tests/support/network_namespace.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel::testing {

namespace {

constexpr std::string_view kPrefix = "tarnel-ns-";
constexpr std::int64_t kOutputLimit = 1 << 20;

BoundedCommandRunner::Checkpoint within(double seconds, std::string what) {
    const double end = SystemClock::shared().uptime() + seconds;
    return [end, what = std::move(what)](double uptime) {
        if (uptime >= end) throw std::runtime_error(what + " took longer than its bound");
    };
}

const std::string& ipTool() {
    static const std::string tool = std::filesystem::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip";
    return tool;
}

// Runs iproute2 with its standard error folded into the output, so that a
// failure says why.
std::string runIp(const std::vector<std::string>& arguments) {
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" 2>&1", ipTool()};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    std::string command = "ip";
    for (const auto& argument : arguments) command += " " + argument;
    const auto result = BoundedCommandRunner::run({"/bin/sh", shell}, kOutputLimit, within(10.0, command));
    if (result.terminationStatus != 0) {
        const std::string status = std::to_string(result.terminationStatus);
        throw std::runtime_error(command + " failed (" + status + "): " + result.output);
    }
    return result.output;
}

std::atomic<int> counter = 0;

}  // namespace

void NetworkNamespace::removeStaleNamespaces() {
    std::istringstream list(runIp({"netns", "list"}));
    for (std::string line; std::getline(list, line);) {
        const std::string name = line.substr(0, line.find(' '));
        if (!name.starts_with(kPrefix)) continue;
        const std::string owner = name.substr(kPrefix.size(), name.find('-', kPrefix.size()) - kPrefix.size());
        if (owner.empty() || owner.find_first_not_of("0123456789") != std::string::npos || owner.size() > 9) continue;
        const pid_t pid = std::stoi(owner);
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            try {
                runIp({"netns", "del", name});
            } catch (const std::exception&) {
                // Another run removed it first.
            }
        }
    }
}

namespace {

// ip -j gives "[]", or nothing at all for an empty list.
json::Value ipJson(const std::string& output) {
    if (output.find_first_not_of(" \n") == std::string::npos) return json::Value::array();
    return json::parse(output, json::TopLevel::array);
}

}  // namespace

NetworkNamespace::NetworkNamespace() {
    static std::once_flag swept;
    std::call_once(swept, removeStaleNamespaces);
    name_ = std::string(kPrefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    runIp({"netns", "add", name_});
    try {
        ip({"link", "set", "lo", "up"});
    } catch (...) {
        runIp({"netns", "del", name_});
        throw;
    }
}

NetworkNamespace::~NetworkNamespace() {
    for (const std::string& peer : machinePeers_) {
        try {
            // Usually gone already: removing one end of a pair removes both.
            if (std::filesystem::exists("/sys/class/net/" + peer)) runIp({"link", "del", peer});
        } catch (const std::exception& error) {
            ADD_FAILURE() << "could not remove veth peer " << peer << ": " << error.what();
        }
    }
    try {
        runIp({"netns", "del", name_});
    } catch (const std::exception& error) {
        ADD_FAILURE() << "could not remove namespace " << name_ << ": " << error.what();
    }
}

std::string NetworkNamespace::ip(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"-n", name_});
    return runIp(arguments);
}

std::string NetworkNamespace::addVeth(const std::string& address, const VethPeer& peer, const std::string& name) {
    // Interface names hold at most 15 bytes.
    const std::string peerName =
        peer.name.empty() ? "tv" + std::to_string(::getpid() % 10000000) + "-" + std::to_string(counter++) : peer.name;
    // The peer is made directly where it belongs; `netns <pid>` names the
    // namespace of this test process, which is the machine's.
    const std::string peerSpace = peer.space != nullptr ? peer.space->name() : std::to_string(::getpid());
    ip({"link", "add", name, "type", "veth", "peer", "name", peerName, "netns", peerSpace});
    if (peer.space == nullptr) machinePeers_.push_back(peerName);

    ip({"addr", "add", address, "dev", name});
    ip({"link", "set", name, "up"});
    const auto peerIp = [&](std::vector<std::string> arguments) {
        if (peer.space != nullptr) return peer.space->ip(std::move(arguments));
        return runIp(arguments);
    };
    if (peer.address) peerIp({"addr", "add", *peer.address, "dev", peerName});
    peerIp({"link", "set", peerName, "up"});
    return peerName;
}

void NetworkNamespace::addTunnel(const std::string& name, const std::string& address) {
    ip({"tuntap", "add", "dev", name, "mode", "tun"});
    ip({"addr", "add", address, "dev", name});
    ip({"link", "set", name, "up"});
}

std::vector<NetworkNamespace::Link> NetworkNamespace::links() const {
    const json::Value list = ipJson(ip({"-j", "addr", "show"}));
    std::vector<Link> links;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const json::ObjectReader entry(list[index], "links[" + std::to_string(index) + "]");
        Link link{entry.string("ifname"), false, {}};
        for (const std::string& flag : entry.stringArray("flags")) link.up = link.up || flag == "UP";
        if (const json::Value* addresses = entry.optionalValue("addr_info")) {
            for (const json::Value& address : json::asArray(*addresses, "addr_info")) {
                const json::ObjectReader info(address, "addr_info");
                link.addresses.push_back(info.string("local") + "/" + std::to_string(info.integer<int>("prefixlen")));
            }
        }
        links.push_back(std::move(link));
    }
    return links;
}

std::optional<NetworkNamespace::Link> NetworkNamespace::link(const std::string& name) const {
    for (Link& link : links()) {
        if (link.name == name) return std::move(link);
    }
    return std::nullopt;
}

std::vector<NetworkNamespace::Route> NetworkNamespace::routes(Family family, const std::string& table) const {
    const json::Value list =
        ipJson(ip({"-j", family == Family::ipv4 ? "-4" : "-6", "route", "show", "table", table}));
    std::vector<Route> routes;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const json::ObjectReader entry(list[index], "routes[" + std::to_string(index) + "]");
        Route route;
        route.destination = entry.string("dst");
        route.type = entry.optionalString("type").value_or("unicast");
        route.gateway = entry.optionalString("gateway");
        route.device = entry.optionalString("dev");
        route.source = entry.optionalString("prefsrc");
        route.table = entry.optionalString("table");
        routes.push_back(std::move(route));
    }
    return routes;
}

void NetworkNamespace::enterOnThisThread() const {
    const UniqueFd handle(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
    if (!handle || ::setns(handle.get(), CLONE_NEWNET) != 0) throw SystemError("enter namespace " + name_, errno);
}

ChildProcess NetworkNamespace::launch(const ChildProcess::Options& options) const {
    return inside([&] { return ChildProcess::spawn(options); });
}

BoundedCommandResult NetworkNamespace::run(const BoundedCommandInvocation& invocation, double seconds) const {
    return inside([&] {
        return BoundedCommandRunner::run(invocation, kOutputLimit,
                                         within(seconds, invocation.executableURL.string() + " in " + name_));
    });
}

}  // namespace tarnel::testing
