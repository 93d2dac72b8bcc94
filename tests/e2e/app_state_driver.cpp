// The application's state object end to end, for the end-to-end tests: one
// AppState over the application's own services (the helper client, the
// settings file, the file keychain, the system clock, timers and the task
// pool, the timed Tailscale snapshot, the traffic checks over the HTTP
// layer) on a QCoreApplication, driven by JSON lines.
//
//   tarnel-app-state-driver SETTINGS
//
// SETTINGS is one JSON object:
//   "socket"            the helper's socket (served by root)
//   "tools"             a folder whose "scutil" and "netstat" stand in for
//                       the system's
//   "caFile"            the only CA the HTTPS check trusts
//   "endpoints"         {"ipRouteAddress", "wildcardDNSDomain", "traceHost",
//                       "port"}: the traffic checks' targets, all on one port
//   "resolver"          the IPv4 address whose port 53 the checks' names are
//                       asked of, over UDP
//   "allowedAddresses"  the addresses the checks may reach besides loopback
//   "runtimeEnvironment"  optional: "KEY=value" entries for the proxy-mode
//                       runtime's environment (its stand-in's faults and
//                       name mappings); its probe asks for the trace host and
//                       trusts only the CA file
// The settings and the keychain live in the XDG directories of the
// environment; a second run over the same directories finds what the first
// left there.
//
// The tests install this program as the main executable of a signed
// application, so that the helper admits it. It first marks itself
// non-dumpable and gives up root for the user and group 65534 ("nobody"), as
// an application run by a user. Then it reads one JSON object a line:
//   {"command": "run", "attempt": UUID, "plan": [route, ...], "options": {...}}
//       plays Connect: the attempt, connecting, tun, and the failover plan in
//       the connection task; "options" holds the plan's inputs by name
//       ("timeBudget", "restorableRouteID", "switchingFromActiveRoute", ...);
//       each route is in its stored form
//   {"command": "connect", "mode": "tun"|"proxy"}
//       the window's Connect, in that connection mode (none: the current one)
//   {"command": "disconnect"}
//       the window's Disconnect
//   {"command": "paste", "text": TEXT}
//       the clipboard holds TEXT, then the window's Paste
//   {"command": "import", "input": TEXT}
//       the access field holds TEXT, then the window's Import
//   {"command": "testAll", "routes": [route, ...]}
//       the routes (in their stored form) become the state's, then the
//       window's Test all
//   {"command": "state"}
//       writes {"state": {"tunnelStatus", "activeMode", "activeRouteID",
//       "routeAvailability", "connectionAttemptID", "running", "routes",
//       "selectedRouteID", "systemProxyEnabled", "isImporting",
//       "proxyProcess"}}, "routes" the route identifiers in order and
//       "proxyProcess" the proxy-mode runtime's process identifier or null
// and writes {"log": "<message>"} for each line its diagnostic log gains. A
// command it cannot read writes {"error": "<message>"}. It exits 0 at the end
// of its input.

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

#include <array>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "app/state/app_state.hpp"
#include "app/state/connection_types.hpp"
#include "app/state/qsettings_store.hpp"
#include "app/tunnel/privileged_helper_client.hpp"
#include "app/tunnel/startup_timing.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/child_process.hpp"
#include "common/process/system_tools.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/process_protection.hpp"
#include "platform/user_directories.hpp"
#include "tests/state/state_test_support.hpp"

namespace {

using namespace tarnel;

// Asks one DNS server for the A records of a name over UDP: one query, an
// answer within 2 s or none.
class UdpHostResolver final : public HostResolver {
public:
    explicit UdpHostResolver(std::string server) : server_(std::move(server)) {}

    [[nodiscard]] std::vector<std::string> resolve(const std::string& host) const override {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        if (::inet_pton(AF_INET, server_.c_str(), &address.sin_addr) != 1) return {};
        const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const std::string query = queryFor(host);
        if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::send(socket.get(), query.data(), query.size(), 0) != static_cast<ssize_t>(query.size())) {
            return {};
        }
        pollfd ready{socket.get(), POLLIN, 0};
        if (::poll(&ready, 1, 2000) != 1) return {};
        std::array<unsigned char, 512> answer{};
        const ssize_t length = ::recv(socket.get(), answer.data(), answer.size(), 0);
        if (length < 12) return {};
        return addressesIn({answer.data(), static_cast<std::size_t>(length)});
    }

private:
    static constexpr unsigned char kQueryID[2] = {0x54, 0x44};

