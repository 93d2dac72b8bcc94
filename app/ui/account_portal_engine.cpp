#include "app/ui/account_portal_engine.hpp"

#include <QCoreApplication>
#include <QPointer>
#include <QWebEngineCertificateError>
#include <QWebEngineHistory>
#include <QWebEngineHttpRequest>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <algorithm>
#include <iostream>

#include "app/ui/content_view.hpp"
#include "common/base/error.hpp"
#include "platform/info_plist.hpp"
#include "platform/user_directories.hpp"

namespace tarnel {

namespace {

constexpr std::string_view kUserAgentProductName = "TarnelDirect/";
constexpr std::string_view kUnknownVersion = "unknown";
constexpr std::string_view kVersionInfoKey = "CFBundleShortVersionString";

QString qtString(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// Puts every navigation of the view to the sheet's coordinator.
class EnginePage final : public QWebEnginePage {
public:
    EnginePage(QWebEngineProfile& profile, AccountPortalCoordinator& coordinator, QObject* parent)
        : QWebEnginePage(&profile, parent), coordinator_(&coordinator) {
        connect(this, &QWebEnginePage::certificateError, this, [](const QWebEngineCertificateError& error) {
            QWebEngineCertificateError refused = error;
            refused.rejectCertificate();
        });
        // A new window is never made (the request is never opened in a
        // page); its URL is loaded in this view instead.
        connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
            if (coordinator_) coordinator_->newWindowRequested(request.requestedUrl().toEncoded().toStdString());
        });
        connect(this, &QWebEnginePage::loadStarted, this, &EnginePage::changed);
        connect(this, &QWebEnginePage::loadFinished, this, &EnginePage::changed);
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        return coordinator_ && coordinator_->acceptNavigation(url.toEncoded().toStdString(), isMainFrame);
    }

private:
    void changed() {
        if (coordinator_) coordinator_->viewChanged();
    }

    QPointer<AccountPortalCoordinator> coordinator_;
};

// The sheet's side of an engine view; lives as long as the view.
class EngineView final : public QObject, public AccountPortalWebView {
public:
    explicit EngineView(QWebEngineView& view) : QObject(&view), view_(view) {}

    QWidget* widget() override { return &view_; }
    bool canGoBack() const override { return view_.history()->canGoBack(); }
    bool isLoading() const override { return view_.page()->isLoading(); }
    std::string url() const override { return view_.url().toEncoded().toStdString(); }

    void load(const std::string& url, bool bypassingCaches) override {
        QWebEngineHttpRequest request(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode));
        if (bypassingCaches) {
            request.setHeader("Cache-Control", "no-cache");
            request.setHeader("Pragma", "no-cache");
        }
        view_.load(request);
    }
    void goBack() override { view_.back(); }
    void reload() override { view_.reload(); }
    void stop() override { view_.stop(); }

private:
    QWebEngineView& view_;
};

}  // namespace

AccountPortalEngineSettings AccountPortalEngineSettings::production() {
    return {UserDirectories::applicationSupport() / "AccountPortal",
            accountPortalUserAgentProduct(info_plist::mainBundlePath())};
}

std::string accountPortalUserAgentProduct(const std::optional<std::filesystem::path>& infoPlist) {
    std::optional<std::string> version;
    if (infoPlist) version = info_plist::string(*infoPlist, kVersionInfoKey);
    const bool usable = version && std::none_of(version->begin(), version->end(), [](char c) {
                            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                        });
    return std::string(kUserAgentProductName) + (usable ? *version : std::string(kUnknownVersion));
}

void prepareAccountPortalEngine() { QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); }

QWebEngineProfile& accountPortalProfile(const AccountPortalEngineSettings& settings) {
    static QWebEngineProfile* const profile = [&] {
        auto* made = new QWebEngineProfile(QString::fromLatin1(AccountPortalEngineSettings::kProfileName),
                                           QCoreApplication::instance());
        made->setPersistentStoragePath(qtString(settings.storageDirectory / "Storage"));
        made->setCachePath(qtString(settings.storageDirectory / "Cache"));
        made->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
        made->setHttpUserAgent(made->httpUserAgent() + " " + QString::fromStdString(settings.userAgentProduct));
        QWebEngineSettings* pages = made->settings();
        pages->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
        // The engine asks the page about an unknown scheme only as far as
        // this policy lets it, and opens what the page accepts itself: every
        // such navigation must reach the page, which accepts none.
        pages->setUnknownUrlSchemePolicy(QWebEngineSettings::AllowAllUnknownUrlSchemes);
        return made;
    }();
    return *profile;
}

AccountPortalViewFactory accountPortalEngineViews(QWebEngineProfile& profile) {
    return [&profile](AccountPortalCoordinator& coordinator, QWidget* parent) -> AccountPortalWebView* {
        auto* view = new QWebEngineView(parent);
        view->setObjectName("accountPortal.webView");
        view->setPage(new EnginePage(profile, coordinator, view));
        return new EngineView(*view);
    };
}

AccountPortalSheetFactory accountPortalEngineSheets(std::string accountHost, AccountPortalURLOpener openURL) {
    return [accountHost = std::move(accountHost), openURL = std::move(openURL)](
               const AccountPortalSheetRequest& request, QWidget* parent) -> QDialog* {
        QWebEngineProfile* profile = nullptr;
        try {
            profile = &accountPortalProfile(AccountPortalEngineSettings::production());
        } catch (const std::exception& error) {
            std::cerr << "Tarnel Direct: the account portal cannot open: " << errorMessage(error) << "\n";
            return nullptr;
        }
        const AccountPortalSheetServices services{accountHost, openURL, accountPortalEngineViews(*profile)};
        return new AccountPortalSheet(request.url, request.language, request.onHandoff, request.onClose, services,
                                      parent);
    };
}

}  // namespace tarnel
