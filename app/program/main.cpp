// The application `tarnel-direct` ("Tarnel Direct" inside its bundle): one
// running instance per user, the window over the application state, and the
// deep links the desktop hands it.

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
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
#include "app/ui/single_instance.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "common/base/error.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/user_directories.hpp"

namespace {

using namespace tarnel;

// Every argument after the program's name that is not an option ("-" first):
// the URLs the desktop asks the application to open.
std::vector<std::string> urlArguments(const QStringList& arguments) {
    std::vector<std::string> urls;
    for (qsizetype index = 1; index < arguments.size(); ++index) {
        if (arguments[index].startsWith(QLatin1Char('-'))) continue;
        urls.push_back(arguments[index].toStdString());
    }
    return urls;
}

AppEnvironment productionEnvironment(const QStringList& arguments) {
    const DeploymentConfiguration deployment = DeploymentConfiguration::production();
    AppEnvironment environment;
    environment.settings = std::make_shared<QSettingsStore>(QSettingsStore::defaultFile());
    environment.keychain = std::make_shared<FileKeychain>(UserDirectories::applicationSupport());
    environment.clock = AppEnvironment::systemClock();
    environment.sleeper = std::make_shared<QtTimerSleeper>();
    environment.pool = makeTaskPool();
    environment.helper = std::make_shared<PrivilegedHelperClient>();
    environment.tailscaleSnapshot = [](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) {
        return PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(attemptID, deadlineUptime, stop);
    };
    environment.trustRootSPKI = SignedTransportManifestVerifier::trustRootSPKI();
    for (const QString& argument : arguments) environment.arguments.push_back(argument.toStdString());
    environment.environmentVariable = &AppEnvironment::processEnvironmentVariable;
    environment.proxyProcessSettings = ProxyProcessSettings::production();
    environment.tunnelHealthProbeServices = {deployment.trafficChecks, std::make_shared<SystemHostResolver>(),
                                             std::make_shared<CurlHttpClient>(), &SystemClock::shared(), {}};
    return environment;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: fontconfig keeps its caches until the process ends and
// never frees them; LeakSanitizer need not report them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnel Direct"));
    QApplication::setWindowIcon(ui::applicationIcon());
    const QStringList arguments = QApplication::arguments();
    const std::vector<std::string> urls = urlArguments(arguments);

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
                std::cerr << "Tarnel Direct: another instance is starting and does not answer.\n";
                return 1;
        }

        TarnelDirectApp app(std::make_unique<AppState>(productionEnvironment(arguments)));
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
