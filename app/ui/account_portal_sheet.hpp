#pragma once

#include <QDialog>

#include <functional>
#include <string>

#include "app/ui/account_portal_browser.hpp"
#include "app/ui/account_portal_coordinator.hpp"

class QLabel;
class QProgressBar;
class QToolButton;
class QPushButton;

namespace tarnel {

// Makes the sheet's web view as a child of `parent`, its page reporting to
// `coordinator`: the engine's view in the program (accountPortalEngineViews),
// an engine-free one in widget tests.
using AccountPortalViewFactory =
    std::function<AccountPortalWebView*(AccountPortalCoordinator& coordinator, QWidget* parent)>;

// What every presentation of the sheet uses.
struct AccountPortalSheetServices {
    // The account service host: the portal addresses' host, and the host the
    // header shows before the view has a page.
    std::string accountHost;
    AccountPortalURLOpener openURL;
    AccountPortalViewFactory makeView;
};

// The account and payment portal in a dialog over the presenter's window: a
// header (back, reload, title, the current host, a loading indicator, open in
// browser, close) over the portal's web view. Each presentation makes its own
// browser and view; closing (the Close button, Escape, a caught handoff) goes
// through onClose, and the presenter deletes the sheet (deleteLater).
class AccountPortalSheet final : public QDialog {
    Q_OBJECT

public:
    // Texts and the portal's "lang" follow `language`: "ru" for Russian, any
    // other value for English. The view starts loading `url` at once.
    AccountPortalSheet(std::string url, std::string language, std::function<void(const std::string&)> onHandoff,
                       std::function<void()> onClose, const AccountPortalSheetServices& services,
                       QWidget* parent = nullptr);
    // The view goes first, so that nothing it reports reaches a coordinator
    // or browser being destroyed.
    ~AccountPortalSheet() override;

    [[nodiscard]] const std::string& url() const noexcept { return url_; }
    [[nodiscard]] const std::string& language() const noexcept { return language_; }
    [[nodiscard]] AccountPortalBrowser& browser() noexcept { return *browser_; }

    [[nodiscard]] QSize sizeHint() const override;

    // Escape: onClose, and the sheet stays until its presenter removes it.
    void reject() override;

private:
    void refreshHeader();

    std::string url_;
    std::string language_;
    std::string accountHost_;
    std::function<void()> onClose_;
    AccountPortalBrowser* browser_ = nullptr;
    AccountPortalCoordinator* coordinator_ = nullptr;
    QToolButton* back_ = nullptr;
    QLabel* host_ = nullptr;
    QProgressBar* loading_ = nullptr;
    QToolButton* openInBrowser_ = nullptr;
};

}  // namespace tarnel
