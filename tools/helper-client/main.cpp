// One call to the helper over its socket, as the application makes it,
// printed as one JSON object (the end-to-end tests and the demo).
//
//   tarnel-helper-client [--as-root] SOCKET SELECTOR [NAME=KIND:VALUE]...
//   tarnel-helper-client [--as-root] --operation SOCKET OPERATION [ARGUMENT]...
//
// The first form sends one request as it is given. KIND is text, data (the
// value's bytes), data-file (a file's bytes), number or integer. The reply's
// values print under their names (data as text); a failed call prints
// {"ipc_error": "<message>"} and exits with 3.
//
// The second form runs one operation of the application's helper client,
// with the timeouts the application gives it, against a helper served by
// root at SOCKET:
//   identity | status | protection | renew | disconnect
//   prepare ATTEMPT DEADLINE
//   start CONFIGURATION-FILE TOKEN ATTEMPT DEADLINE [TAILSCALE-FILE]
//   cancel ATTEMPT | stop-for-attempt ATTEMPT
// DEADLINE is seconds of system uptime. It prints {"result": {...}}, or
// {"error": "<message>", "error_type": "<type>"} and exits with 4.
//
// Unless --as-root is given the program first gives up root for the user and
// group 65534 ("nobody"), as an application run by a user would.
//
// The tests and the demo install this program as the main executable of a
// signed application, so that the helper's admission sees the genuine
// application.

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "app/tunnel/privileged_helper_client.hpp"
#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "platform/ipc/client.hpp"
#include "platform/ipc/ipc_error.hpp"

