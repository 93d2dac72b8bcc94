// The application end to end, for the end-to-end tests and the demo: the
// application's window (TarnelDirectApp's ContentView on a QApplication) over
// one AppState, composed by applicationEnvironment() as `tarnel-direct`
// composes it, driven by JSON lines on its input.
//
//   tarnel-app-state-driver SETTINGS
//
// SETTINGS is one JSON object:
//   "socket"            the helper's socket (served by root)
//   "tools"             a folder whose "scutil" and "netstat" stand in for
//                       the system's
//   "caFile"            the only CA file (PEM, one or more certificates) that
//                       every HTTPS request trusts
//   "endpoints"         {"ipRouteAddress", "wildcardDNSDomain", "traceHost",
//                       "port"}: the traffic checks' targets, all on one port
//   "resolver"          the IPv4 address whose port 53 the checks' names are
//                       asked of, over UDP
//   "allowedAddresses"  the addresses requests and checks may reach besides
//                       loopback
//   "addressPins"       optional: [{"host", "port", "address"}], names the
//                       HTTP layer reaches at an address without a lookup
//                       (the access link's host, for one)
//   "connectPins"       optional: [{"host", "port", "toHost", "toPort"}],
//                       host and port the HTTP layer connects to instead
//   "runtimeEnvironment"  optional: "KEY=value" entries for the proxy-mode
//                       runtime's environment (its stand-in's faults and
//                       name mappings); its probe asks for the trace host and
//                       trusts only the CA file
// The rest is the application's own: the settings and the keychain in the
// XDG directories of the environment (a second run over the same
// directories finds what the first left there), the root key of signed
// route lists and the account service from the bundle's Info.plist, the
// proxy-mode runtime from the bundle's resources. The window's platform
// comes from the environment (QT_QPA_PLATFORM: "offscreen" in the tests,
// "xcb" with DISPLAY under Xvfb in the demo), its language from the settings
// and the locale. Unlike `tarnel-direct` it opens no account portal sheet,
// keeps no single-instance lock and opens no URL.
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
//   {"command": "press", "control": NAME}
//       clicks the window's control whose object name is NAME (a button, a
//       panel header, a route row); writes {"pressed": NAME}
//   {"command": "setAccessKey", "text": TEXT}
//       the access key field's text becomes TEXT as typing makes it (the
//       state's subscription input follows); writes {"set": "accessKey"}
//   {"command": "choose", "control": NAME, "item": TEXT}
//       clicks the item of the picker NAME whose text is TEXT; writes
//       {"chosen": TEXT}
//   {"command": "control", "control": NAME}
//       writes {"control": {"name", "text", "enabled", "visible", "checked",
//       "texts"}} of that control (see WindowControls::describe; a route row
//       adds "selected")
//   {"command": "grab", "path": PATH}
//       writes a PNG of the window to PATH (from the X server on xcb, the
//       window's own rendering elsewhere); writes {"grabbed": PATH}
//   {"command": "state"}
//       writes {"state": {"tunnelStatus", "connectionMode", "activeMode",
//       "activeRouteID", "routeAvailability", "connectionAttemptID",
//       "running", "routes", "routeList", "selectedRouteID",
//       "systemProxyEnabled", "isImporting", "subscriptionInput",
//       "proxyProcess"}}, "routes" the route identifiers in order,
//       "routeList" the identifiers of the window's route rows (each row's
//       object name is "route." + its identifier) and "proxyProcess" the
//       proxy-mode runtime's process identifier or null
// and writes {"log": "<message>"} for each time-stamped message its diagnostic
// log gains, whole (line breaks and all). A command it cannot read or carry
// out (a control that is missing, hidden or disabled among them) writes
// {"error": "<message>"} and does nothing. A
// command's reply or error carries the command's "id" when it has one. Every
// line it writes carries "at": the CLOCK_MONOTONIC time, in seconds, at which
// it was written. It exits 0 at the end of its input.
//
// The controls by object name: "tunnel.connect", "tunnel.disconnect",
// "tunnel.headline" (the status card's headline, "Connected"),
// "tunnel.status" (the status capsule, "Failed"), "tunnel.retry-hint",
// "routes.test-all", "routes.test-all.cancel", "routes.test-all.figure"
// (the progress figure, "0/2"), "routes.count", "route.<id>" (a route row),
// "subscription.access-key", "subscription.saved-hint",
// "subscription.paste", "subscription.import", "subscription.refresh",
// "subscription.reveal", "subscription.forget", "panel.advanced",
// "panel.diagnostics", "connection.mode" (the mode picker: "TUN", "Proxy").

