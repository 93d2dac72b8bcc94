// One call to the helper over its socket, as the application makes it,
// printed as one JSON object (the end-to-end tests and the demo).
//
//   tarnel-helper-client [--as-root] SOCKET SELECTOR [NAME=KIND:VALUE]...
//
// KIND is text, data (the value's bytes), data-file (a file's bytes),
// number or integer. Unless --as-root is given the program first gives up
// root for the user and group 65534 ("nobody"), as an application run by a
// user would. The reply's values print under their names (data as text);
// a failed call prints {"ipc_error": "<message>"} and exits with 3.
//
// The tests and the demo install this program as the main executable of a
// signed application, so that the helper's admission sees the genuine
// application. Like the application, it first marks itself non-dumpable, so
// that no process of the user can attach to it and run code in it.

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <variant>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "platform/ipc/client.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/process_protection.hpp"

namespace {

using namespace tarnel;

int usage() {
    std::cerr << "usage: tarnel-helper-client [--as-root] SOCKET SELECTOR [NAME=KIND:VALUE]...\n";
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

}  // namespace

int main(int argc, char** argv) {
    try {
        ProcessProtection::denyDebuggerAttachment();
    } catch (const std::exception& error) {
        std::cerr << "tarnel-helper-client: " << errorMessage(error) << "\n";
        return 2;
    }
    int index = 1;
    const bool asRoot = index < argc && std::strcmp(argv[index], "--as-root") == 0;
    if (asRoot) ++index;
    if (argc - index < 2) return usage();
    if (!asRoot && !dropRoot()) {
        std::perror("tarnel-helper-client: giving up root");
        return 2;
    }
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