namespace {

using namespace tarnel;

int usage() {
    std::cerr << "usage: tarnel-helper-client [--as-root] SOCKET SELECTOR [NAME=KIND:VALUE]...\n"
                 "       tarnel-helper-client [--as-root] --operation SOCKET OPERATION [ARGUMENT]...\n";
    return 2;
}

bool dropRoot() {
    constexpr uid_t nobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
}

// NAME=KIND:VALUE into the arguments; false for a malformed one.
bool addArgument(ipc::Dictionary& arguments, std::string_view text) {
    const auto equals = text.find('=');
    const auto colon = text.find(':', equals);
    if (equals == std::string_view::npos || colon == std::string_view::npos) return false;
    const std::string name(text.substr(0, equals));
    const std::string_view kind = text.substr(equals + 1, colon - equals - 1);
    const std::string value(text.substr(colon + 1));
    if (kind == "text") {
        arguments.emplace(name, value);
    } else if (kind == "data") {
        arguments.emplace(name, ipc::Data(value));
    } else if (kind == "data-file") {
        const auto bytes = files::readIfExists(value);
        if (!bytes) return false;
        arguments.emplace(name, ipc::Data(*bytes));
    } else if (kind == "number") {
        arguments.emplace(name, std::stod(value));
    } else if (kind == "integer") {
        arguments.emplace(name, static_cast<std::int64_t>(std::stoll(value)));
    } else {
        return false;
    }
    return true;
}

// Reads an operation's argument; throws std::logic_error for a bad one.
Uuid attemptArgument(const char* text) {
    const auto attempt = Uuid::parse(text);
    if (!attempt) throw std::invalid_argument("not an attempt identifier");
    return *attempt;
}
double deadlineArgument(const char* text) {
    std::size_t used = 0;
    const double deadline = std::stod(text, &used);
    if (text[used] != '\0') throw std::invalid_argument("not a deadline");
    return deadline;
}
std::string fileArgument(const char* path) {
    auto bytes = files::readIfExists(path);
    if (!bytes) throw std::invalid_argument("unreadable file");
    return std::move(*bytes);
}

// One operation of the helper client; its result as JSON.
json::OrderedValue operate(const PrivilegedHelperClient& client, std::string_view operation, int count,
                           char** arguments) {
    json::OrderedValue result = json::OrderedValue::object();
    const auto expect = [&](int wanted) {
        if (count != wanted) throw std::invalid_argument("wrong number of arguments");
    };
    if (operation == "identity") {
        expect(0);
        const PrivilegedHelperIdentity identity = client.helperIdentity(2.0);
        result["protocolVersion"] = identity.protocolVersion;
        result["processIdentifier"] = identity.processIdentifier;
    } else if (operation == "status") {
        expect(0);
        if (const auto process = client.tunnelStatus(2.0)) result["processIdentifier"] = *process;
    } else if (operation == "protection") {
        expect(0);
        result["active"] = client.tunnelProtectionStatus(2.0);
    } else if (operation == "renew") {
        expect(0);
        client.renewTunnelProtectionLease(2.0);
    } else if (operation == "disconnect") {
        expect(0);
        client.disconnectTunnel(8.0);
    } else if (operation == "prepare") {
        expect(2);
        result["token"] = client.prepareRuntime(attemptArgument(arguments[0]), deadlineArgument(arguments[1]));
    } else if (operation == "start") {
        if (count != 4 && count != 5) throw std::invalid_argument("wrong number of arguments");
        const std::optional<std::string> tailscale =
            count == 5 ? std::optional<std::string>(fileArgument(arguments[4])) : std::nullopt;
        const PrivilegedTunnelStartResult started =
            client.startTunnel(fileArgument(arguments[0]), tailscale, arguments[1], attemptArgument(arguments[2]),
                               deadlineArgument(arguments[3]));
        result["processIdentifier"] = started.processIdentifier;
        result["routeDeadline"] = started.routeDeadlineUptime;
    } else if (operation == "cancel") {
        expect(1);
        client.performBooleanRequest(PrivilegedHelperClient::requestCancelTunnelStart(attemptArgument(arguments[0])),
                                     0.75);
    } else if (operation == "stop-for-attempt") {
        expect(1);
        result["stopped"] = client.performVersionCheckedBooleanRequest(
            PrivilegedHelperClient::requestStopTunnelForAttempt(attemptArgument(arguments[0])), 8.0);
    } else {
        throw std::invalid_argument("unknown operation");
    }
    return result;
}

int runOperation(int argc, char** argv, int index) {
    if (argc - index < 2) return usage();
    HelperEndpoint endpoint;
    endpoint.socketPath = argv[index++];
    const std::string_view operation = argv[index++];
    json::OrderedValue printed = json::OrderedValue::object();
    int status = 0;
    try {
        printed["result"] = operate(PrivilegedHelperClient(endpoint), operation, argc - index, argv + index);
    } catch (const std::logic_error&) {  // a malformed argument
        return usage();
    } catch (const std::exception& error) {
        printed["error"] = errorMessage(error);
        printed["error_type"] = errorTypeName(error);
        status = 4;
    }
    std::cout << json::writeOrdered(printed) << "\n";
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int index = 1;
    const bool asRoot = index < argc && std::strcmp(argv[index], "--as-root") == 0;
    if (asRoot) ++index;
    if (argc - index < 2) return usage();
    if (!asRoot && !dropRoot()) {
        std::perror("tarnel-helper-client: giving up root");
        return 2;
    }
    if (std::strcmp(argv[index], "--operation") == 0) return runOperation(argc, argv, index + 1);
    const std::string socket = argv[index++];
    ipc::Request request;
    request.selector = argv[index++];
    for (; index < argc; ++index) {
        if (!addArgument(request.arguments, argv[index])) return usage();
    }

    json::OrderedValue printed = json::OrderedValue::object();
    try {
        const ipc::Dictionary reply = ipc::call(socket, request, SystemClock::shared().uptime() + 60.0);
        for (const auto& [name, value] : reply) {
            std::visit(
                [&, key = name](const auto& item) {
                    using T = std::decay_t<decltype(item)>;
                    if constexpr (std::is_same_v<T, ipc::Data>) {
                        printed[key] = item.bytes;
                    } else {
                        printed[key] = item;
                    }
                },
                value);
        }
    } catch (const ipc::IPCError& error) {
        printed["ipc_error"] = error.message();
        std::cout << json::writeOrdered(printed) << "\n";
        return 3;
    }
    std::cout << json::writeOrdered(printed) << "\n";
    return 0;
}
