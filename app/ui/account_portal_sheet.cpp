#include "app/ui/account_portal_sheet.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <utility>

#include "app/state/account_portal.hpp"
#include "app/ui/controls.hpp"
#include "app/ui/ui_style.hpp"
#include "app/ui/widgets.hpp"

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

// An image button with its help text, which is its accessible name too.
QToolButton* imageButton(QWidget* parent, std::string_view symbol, const char* identifier, const QString& help) {
    QToolButton* button = ui::makeImageButton(parent, symbol, identifier);
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

    back_ = imageButton(header, "chevron.left", "accountPortal.back", texts.back);
    connect(back_, &QToolButton::clicked, browser_, &AccountPortalBrowser::goBack);
    row->addWidget(back_);

    auto* reload = imageButton(header, "arrow.clockwise", "accountPortal.reload", texts.reload);
    connect(reload, &QToolButton::clicked, browser_, &AccountPortalBrowser::reload);
    row->addWidget(reload);

    const QColor primary = ui::color(ui::ColorName::primary, palette());
    auto* titleImage = new ui::SymbolView("creditcard", 14, primary, header);
    titleImage->setObjectName("accountPortal.titleImage");
    row->addWidget(titleImage);
    QLabel* title = ui::makeLabel(header, ui::font(ui::TextStyle::headline));
    title->setObjectName("accountPortal.title");
    ui::setLabel(*title, texts.title);
    row->addWidget(title);

    host_ = ui::makeLabel(header, ui::font(ui::TextStyle::caption), ui::color(ui::ColorName::secondary, palette()));
    host_->setObjectName("accountPortal.host");
    host_->setWordWrap(false);
    row->addWidget(host_);

    loading_ = new QProgressBar(header);
    loading_->setObjectName("accountPortal.loading");
    loading_->setRange(0, 0);  // spins without a value
    loading_->setTextVisible(false);
    loading_->setFixedSize(16, 16);
    row->addWidget(loading_);

    row->addStretch(1);

    openInBrowser_ = imageButton(header, "safari", "accountPortal.openInBrowser", texts.openInBrowser);
    connect(openInBrowser_, &QToolButton::clicked, browser_, &AccountPortalBrowser::openCurrentPageInBrowser);
    row->addWidget(openInBrowser_);

    auto* close = new QPushButton(header);
    close->setObjectName("accountPortal.close");
    ui::setLabel(*close, texts.close);
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
