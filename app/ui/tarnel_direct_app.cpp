#include "app/ui/tarnel_direct_app.hpp"

#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QShortcut>

#include <algorithm>
#include <functional>
#include <utility>

#include "app/state/app_state.hpp"

namespace tarnel {

namespace {

// Tells the application which of its windows the user worked in last.
class ActivationWatcher final : public QObject {
public:
    ActivationWatcher(ContentView& window, std::function<void()> activated)
        : QObject(&window), activated_(std::move(activated)) {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::WindowActivate) activated_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> activated_;
};

}  // namespace

TarnelDirectApp::TarnelDirectApp(std::unique_ptr<AppState> state, AccountPortalSheetFactory sheetFactory,
                                 QObject* parent)
    : QObject(parent), state_(std::move(state)), sheetFactory_(std::move(sheetFactory)) {
    const AppEnvironment& environment = state_->environment();
    EnvironmentReader reader = environment.environmentVariable;
    if (!reader) reader = &AppEnvironment::processEnvironmentVariable;
    language_ = std::make_unique<LanguageSetting>(environment.settings, std::move(reader));
    connect(state_.get(), &AppState::accountPortalURLChanged, this, [this] { accountPortalURLChanged(); });
}

TarnelDirectApp::~TarnelDirectApp() {
    for (const auto& window : windows_) delete window.data();
}

ContentView& TarnelDirectApp::openWindow() {
    auto* window = new ContentView(*state_, *language_, sheetFactory_);
    window->setAttribute(Qt::WA_DeleteOnClose);
    connect(window, &ContentView::handoffCaught, this, [this](const std::string& url) { openURL(url); });
    auto* another = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), window);
    connect(another, &QShortcut::activated, this, [this] { openWindow(); });
    new ActivationWatcher(*window, [this, target = QPointer<ContentView>(window)] {
        if (target) windowActivated(*target);
    });
    std::erase_if(windows_, [](const QPointer<ContentView>& open) { return open.isNull(); });
    windows_.emplace_back(window);
    lastActive_ = window;
    window->show();
    window->activateWindow();
    return *window;
}

std::vector<ContentView*> TarnelDirectApp::windows() const {
    std::vector<ContentView*> open;
    for (const auto& window : windows_) {
        if (window) open.push_back(window.data());
    }
    return open;
}

void TarnelDirectApp::raiseWindow() {
    ContentView* window = activeWindow();
    if (window == nullptr) {
        openWindow();
        return;
    }
    window->showNormal();
    window->raise();
    window->activateWindow();
}

// Only a handoff link does anything: the state ignores every other URL.
void TarnelDirectApp::openURL(std::string_view url) { state_->handleAccountHandoff(url); }

std::vector<std::string> TarnelDirectApp::openedURLs(const std::vector<std::string>& arguments) {
    std::vector<std::string> urls;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        if (!arguments[index].starts_with('-')) urls.push_back(arguments[index]);
    }
    return urls;
}

void TarnelDirectApp::windowActivated(ContentView& window) { lastActive_ = &window; }

ContentView* TarnelDirectApp::activeWindow() const {
    const auto open = windows();
    if (auto* active = qobject_cast<ContentView*>(QApplication::activeWindow());
        active != nullptr && std::ranges::find(open, active) != open.end()) {
        return active;
    }
    if (lastActive_) return lastActive_.data();
    return open.empty() ? nullptr : open.back();
}

// The sheet opens over the window that was active when the address was set,
// and only there.
void TarnelDirectApp::accountPortalURLChanged() {
    if (!state_->accountPortalURL()) return;
    const auto open = windows();
    if (std::ranges::any_of(open, [](ContentView* window) { return window->accountPortalSheet() != nullptr; })) {
        return;
    }
    if (ContentView* window = activeWindow()) window->presentAccountPortalSheet();
}

}  // namespace tarnel