    // A recursive query for the A records of `host`.
    static std::string queryFor(const std::string& host) {
        std::string query{static_cast<char>(kQueryID[0]), static_cast<char>(kQueryID[1]), 0x01, 0x00, 0x00, 0x01,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        std::size_t start = 0;
        while (start <= host.size()) {
            const std::size_t dot = std::min(host.find('.', start), host.size());
            query += static_cast<char>(dot - start);
            query += host.substr(start, dot - start);
            start = dot + 1;
        }
        query += std::string{0x00, 0x00, 0x01, 0x00, 0x01};
        return query;
    }

    // The IPv4 addresses of the answer's A records; none for an answer that
    // is not ours, failed or cannot be read.
    static std::vector<std::string> addressesIn(std::basic_string_view<unsigned char> answer) {
        const auto word = [&](std::size_t at) { return (answer[at] << 8) | answer[at + 1]; };
        if (answer[0] != kQueryID[0] || answer[1] != kQueryID[1] || (answer[2] & 0x80) == 0 ||
            (answer[3] & 0x0f) != 0) {
            return {};
        }
        std::size_t at = 12;
        // Past a name: labels up to the root, or a pointer that ends it.
        const auto skipName = [&] {
            while (at < answer.size()) {
                const unsigned char length = answer[at];
                if ((length & 0xc0) == 0xc0) {
                    at += 2;
                    return;
                }
                at += length + 1;
                if (length == 0) return;
            }
        };
        for (int question = word(4); question > 0; --question) {
            skipName();
            at += 4;
        }
        std::vector<std::string> addresses;
        for (int record = word(6); record > 0 && at < answer.size(); --record) {
            skipName();
            if (at + 10 > answer.size()) break;
            const int type = word(at);
            const std::size_t length = static_cast<std::size_t>(word(at + 8));
            at += 10;
            if (at + length > answer.size()) break;
            if (type == 1 && length == 4) {
                char text[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, answer.data() + at, text, sizeof text);
                addresses.emplace_back(text);
            }
            at += length;
        }
        return addresses;
    }

    std::string server_;
};

void write(const json::OrderedValue& value) {
    std::cout << json::writeOrdered(value) << std::endl;
}

AppState::ConnectionPlanOptions planOptions(const json::Value& value) {
    const json::ObjectReader reader(value, "options");
    AppState::ConnectionPlanOptions options;
    options.restorableRouteID = reader.optionalString("restorableRouteID");
    options.timeBudget = reader.optionalNumber("timeBudget").value_or(options.timeBudget);
    if (const auto session = reader.optionalString("routeTestSessionID")) options.routeTestSessionID = Uuid::parse(*session);
    options.switchingFromActiveRoute = reader.optionalBoolean("switchingFromActiveRoute").value_or(false);
    options.diagnosticSelectedRouteOnly = reader.optionalBoolean("diagnosticSelectedRouteOnly").value_or(false);
    options.persistsSuccessfulRoute = reader.optionalBoolean("persistsSuccessfulRoute").value_or(true);
    options.keepsProtectionOnExhaustion = reader.optionalBoolean("keepsProtectionOnExhaustion").value_or(false);
    return options;
}

// Connect's part of a VPN connect: the attempt, connecting, tun, and the plan
// in the connection task.
void run(AppState& state, const json::ObjectReader& command) {
    const auto attempt = Uuid::parse(command.string("attempt"));
    if (!attempt) throw std::invalid_argument("attempt: not a UUID");
    std::vector<RouteNode> plan;
    for (const json::Value& route : json::asArray(command.value("plan"), "plan")) {
        plan.push_back(RouteNode::fromJson(route, "plan"));
    }
    const json::Value empty = json::Value::object();
    const AppState::ConnectionPlanOptions options =
        planOptions(command.has("options") ? command.value("options") : empty);
    state.connectionAttemptID = *attempt;
    state.setTunnelStatus(TunnelStatus::connecting);
    state.activeMode = ConnectionMode::tun;
    state.replaceTask(state.connectionTask,
                      [plan, attemptID = *attempt, options](AppState& owner, std::stop_token stop) {
                          return owner.runConnectionPlan(plan, attemptID, options, std::move(stop));
                      });
}

// What the driver keeps beside the state: the clipboard's text and the
// proxy-mode runtime, whose process it reports.
struct Surroundings {
    std::shared_ptr<std::optional<std::string>> clipboard = std::make_shared<std::optional<std::string>>();
    std::shared_ptr<SingBoxProcess> proxy;
};

json::OrderedValue stateOf(const AppState& state, const Surroundings& surroundings) {
    json::OrderedValue fields = json::OrderedValue::object();
    fields["tunnelStatus"] = std::string(rawValue(state.tunnelStatus()));
    fields["activeMode"] = state.activeMode ? json::OrderedValue(std::string(rawValue(*state.activeMode))) : nullptr;
    fields["activeRouteID"] = state.activeRouteID() ? json::OrderedValue(*state.activeRouteID()) : nullptr;
    json::OrderedValue availability = json::OrderedValue::object();
    for (const auto& [id, value] : state.routeAvailability()) availability[id] = std::string(rawValue(value));
    fields["routeAvailability"] = availability;
    fields["connectionAttemptID"] =
        state.connectionAttemptID ? json::OrderedValue(state.connectionAttemptID->text()) : nullptr;
    fields["running"] = state.connectionTask.isSet() && !state.connectionTask.isFinished();
    json::OrderedValue routes = json::OrderedValue::array();
    for (const RouteNode& route : state.routes()) routes.push_back(route.id);
    fields["routes"] = routes;
    fields["selectedRouteID"] = state.selectedRouteID() ? json::OrderedValue(*state.selectedRouteID()) : nullptr;
    fields["systemProxyEnabled"] = state.systemProxyEnabled();
    fields["isImporting"] = state.isImporting();
    const auto proxyProcess = surroundings.proxy->pid();
    fields["proxyProcess"] = proxyProcess ? json::OrderedValue(static_cast<std::int64_t>(*proxyProcess)) : nullptr;
    json::OrderedValue line = json::OrderedValue::object();
    line["state"] = fields;
    return line;
}

void handle(AppState& state, const Surroundings& surroundings, const std::string& text) {
    try {
        const json::Value command = json::parse(text);
        const json::ObjectReader reader(command);
        const std::string name = reader.string("command");
        if (name == "run") {
            run(state, reader);
        } else if (name == "connect") {
            if (const auto mode = reader.optionalString("mode")) {
                const auto connectionMode = connectionModeFromRawValue(*mode);
                if (!connectionMode) throw std::invalid_argument("mode: neither tun nor proxy");
                state.setConnectionMode(*connectionMode);
            }
            static_cast<void>(state.connect());
        } else if (name == "disconnect") {
            state.disconnect();
        } else if (name == "paste") {
            *surroundings.clipboard = reader.string("text");
            state.pasteSubscriptionFromClipboard();
        } else if (name == "import") {
            state.setSubscriptionInput(reader.string("input"));
            state.importSubscription(false, false);
        } else if (name == "testAll") {
            std::vector<RouteNode> routes;
            for (const json::Value& route : json::asArray(reader.value("routes"), "routes")) {
                routes.push_back(RouteNode::fromJson(route, "routes"));
            }
            state.setRoutes(std::move(routes));
            state.testAllRoutes();
        } else if (name == "state") {
            write(stateOf(state, surroundings));
        } else {
            throw std::invalid_argument("unknown command \"" + name + "\"");
        }
    } catch (const std::exception& error) {
        json::OrderedValue line = json::OrderedValue::object();
        line["error"] = errorMessage(error);
        write(line);
    }
}

// Writes each line the log gains, without its time stamp.
class LogWriter {
public:
    explicit LogWriter(const AppState& state) : state_(state), written_(state.diagnosticLog().size()) {}

