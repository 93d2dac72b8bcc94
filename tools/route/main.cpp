// tarnel-route: the two calls of the macOS route tool that the helper makes,
// carried out with iproute2 and answered in the macOS form:
//
//   route -n get 172.19.0.2                          (prints "  interface: <dev>")
//   route -n add -host 172.19.0.2 -interface utunN   (prints "add host 172.19.0.2: gateway utunN")
//
// Any other call exits 2. The tool reads and changes routes, so it runs only
// in a network namespace other than the machine's own
// (NetworkIsolation::inSeparateNamespace): never on the machine's routing table.

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/interface_names.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "platform/network_isolation.hpp"

namespace {

using namespace tarnel;

constexpr double kCommandSeconds = 10.0;
constexpr int kUsageStatus = 2;

int usage() {
    std::fputs(
        "usage: tarnel-route -n get 172.19.0.2\n"
        "       tarnel-route -n add -host 172.19.0.2 -interface utunN\n",
        stderr);
    return kUsageStatus;
}

int failure(const std::string& text) {
    std::fprintf(stderr, "tarnel-route: %s\n", text.c_str());
    return 1;
}

std::filesystem::path ipTool() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "/usr/sbin/ip";
}

BoundedCommandRunner::Checkpoint withinCommandBound() {
    const double deadline = SystemClock::shared().uptime() + kCommandSeconds;
    return [deadline](double uptime) {
        if (uptime >= deadline) throw std::runtime_error("ip did not finish in time");
    };
}

int get() {
    const std::string destination(PrivilegedHelperContract::protectedDNSAddress);
    const auto result = BoundedCommandRunner::run({ipTool(), {"-j", "route", "get", destination}}, 65536,
                                                  withinCommandBound());
    if (result.terminationStatus != 0) return failure("no route to " + destination);
    // One object: {"dst": ..., "gateway": ... (optional), "dev": ..., ...}.
    const json::Value routes = json::parse(result.output, json::TopLevel::array);
    if (routes.empty()) return failure("no route to " + destination);
    const json::ObjectReader route(routes.at(0), "[0]");
    std::string text = "   route to: " + destination + "\n";
    if (const auto gateway = route.optionalString("gateway")) text += "    gateway: " + *gateway + "\n";
    text += "  interface: " + route.string("dev") + "\n";
    std::fputs(text.c_str(), stdout);
    return 0;
}

int add(const std::string& interfaceName) {
    const std::string destination(PrivilegedHelperContract::protectedDNSAddress);
    ChildProcess::Options options;
    options.executable = ipTool();
    options.arguments = {"route", "add", destination + "/32", "dev", interfaceName};
    options.inputRedirect = ChildProcess::Redirect::null();
    options.output = ChildProcess::Redirect::null();
    options.error = ChildProcess::Redirect::inherit();  // ip says why it failed
    ChildProcess ip = ChildProcess::spawn(options);
    if (!ip.waitForExit(kCommandSeconds)) {
        ip.stop(0.5, 0.5);
        return failure("ip did not finish in time");
    }
    if (ip.exitStatus()->terminationStatus() != 0) {
        return failure("add host " + destination + ": gateway " + interfaceName + " failed");
    }
    std::printf("add host %s: gateway %s\n", destination.c_str(), interfaceName.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ignoreBrokenPipeSignals();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string destination(tarnel::PrivilegedHelperContract::protectedDNSAddress);
    const bool isGet = arguments == std::vector<std::string>{"-n", "get", destination};
    const bool isAdd = arguments.size() == 6 &&
                       std::vector<std::string>(arguments.begin(), arguments.begin() + 5) ==
                           std::vector<std::string>{"-n", "add", "-host", destination, "-interface"} &&
                       InterfaceNames::isTunnel(arguments[5]);
    if (!isGet && !isAdd) return usage();
    if (!NetworkIsolation::inSeparateNamespace()) return failure("refusing to run in the host's network namespace");
    try {
        return isGet ? get() : add(arguments[5]);
    } catch (const std::exception& error) {
        return failure(errorMessage(error));
    }
}
