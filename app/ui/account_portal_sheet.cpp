#include "app/ui/account_portal_sheet.hpp"

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <utility>

#include "app/state/account_portal.hpp"

namespace tarnel {

namespace {

constexpr int kHeaderHeight = 48;
constexpr int kHeaderSpacing = 8;
constexpr int kHeaderPadding = 14;
const QSize kMinimumSize{760, 620};
const QSize kIdealSize{860, 760};

// The sheet's texts, English and Russian.
struct SheetTexts {
    QString back, reload, title, openInBrowser, close;
};

SheetTexts textsFor(const std::string& language) {
    if (language == "ru") {
        return {"Назад", "Обновить", "Кабинет и оплата", "Открыть текущую страницу в браузере", "Закрыть"};
    }
    return {"Back", "Refresh", "Account and payment", "Open current page in browser", "Close"};
}

// A button showing the named system image, drawn from the style's own icons.
QToolButton* imageButton(const char* objectName, const char* systemImage, QStyle::StandardPixmap icon,
                         const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setProperty("systemImage", systemImage);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setAutoRaise(true);
    return button;
}

}  // namespace

AccountPortalSheet::AccountPortalSheet(std::string url, std::string language,
                                       std::function<void(const std::string&)> onHandoff,
                                       std::function<void()> onClose, const AccountPortalSheetServices& services,
                                       QWidget* parent)
    : QDialog(parent),
      url_(std::move(url)),
      language_(std::move(language)),
      accountHost_(services.accountHost),
      onClose_(std::move(onClose)) {
    const SheetTexts texts = textsFor(language_);
    setObjectName("accountPortal.sheet");
    setWindowTitle(texts.title);
    setWindowModality(Qt::WindowModal);
    setMinimumSize(kMinimumSize);

    browser_ = new AccountPortalBrowser(services.openURL, this);
    const DirectAccountPortal portal(services.accountHost);
    coordinator_ = new AccountPortalCoordinator(
        *browser_, language_,
        [portal](std::string_view address, std::string_view portalLanguage) {
            return portal.canonicalPortalURL(address, DirectAccountPortal::kClientChannel, portalLanguage);
        },
        services.openURL, {std::move(onHandoff), onClose_}, this);

    auto* header = new QWidget(this);
    header->setObjectName("accountPortal.header");
    header->setFixedHeight(kHeaderHeight);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(kHeaderPadding, 0, kHeaderPadding, 0);
    row->setSpacing(kHeaderSpacing);

    back_ = imageButton("accountPortal.back", "chevron.left", QStyle::SP_ArrowBack, texts.back, header);
    connect(back_, &QToolButton::clicked, browser_, &AccountPortalBrowser::goBack);
    row->addWidget(back_);

    auto* reload = imageButton("accountPortal.reload", "arrow.clockwise", QStyle::SP_BrowserReload, texts.reload, header);
    connect(reload, &QToolButton::clicked, browser_, &AccountPortalBrowser::reload);
    row->addWidget(reload);

    auto* titleIcon = new QLabel(header);
    titleIcon->setObjectName("accountPortal.titleImage");
    titleIcon->setProperty("systemImage", "creditcard");
    titleIcon->setPixmap(style()->standardIcon(QStyle::SP_FileDialogDetailedView).pixmap(16, 16));
    row->addWidget(titleIcon);
    auto* title = new QLabel(texts.title, header);
    title->setObjectName("accountPortal.title");
    QFont headline = title->font();
    headline.setPixelSize(13);
    headline.setWeight(QFont::DemiBold);
    title->setFont(headline);
    row->addWidget(title);

    host_ = new QLabel(header);
    host_->setObjectName("accountPortal.host");
    QFont caption = host_->font();
    caption.setPixelSize(10);
    host_->setFont(caption);
    host_->setForegroundRole(QPalette::PlaceholderText);
    host_->setWordWrap(false);
    row->addWidget(host_);

    loading_ = new QProgressBar(header);
    loading_->setObjectName("accountPortal.loading");
    loading_->setRange(0, 0);  // spins without a value
    loading_->setTextVisible(false);
    loading_->setFixedSize(16, 16);
    row->addWidget(loading_);

    row->addStretch(1);

    openInBrowser_ = imageButton("accountPortal.openInBrowser", "safari", QStyle::SP_DirLinkIcon, texts.openInBrowser,
                                 header);
    connect(openInBrowser_, &QToolButton::clicked, browser_, &AccountPortalBrowser::openCurrentPageInBrowser);
    row->addWidget(openInBrowser_);

    auto* close = new QPushButton(texts.close, header);
    close->setObjectName("accountPortal.close");
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &AccountPortalSheet::reject);
    row->addWidget(close);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    AccountPortalWebView* view = services.makeView(*coordinator_, this);
    browser_->setView(view);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header);
    column->addWidget(divider);
    column->addWidget(view->widget(), 1);

    // Escape closes the sheet also while the page has the keyboard focus.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &AccountPortalSheet::reject);

    connect(browser_, &AccountPortalBrowser::changed, this, &AccountPortalSheet::refreshHeader);
    refreshHeader();
    coordinator_->loadFirst(url_);
}

AccountPortalSheet::~AccountPortalSheet() {
    if (auto* view = browser_->view()) delete view->widget();
}

QSize AccountPortalSheet::sizeHint() const { return kIdealSize; }

void AccountPortalSheet::reject() {
    if (onClose_) onClose_();
}

void AccountPortalSheet::refreshHeader() {
    back_->setEnabled(browser_->canGoBack());
    const auto& current = browser_->currentURL();
    const QString host = current ? QUrl(QString::fromStdString(*current)).host() : QString();
    host_->setText(host.isEmpty() ? QString::fromStdString(accountHost_) : host);
    loading_->setVisible(browser_->isLoading());
    openInBrowser_->setEnabled(current.has_value());
}

}  // namespace tarnel
