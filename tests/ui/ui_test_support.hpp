#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QStyleFactory>
#include <QWidget>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/app_state.hpp"
#include "app/ui/content_view.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/tarnel_direct_app.hpp"
#include "app/ui/ui_style.hpp"
#include "tests/state/app_state_fixture.hpp"

// The window tests: the process's QApplication (offscreen unless the test
// program chose a platform), windows over the real application state on the
// state tests' fakes, and finding controls as automation does.
namespace tarnel::testing {

// Made on first use, before any state test's application object, with the
// animations off so that a panel is open or closed at once.
inline QApplication& uiApplication() {
    static int argc = 1;
    static char name[] = "tarnel-ui-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* const application = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* made = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        ui::setAnimationsEnabled(false);
        return made;
    }();
    return *application;
}

struct UiApplication {
    UiApplication() { uiApplication(); }
};

inline QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The widgets under `root` (itself included) of a kind that pass `test`.
template <typename Widget, typename Test>
std::vector<Widget*> widgetsWhere(QWidget& root, Test&& test) {
    std::vector<Widget*> found;
    if (auto* self = qobject_cast<Widget*>(&root); self != nullptr && test(*self)) found.push_back(self);
    for (Widget* child : root.findChildren<Widget*>()) {
        if (test(*child)) found.push_back(child);
    }
    return found;
}

// The one widget that passes `test`; fails the test when there is not
// exactly one.
template <typename Widget, typename Test>
Widget& onlyWidget(QWidget& root, Test&& test, std::string_view what) {
    const auto found = widgetsWhere<Widget>(root, std::forward<Test>(test));
    if (found.size() != 1) {
        ADD_FAILURE() << "expected one widget " << what << ", found " << found.size();
        throw std::runtime_error("no single widget " + std::string(what));
    }
    return *found.front();
}

template <typename Widget = QWidget>
Widget& byName(QWidget& root, std::string_view objectName) {
    return onlyWidget<Widget>(root, [&](Widget& widget) { return widget.objectName() == qs(objectName); },
                              "named " + std::string(objectName));
}

// A button by its text (its label).
template <typename Widget = QAbstractButton>
Widget& byText(QWidget& root, std::string_view text) {
    return onlyWidget<Widget>(root, [&](Widget& widget) { return widget.text() == qs(text); },
                              "with the text " + std::string(text));
}

template <typename Widget = QWidget>
Widget& byAccessibleName(QWidget& root, std::string_view name) {
    return onlyWidget<Widget>(root, [&](Widget& widget) { return widget.accessibleName() == qs(name); },
                              "with the accessible name " + std::string(name));
}

template <typename Widget = QWidget>
Widget& byToolTip(QWidget& root, std::string_view tip) {
    return onlyWidget<Widget>(root, [&](Widget& widget) { return widget.toolTip() == qs(tip); },
                              "with the tool tip " + std::string(tip));
}

// Whether a visible label under `root` shows exactly `text`.
inline bool showsLabel(QWidget& root, std::string_view text) {
    return !widgetsWhere<QLabel>(root, [&](QLabel& label) {
                return label.text() == qs(text) && label.isVisibleTo(&root);
            }).empty();
}

inline std::string imageOf(const QObject& object) {
    return object.property(ui::kSystemImageProperty).toString().toStdString();
}

// Whether the widget shows and reacts, within its window.
inline bool shown(const QWidget& widget) { return widget.isVisibleTo(widget.window()); }

// An HTTP layer that records the URLs asked of it and answers each with a
// 503; safe from the pool's threads.
class RecordingHttpClient final : public HttpClient {
public:
    [[nodiscard]] HttpResponse perform(const HttpRequest& request, std::stop_token) const override {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.method + " " + request.url);
        return HttpResponse{503, {}, {}};
    }
    [[nodiscard]] std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::vector<std::string> requests_;
};

// A route as the subscription tests make them.
inline RouteNode makeRoute(std::string id, RouteTransport transport, std::string nodeCode,
                           std::string server = "server.example.net") {
    RouteNode node;
    node.id = std::move(id);
    node.transport = transport;
    node.title = "Route " + node.id;
    node.nodeCode = std::move(nodeCode);
    node.server = server;
    node.port = 443;
    node.serverName = std::move(server);
    return node;
}

// A window over the real application state on the state tests' fakes (those
// of `StateFixture`): the application owns the state; each test opens the
// windows it needs.
template <typename StateFixture>
class WindowFixtureOver : protected UiApplication, public StateFixture {
protected:
    using StateFixture::start;

    ~WindowFixtureOver() override {
        app.reset();
        runPostedEvents();
    }

    // Starts the state and the application (after the test set the
    // environment), and opens one window.
    ContentView& open(AccountPortalSheetFactory sheetFactory = {}) {
        start();
        app = std::make_unique<TarnelDirectApp>(std::move(StateFixture::state), std::move(sheetFactory));
        ContentView& window = app->openWindow();
        runPostedEvents();
        return window;
    }

    [[nodiscard]] AppState& appState() { return app->appState(); }

    std::unique_ptr<TarnelDirectApp> app;
};

using WindowFixture = WindowFixtureOver<AppStateFixture>;

}  // namespace tarnel::testing
