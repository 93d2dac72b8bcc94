#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/app_language.hpp"
#include "app/ui/content_view.hpp"

namespace tarnel {

class AppState;

// The application: it owns the one application state of the process and
// every window, each a ContentView of that state. Ctrl+N in a window opens
// another. A URL the system opens reaches the state's account handoff as it
// is. The account portal sheet opens in the window that was active when the
// state set the portal address. Main thread only.
class TarnelDirectApp final : public QObject {
    Q_OBJECT

public:
    // Takes the process's one state; the language is read from its settings
    // and its environment.
    explicit TarnelDirectApp(std::unique_ptr<AppState> state, AccountPortalSheetFactory sheetFactory = {},
                             QObject* parent = nullptr);
    ~TarnelDirectApp() override;

    [[nodiscard]] AppState& appState() noexcept { return *state_; }
    [[nodiscard]] LanguageSetting& languageSetting() noexcept { return *language_; }

    // Opens and shows a new window.
    ContentView& openWindow();
    // The open windows, oldest first.
    [[nodiscard]] std::vector<ContentView*> windows() const;
    // Brings a window to the front: the one used last, else a new one.
    void raiseWindow();
    // Hands a URL the system asked the application to open to the state.
    void openURL(std::string_view url);

    // The URLs among the program's arguments (its name first): every later
    // argument that is not an option (an option starts with "-").
    [[nodiscard]] static std::vector<std::string> openedURLs(const std::vector<std::string>& arguments);

private:
    void windowActivated(ContentView& window);
    void accountPortalURLChanged();
    [[nodiscard]] ContentView* activeWindow() const;

    std::unique_ptr<AppState> state_;
    std::unique_ptr<LanguageSetting> language_;
    AccountPortalSheetFactory sheetFactory_;
    std::vector<QPointer<ContentView>> windows_;
    QPointer<ContentView> lastActive_;
};

}  // namespace tarnel
