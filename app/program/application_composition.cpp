#include "app/program/application_composition.hpp"

#include <QByteArray>
#include <QClipboard>
#include <QDesktopServices>
#include <QApplication>
#include <QGuiApplication>
#include <QStyleFactory>
#include <QUrl>

#include <utility>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/state/qsettings_store.hpp"
#include "app/tunnel/startup_timing.hpp"
#include "app/ui/symbol_icons.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/user_directories.hpp"

namespace tarnel {

ApplicationComposition ApplicationComposition::production(std::vector<std::string> arguments) {
    ApplicationComposition composition;
    composition.deployment = DeploymentConfiguration::production();
    composition.helper = HelperEndpoint::production();
    composition.resolver = std::make_shared<SystemHostResolver>();
    composition.clipboardText = []() -> std::optional<std::string> {
        const QString text = QGuiApplication::clipboard()->text();
        if (text.isEmpty()) return std::nullopt;
        return text.toStdString();
    };
    composition.trustRootSPKI = SignedTransportManifestVerifier::trustRootSPKI();
    composition.proxyProcess = ProxyProcessSettings::production();
    composition.openURL = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode));
    };
    composition.arguments = std::move(arguments);
    return composition;
}

AppEnvironment applicationEnvironment(ApplicationComposition composition) {
    AppEnvironment environment;
    environment.settings = std::make_shared<QSettingsStore>(QSettingsStore::defaultFile());
    environment.keychain = std::make_shared<FileKeychain>(UserDirectories::applicationSupport());
    environment.clock = AppEnvironment::systemClock();
    environment.sleeper = std::make_shared<QtTimerSleeper>();
    environment.pool = makeTaskPool();
    environment.useApplicationConnectServices(std::make_shared<PrivilegedHelperClient>(composition.helper));
    environment.clipboardText = std::move(composition.clipboardText);
    environment.tailscaleSnapshot = [](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) {
        return PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(attemptID, deadlineUptime, stop);
    };
    environment.trustRootSPKI = std::move(composition.trustRootSPKI);
    // One HTTP layer for every request: it keeps nothing between requests.
    const auto http = std::make_shared<const CurlHttpClient>(composition.http);
    environment.fetchSubscription =
        AppEnvironment::subscriptionFetcher(http, environment.clock, environment.trustRootSPKI);
    environment.accountService = composition.deployment.accountService;
    environment.accountHttp = http;
    environment.openURL = std::move(composition.openURL);
    environment.arguments = std::move(composition.arguments);
    environment.environmentVariable = &AppEnvironment::processEnvironmentVariable;
    environment.proxyProcessSettings = std::move(composition.proxyProcess);
    environment.tunnelHealthProbeServices = {composition.deployment.trafficChecks, std::move(composition.resolver),
                                             http, &SystemClock::shared(), composition.http.allowedAddresses};
    return environment;
}

void prepareApplicationObject() {
    QApplication::setApplicationName(QStringLiteral("Tarnel Direct"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(ui::applicationIcon());
}

}  // namespace tarnel