#include <grp.h>
#include <unistd.h>

#include <QApplication>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/program/application_composition.hpp"
#include "app/state/app_state.hpp"
#include "app/state/connection_types.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/process/child_process.hpp"
#include "common/process/system_tools.hpp"
#include "platform/process_protection.hpp"
#include "tools/app-state-driver/udp_host_resolver.hpp"
#include "tools/app-state-driver/window_controls.hpp"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: fontconfig and D-Bus keep their caches until the process
// ends and never free them; LeakSanitizer need not report them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

namespace {

using namespace tarnel;

// Writes one line, stamped with the time it is written.
void write(json::OrderedValue line) {
    line["at"] = SystemClock::shared().uptime();  // CLOCK_MONOTONIC
    std::cout << json::writeOrdered(line) << std::endl;
}

json::OrderedValue lineOf(const char* key, json::OrderedValue value) {
    json::OrderedValue line = json::OrderedValue::object();
    line[key] = std::move(value);
    return line;
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
    fields["connectionMode"] = std::string(rawValue(state.connectionMode()));
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
    json::OrderedValue list = json::OrderedValue::array();
    for (const RouteListItem& item : state.routeListItems()) list.push_back(item.id());
    fields["routeList"] = list;
    fields["selectedRouteID"] = state.selectedRouteID() ? json::OrderedValue(*state.selectedRouteID()) : nullptr;
    fields["systemProxyEnabled"] = state.systemProxyEnabled();
    fields["isImporting"] = state.isImporting();
    fields["subscriptionInput"] = state.subscriptionInput();
    const auto proxyProcess = surroundings.proxy->pid();
    fields["proxyProcess"] = proxyProcess ? json::OrderedValue(static_cast<std::int64_t>(*proxyProcess)) : nullptr;
    return fields;
}

// Carries out one command line; its reply, if it has one.
std::optional<json::OrderedValue> replyTo(AppState& state, const Surroundings& surroundings,
                                          const WindowControls& controls, const json::ObjectReader& reader) {
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
    } else if (name == "press") {
        const std::string control = reader.string("control");
        controls.press(control);
        return lineOf("pressed", control);
    } else if (name == "setAccessKey") {
        controls.type("subscription.access-key", reader.string("text"));
        return lineOf("set", "accessKey");
    } else if (name == "choose") {
        const std::string item = reader.string("item");
        controls.choose(reader.string("control"), item);
        return lineOf("chosen", item);
    } else if (name == "control") {
        return lineOf("control", controls.describe(reader.string("control")));
    } else if (name == "grab") {
        const std::string path = reader.string("path");
        controls.grab(path);
        return lineOf("grabbed", path);
    } else if (name == "state") {
        return lineOf("state", stateOf(state, surroundings));
    } else {
        throw std::invalid_argument("unknown command \"" + name + "\"");
    }
    return std::nullopt;
}

// Carries out one command line and writes its reply, or the error that
// stopped it; either carries the command's "id" when it has one.
void handle(AppState& state, const Surroundings& surroundings, const WindowControls& controls,
            const std::string& text) {
    std::optional<json::OrderedValue> reply;
    json::OrderedValue id = nullptr;
    try {
        const json::Value command = json::parse(text);
        const json::ObjectReader reader(command);
        if (reader.has("id")) id = json::OrderedValue::parse(reader.value("id").dump());
        reply = replyTo(state, surroundings, controls, reader);
    } catch (const std::exception& error) {
        reply = lineOf("error", errorMessage(error));
    }
    if (!reply) return;
    if (!id.is_null()) (*reply)["id"] = id;
    write(std::move(*reply));
}

// Writes each time-stamped line the log gains, without its time stamp. The
// state tells of every addition as it is made, so what the log gained since
// the last one is one addition: a message is written whole, whatever it
// holds (a line break, a "[").
class LogWriter {
public:
    explicit LogWriter(const AppState& state) : state_(state), written_(state.diagnosticLog().size()) {}

    void writeNewLines() {
        const std::string_view added = std::string_view(state_.diagnosticLog()).substr(written_);
        written_ += added.size();
        const std::size_t start = added.find("] ");
        if (!added.starts_with("\n[") || start == std::string_view::npos) return;
        write(lineOf("log", std::string(added.substr(start + 2))));
    }

private:
    const AppState& state_;
    std::size_t written_;
};

