#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/http/http_client_settings.hpp"
#include "app/state/app_environment.hpp"
#include "app/tunnel/deployment_configuration.hpp"
#include "app/tunnel/privileged_helper_client.hpp"
#include "app/tunnel/sing_box_process.hpp"
#include "app/tunnel/tunnel_health_probe.hpp"

namespace tarnel {

// What the application's environment is made of where one run of the
// application differs from another: the installed application takes
// `production()`; the application-state driver of the end-to-end tests and
// the demo fills it from its settings, so that both run on the one
// composition below.
struct ApplicationComposition {
    // The traffic checks' endpoints and the account service.
    DeploymentConfiguration deployment;
    // Where the privileged helper answers.
    HelperEndpoint helper;
    // How every HTTP request of the application reaches its server (the
    // subscription fetch, the traffic checks' HTTPS check, the account
    // portal's calls): the CA file, address and connect pins, and the
    // addresses test builds may reach. Its allowed addresses are the traffic
    // checks' TCP targets' too.
    HttpClientSettings http;
    // Resolves the DNS check's names.
    std::shared_ptr<const HostResolver> resolver;
    // The text on the clipboard; empty: never any.
    std::function<std::optional<std::string>()> clipboardText;
    // The root key of signed route lists (DER SubjectPublicKeyInfo).
    std::optional<std::string> trustRootSPKI;
    // What the proxy-mode runtime runs from.
    ProxyProcessSettings proxyProcess;
    // Opens a URL with the system's handler; empty: nothing opens.
    std::function<void(const std::string& url)> openURL;
    // The process's arguments, the program's name first.
    std::vector<std::string> arguments;

    // The installed application's: the production deployment, the installed
    // helper, the system's certificates and resolver, the desktop's clipboard
    // and URL handler (a QGuiApplication must exist when they are used), the
    // running bundle's root key and runtime.
    [[nodiscard]] static ApplicationComposition production(std::vector<std::string> arguments);
};

// The application's environment over `composition`: the user's settings file
// and file keychain (in the XDG directories of the process's environment),
// the system clock, a timer sleeper, a task pool, the helper client with the
// Connect services around it, the timed Tailscale snapshot, the subscription
// fetch verifying against the root key, and the traffic checks.
[[nodiscard]] AppEnvironment applicationEnvironment(ApplicationComposition composition);

// Names the process's QApplication "Tarnel Direct" and gives it the
// application's look: the Fusion style on every desktop (the window draws
// its own colours over it) and the application's icon.
void prepareApplicationObject();

}  // namespace tarnel