    void writeNewLines() {
        const std::string& log = state_.diagnosticLog();
        std::size_t at = written_;
        written_ = log.size();
        while ((at = log.find("\n[", at)) != std::string::npos) {
            const std::size_t start = log.find("] ", at);
            const std::size_t end = std::min(log.find('\n', at + 1), log.size());
            json::OrderedValue line = json::OrderedValue::object();
            line["log"] = log.substr(start + 2, end - start - 2);
            write(line);
            at = end;
        }
    }

private:
    const AppState& state_;
    std::size_t written_;
};

AppEnvironment environmentFrom(const json::ObjectReader& settings, const Surroundings& surroundings) {
    const json::ObjectReader endpoints(settings.object("endpoints"), "endpoints");
    const auto port = endpoints.integer<std::uint16_t>("port");
    const TrafficCheckEndpoints targets{endpoints.string("ipRouteAddress"), port,
                                        endpoints.string("wildcardDNSDomain"), port,
                                        endpoints.string("traceHost"), port};
    HttpClientSettings http;
    http.caFile = settings.string("caFile");
    http.allowedAddresses = settings.stringArray("allowedAddresses");

    AppEnvironment environment;
    environment.settings = std::make_shared<QSettingsStore>(QSettingsStore::defaultFile());
    environment.keychain = std::make_shared<FileKeychain>(UserDirectories::applicationSupport());
    environment.sleeper = std::make_shared<QtTimerSleeper>();
    environment.pool = makeTaskPool();
    HelperEndpoint endpoint;
    endpoint.socketPath = settings.string("socket");
    environment.useApplicationConnectServices(std::make_shared<PrivilegedHelperClient>(endpoint));
    environment.clipboardText = [clipboard = surroundings.clipboard] { return *clipboard; };
    environment.proxyProcess = surroundings.proxy;
    environment.fetchSubscription = AppEnvironment::subscriptionFetcher(std::make_shared<CurlHttpClient>(http),
                                                                       environment.clock, std::nullopt);
    environment.tailscaleSnapshot = [](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) {
        return PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(attemptID, deadlineUptime, stop);
    };
    environment.arguments = {"Tarnel Direct"};
    environment.environmentVariable = AppEnvironment::processEnvironmentVariable;
    environment.tunnelHealthProbeServices = {targets, std::make_shared<UdpHostResolver>(settings.string("resolver")),
                                             std::make_shared<CurlHttpClient>(http), &SystemClock::shared(),
                                             settings.stringArray("allowedAddresses")};
    return environment;
}

bool dropRoot() {
    constexpr uid_t nobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ignoreBrokenPipeSignals();
    if (argc != 2) {
        std::cerr << "usage: tarnel-app-state-driver SETTINGS\n";
        return 2;
    }
    try {
        ProcessProtection::denyDebuggerAttachment();
    } catch (const std::exception& error) {
        std::cerr << "tarnel-app-state-driver: " << errorMessage(error) << "\n";
        return 2;
    }
    if (!dropRoot()) {
        std::perror("tarnel-app-state-driver: giving up root");
        return 2;
    }
    QCoreApplication application(argc, argv);
    std::shared_ptr<QThreadPool> pool;
    Surroundings surroundings;
    std::optional<AppState> state;
    try {
        const json::Value settings = json::parse(argv[1]);
        const json::ObjectReader reader(settings, "settings");
        for (const std::string_view tool : {SystemTools::scutil, SystemTools::netstat}) {
            const std::string name = std::filesystem::path(tool).filename().string();
            SystemTools::map(tool, std::filesystem::path(reader.string("tools")) / name);
        }
        ProxyProcessSettings proxy = ProxyProcessSettings::production();
        proxy.traceHost = json::ObjectReader(reader.object("endpoints"), "endpoints").string("traceHost");
        proxy.runtimeEnvironment = reader.optionalStringArray("runtimeEnvironment").value_or(std::vector<std::string>{});
        proxy.curlEnvironment = {"CURL_CA_BUNDLE=" + reader.string("caFile")};
        surroundings.proxy = std::make_shared<SingBoxProcess>(std::move(proxy));
        AppEnvironment environment = environmentFrom(reader, surroundings);
        pool = environment.pool;
        state.emplace(std::move(environment));
    } catch (const std::exception& error) {
        std::cerr << "tarnel-app-state-driver: " << errorMessage(error) << "\n";
        return 2;
    }

    LogWriter log(*state);
    QObject::connect(&*state, &AppState::diagnosticLogChanged, [&log] { log.writeNewLines(); });
    std::thread input([&state, &surroundings] {
        for (std::string line; std::getline(std::cin, line);) {
            postToMainThread([&state, &surroundings, line] { handle(*state, surroundings, line); });
        }
        postToMainThread([] { QCoreApplication::quit(); });
    });
    const int status = QCoreApplication::exec();
    input.join();
    // The state's tasks end on the turns after it is gone, those in a blocking
    // call once it returns: every call of the pool ends first.
    state.reset();
    pool->waitForDone();
    for (int turn = 0; turn < 16; ++turn) QCoreApplication::processEvents();
    testing::releasePoolThreadState(*pool);
    return status;
}