// The application's composition with what the settings name in place of
// the deployment's endpoints, the installed helper, the system's
// certificates and resolver, and the desktop's clipboard.
ApplicationComposition compositionFrom(const json::ObjectReader& settings, const Surroundings& surroundings) {
    ApplicationComposition composition;
    const json::ObjectReader endpoints(settings.object("endpoints"), "endpoints");
    const auto port = endpoints.integer<std::uint16_t>("port");
    composition.deployment.trafficChecks = {endpoints.string("ipRouteAddress"), port,
                                            endpoints.string("wildcardDNSDomain"), port,
                                            endpoints.string("traceHost"), port};
    composition.deployment.accountService = DeploymentConfiguration::production().accountService;
    composition.helper.socketPath = settings.string("socket");
    composition.http.caFile = settings.string("caFile");
    composition.http.allowedAddresses = settings.stringArray("allowedAddresses");
    if (settings.has("addressPins")) {
        for (const json::Value& pin : json::asArray(settings.value("addressPins"), "addressPins")) {
            const json::ObjectReader fields(pin, "addressPins");
            composition.http.addressPins.push_back(
                {fields.string("host"), fields.integer<std::uint16_t>("port"), fields.string("address")});
        }
    }
    if (settings.has("connectPins")) {
        for (const json::Value& pin : json::asArray(settings.value("connectPins"), "connectPins")) {
            const json::ObjectReader fields(pin, "connectPins");
            composition.http.connectPins.push_back({fields.string("host"), fields.integer<std::uint16_t>("port"),
                                                    fields.string("toHost"), fields.integer<std::uint16_t>("toPort")});
        }
    }
    composition.resolver = std::make_shared<UdpHostResolver>(settings.string("resolver"));
    composition.clipboardText = [clipboard = surroundings.clipboard] { return *clipboard; };
    composition.trustRootSPKI = SignedTransportManifestVerifier::trustRootSPKI();
    composition.proxyProcess = ProxyProcessSettings::production();
    composition.proxyProcess.traceHost = composition.deployment.trafficChecks.traceHost;
    composition.proxyProcess.runtimeEnvironment =
        settings.optionalStringArray("runtimeEnvironment").value_or(std::vector<std::string>{});
    composition.proxyProcess.curlEnvironment = {"CURL_CA_BUNDLE=" + settings.string("caFile")};
    composition.arguments = {"Tarnel Direct"};
    return composition;
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
    // The window draws with Qt's raster engine and needs no OpenGL; on X the
    // GLX probe would load Mesa, which leaves an allocation behind once
    // unloaded.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication application(argc, argv);
    prepareApplicationObject();
    std::shared_ptr<QThreadPool> pool;
    Surroundings surroundings;
    std::unique_ptr<TarnelDirectApp> app;
    try {
        const json::Value settings = json::parse(argv[1]);
        const json::ObjectReader reader(settings, "settings");
        for (const std::string_view tool : {SystemTools::scutil, SystemTools::netstat}) {
            const std::string name = std::filesystem::path(tool).filename().string();
            SystemTools::map(tool, std::filesystem::path(reader.string("tools")) / name);
        }
        AppEnvironment environment = applicationEnvironment(compositionFrom(reader, surroundings));
        // The proxy-mode runtime the state would make, kept to report its process.
        surroundings.proxy = std::make_shared<SingBoxProcess>(environment.proxyProcessSettings);
        environment.proxyProcess = surroundings.proxy;
        pool = environment.pool;
        app = std::make_unique<TarnelDirectApp>(std::make_unique<AppState>(std::move(environment)));
    } catch (const std::exception& error) {
        std::cerr << "tarnel-app-state-driver: " << errorMessage(error) << "\n";
        return 2;
    }

    AppState& state = app->appState();
    const WindowControls controls(app->openWindow());
    LogWriter log(state);
    QObject::connect(&state, &AppState::diagnosticLogChanged, [&log] { log.writeNewLines(); });
    std::thread input([&state, &surroundings, &controls] {
        for (std::string line; std::getline(std::cin, line);) {
            postToMainThread([&state, &surroundings, &controls, line] { handle(state, surroundings, controls, line); });
        }
        postToMainThread([] { QCoreApplication::quit(); });
    });
    const int status = QApplication::exec();
    input.join();
    // The windows and the state go first; the state's tasks end on the turns
    // after it is gone, those in a blocking call once it returns: every call
    // of the pool ends first.
    app.reset();
    pool->waitForDone();
    for (int turn = 0; turn < 16; ++turn) QCoreApplication::processEvents();
    releaseTaskPoolThreadState(*pool);
    return status;
}
