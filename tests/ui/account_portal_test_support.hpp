#pragma once

// The account portal sheet without a web engine (on the window tests'
// application, uiApplication()): a view that records what the sheet asks of it and
// shows whatever state the test gives it.

#include <QCoreApplication>
#include <QWidget>

#include <string>
#include <vector>

#include "app/ui/account_portal_sheet.hpp"

namespace tarnel::testing {

// Runs what the event loop holds, deferred deletions included.
inline void runEventLoopTurns() {
    for (int turn = 0; turn < 4; ++turn) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class AccountPortalTestView final : public QWidget, public AccountPortalWebView {
public:
    struct Load {
        std::string url;
        bool bypassingCaches = false;
        friend bool operator==(const Load&, const Load&) = default;
    };

    AccountPortalTestView(AccountPortalCoordinator& reportsTo, QWidget* parent)
        : QWidget(parent), coordinator(reportsTo) {}

    QWidget* widget() override { return this; }
    bool canGoBack() const override { return backAvailable; }
    bool isLoading() const override { return loading; }
    std::string url() const override { return currentURL; }
    void load(const std::string& url, bool bypassingCaches) override {
        loads.push_back({url, bypassingCaches});
        loading = true;
    }
    void goBack() override { ++backs; }
    void reload() override { ++reloads; }
    void stop() override {
        ++stops;
        loading = false;
    }

    // Shows this state and reports it as the engine's page does at the end
    // of a load.
    void present(std::string url, bool isLoading, bool canGoBack) {
        currentURL = std::move(url);
        loading = isLoading;
        backAvailable = canGoBack;
        coordinator.viewChanged();
    }

    AccountPortalCoordinator& coordinator;
    std::vector<Load> loads;
    int backs = 0;
    int reloads = 0;
    int stops = 0;
    bool backAvailable = false;
    bool loading = false;
    std::string currentURL;
};

}  // namespace tarnel::testing
