// The application `tarnel-direct` ("Tarnel Direct" inside its bundle): one
// running instance per user, the window over the application state, and the
// deep links the desktop hands it.

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/program/application_composition.hpp"
#include "app/state/app_environment.hpp"
#include "app/state/app_state.hpp"
#include "app/ui/account_portal_engine.hpp"
#include "app/ui/single_instance.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "common/base/error.hpp"

using namespace tarnel;

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: fontconfig and D-Bus keep their caches until the process
// ends and never free them; LeakSanitizer need not report them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    prepareAccountPortalEngine();
    QApplication application(argc, argv);
    prepareApplicationObject();
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

        AppEnvironment environment = applicationEnvironment(ApplicationComposition::production(arguments));
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
