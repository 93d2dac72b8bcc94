// The application `tarnel-direct` ("Tarnel Direct" inside its bundle): one
// running instance per user, the window over the application state, and the
// deep links the desktop hands it.

#include <QApplication>
#include <QByteArray>
#include <QClipboard>
#include <QDesktopServices>
#include <QStyleFactory>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/state/app_environment.hpp"
#include "app/state/app_state.hpp"
#include "app/state/qsettings_store.hpp"
#include "app/tunnel/deployment_configuration.hpp"
#include "app/tunnel/privileged_helper_client.hpp"
#include "app/tunnel/startup_timing.hpp"
#include "app/tunnel/tunnel_health_probe.hpp"
#include "app/ui/account_portal_engine.hpp"
#include "app/ui/single_instance.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "common/base/error.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/user_directories.hpp"

namespace {

using namespace tarnel;

AppEnvironment productionEnvironment(std::vector<std::string> arguments) {
    const DeploymentConfiguration deployment = DeploymentConfiguration::production();
    AppEnvironment environment;
    environment.settings = std::make_shared<QSettingsStore>(QSettingsStore::defaultFile());
    environment.keychain = std::make_shared<FileKeychain>(UserDirectories::applicationSupport());
    environment.clock = AppEnvironment::systemClock();
    environment.sleeper = std::make_shared<QtTimerSleeper>();
    environment.pool = makeTaskPool();
    environment.useApplicationConnectServices(std::make_shared<PrivilegedHelperClient>());
    environment.clipboardText = []() -> std::optional<std::string> {
        const QString text = QGuiApplication::clipboard()->text();
        if (text.isEmpty()) return std::nullopt;
        return text.toStdString();
    };
    environment.tailscaleSnapshot = [](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) {
        return PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(attemptID, deadlineUptime, stop);
    };
    environment.trustRootSPKI = SignedTransportManifestVerifier::trustRootSPKI();
    environment.fetchSubscription = AppEnvironment::subscriptionFetcher(std::make_shared<CurlHttpClient>(),
                                                                       environment.clock, environment.trustRootSPKI);
    environment.accountService = deployment.accountService;
    environment.accountHttp = std::make_shared<CurlHttpClient>();
    environment.openURL = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode));
    };
    environment.arguments = std::move(arguments);
    environment.environmentVariable = &AppEnvironment::processEnvironmentVariable;
    environment.proxyProcessSettings = ProxyProcessSettings::production();
    environment.tunnelHealthProbeServices = {deployment.trafficChecks, std::make_shared<SystemHostResolver>(),
                                             std::make_shared<CurlHttpClient>(), &SystemClock::shared(), {}};
    return environment;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: fontconfig and D-Bus keep their caches until the process
// ends and never free them; LeakSanitizer need not report them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    prepareAccountPortalEngine();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnel Direct"));
    // One look on every desktop: the window draws its own colours over it.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(ui::applicationIcon());
    // The arguments as bytes, after Qt took its own options out of them.
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::vector<std::string> urls = TarnelDirectApp::openedURLs(arguments);

    try {
        SingleInstance instance(SingleInstance::defaultDirectory(&AppEnvironment::processEnvironmentVariable));
        switch (instance.start(urls)) {
            case SingleInstance::Outcome::instance: break;
            case SingleInstance::Outcome::delivered: return 0;
            case SingleInstance::Outcome::refused:
                std::cerr << "Tarnel Direct: the running instance did not take the links (at most "
                          << SingleInstance::kMessageLimit / 1024 << " KiB).\n";
                return 1;
            case SingleInstance::Outcome::unreachable:
                std::cerr << "Tarnel Direct: the running instance does not answer.\n";
                return 1;
            case SingleInstance::Outcome::failed:
                std::cerr << "Tarnel Direct: the instance's lock or socket cannot be made in "
                          << instance.socketPath().parent_path() << ".\n";
                return 1;
        }

        AppEnvironment environment = productionEnvironment(arguments);
        AccountPortalSheetFactory sheets =
            accountPortalEngineSheets(environment.accountService.host, environment.openURL);
        TarnelDirectApp app(std::make_unique<AppState>(std::move(environment)), std::move(sheets));
        QObject::connect(&instance, &SingleInstance::urlsReceived, &app, [&app](const std::vector<std::string>& given) {
            for (const std::string& url : given) app.openURL(url);
        });
        QObject::connect(&instance, &SingleInstance::activationRequested, &app, [&app] { app.raiseWindow(); });
        app.openWindow();
        // The links this start was given, once the window is up.
        QTimer::singleShot(0, &app, [&app, urls] {
            for (const std::string& url : urls) app.openURL(url);
        });
        return QApplication::exec();
    } catch (const std::exception& error) {
        std::cerr << "Tarnel Direct: " << errorMessage(error) << "\n";
        return 1;
    }
}
