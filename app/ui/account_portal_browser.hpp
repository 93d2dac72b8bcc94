#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

namespace tarnel {

// Gives a URL to the desktop's handler for it: the user's browser for an
// https page, the mail application for a mail link. QDesktopServices in the
// program; tests record the calls.
using AccountPortalURLOpener = std::function<void(const std::string& url)>;

// The web view of the account portal sheet, as the sheet sees it: the
// engine's view in the program, an engine-free one in widget tests. URLs are
// fully encoded texts; an empty text is no URL.
class AccountPortalWebView {
public:
    virtual ~AccountPortalWebView() = default;

    // The widget that shows the pages; the sheet's layout owns it.
    [[nodiscard]] virtual QWidget* widget() = 0;
    [[nodiscard]] virtual bool canGoBack() const = 0;
    [[nodiscard]] virtual bool isLoading() const = 0;
    [[nodiscard]] virtual std::string url() const = 0;

    // Starts loading `url`; `bypassingCaches` asks every cache on the way to
    // answer afresh ("Cache-Control: no-cache" and "Pragma: no-cache").
    virtual void load(const std::string& url, bool bypassingCaches) = 0;
    virtual void goBack() = 0;
    virtual void reload() = 0;
    virtual void stop() = 0;
};

// What the sheet's header shows of its web view, copied from the view when
// it starts, finishes or fails a load, and the header's actions on the view.
// Holds the view weakly: once the view is gone the actions do nothing.
class AccountPortalBrowser final : public QObject {
    Q_OBJECT

public:
    explicit AccountPortalBrowser(AccountPortalURLOpener openURL, QObject* parent = nullptr);

    [[nodiscard]] bool canGoBack() const noexcept { return canGoBack_; }
    [[nodiscard]] bool isLoading() const noexcept { return isLoading_; }
    [[nodiscard]] const std::optional<std::string>& currentURL() const noexcept { return currentURL_; }

    // The view while it exists, else nothing.
    [[nodiscard]] AccountPortalWebView* view() const noexcept { return viewWidget_ ? view_ : nullptr; }
    void setView(AccountPortalWebView* view);

    // Copies the view's back state, loading state and URL, in that order,
    // then signals `changed`.
    void update(const AccountPortalWebView& view);

    // Gives the current page to the desktop's browser when it is an https
    // page; does nothing otherwise.
    void openCurrentPageInBrowser() const;
    void goBack() const;
    void reload() const;

Q_SIGNALS:
    void changed();

private:
    AccountPortalURLOpener openURL_;
    bool canGoBack_ = false;
    bool isLoading_ = false;
    std::optional<std::string> currentURL_;
    AccountPortalWebView* view_ = nullptr;
    QPointer<QWidget> viewWidget_;
};

}  // namespace tarnel
