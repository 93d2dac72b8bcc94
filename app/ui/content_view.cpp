#include "app/ui/content_view.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QEasingCurve>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "app/state/app_state.hpp"
#include "app/ui/route_views.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"
#include "app/ui/widgets.hpp"

namespace tarnel {

using ui::ColorName;
using ui::qt;
using ui::TextStyle;

namespace {

constexpr std::string_view kNoRouteLine = "Импортируйте ключ и выберите маршрут.";
constexpr std::string_view kUpdateUnavailableLine = "Update unavailable: import the Tarnel access URL once first.";
constexpr std::string_view kNoSelectedRoute = "No selected route.";
constexpr std::string_view kForgetHelp = "Forget saved subscription on this Mac";
// The progress bar counts in steps this fine.
constexpr int kProgressScale = 10000;

enum class ControlSize { small, regular, large };
enum class ButtonKind { standard, prominent };

int controlHeight(ControlSize size) {
    switch (size) {
        case ControlSize::small: return 22;
        case ControlSize::regular: return 26;
        case ControlSize::large: return 32;
    }
    return 26;
}

// A push button with an image before its text. A prominent one is filled
// with the accent and written in white.
QPushButton* makeButton(QWidget* parent, std::string_view symbol, ButtonKind kind, ControlSize size,
                        const char* identifier = nullptr) {
    auto* button = new QPushButton(parent);
    if (identifier != nullptr) button->setObjectName(QString::fromUtf8(identifier));
    button->setAutoDefault(false);
    button->setFont(size == ControlSize::small ? ui::systemFont(11) : ui::font(TextStyle::body));
    button->setFixedHeight(controlHeight(size));
    const int imageSide = size == ControlSize::small ? 13 : 15;
    button->setIconSize(QSize(imageSide, imageSide));
    QColor foreground = ui::color(ColorName::primary, button->palette());
    if (kind == ButtonKind::prominent) {
        const QColor accent = ui::color(ColorName::accent, button->palette());
        QPalette palette = button->palette();
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            palette.setColor(group, QPalette::Button, accent);
            palette.setColor(group, QPalette::ButtonText, Qt::white);
        }
        palette.setColor(QPalette::Disabled, QPalette::Button,
                         ui::blend(accent, 0.45, ui::windowBackground(button->palette())));
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(255, 255, 255, 200));
        button->setPalette(palette);
        foreground = Qt::white;
    }
    button->setIcon(ui::symbolIcon(symbol, foreground));
    ui::setSystemImage(*button, symbol);
    return button;
}

// A button showing only an image, with a help text.
QToolButton* makeImageButton(QWidget* parent, std::string_view symbol, const char* identifier) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromUtf8(identifier));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setFixedSize(controlHeight(ControlSize::regular) + 4, controlHeight(ControlSize::regular));
    button->setIconSize(QSize(15, 15));
    button->setIcon(ui::symbolIcon(symbol, ui::color(ColorName::primary, button->palette())));
    ui::setSystemImage(*button, symbol);
    return button;
}

void setImage(QAbstractButton& button, std::string_view symbol, const QColor& colour) {
    if (button.property(ui::kSystemImageProperty).toString() == qt(symbol)) return;
    button.setIcon(ui::symbolIcon(symbol, colour));
    ui::setSystemImage(button, symbol);
}

// A button's text is its accessible name too.
void setLabel(QAbstractButton& button, const QString& text) {
    if (button.text() != text) button.setText(text);
    button.setAccessibleName(text);
}

void setLabel(QLabel& label, const QString& text) {
    if (label.text() != text) label.setText(text);
}

void setPlaceholder(QLineEdit& field, const QString& text) {
    field.setPlaceholderText(text);
    field.setAccessibleName(text);
}

QLabel* makeLabel(QWidget* parent, const QFont& font, std::optional<QColor> colour = std::nullopt) {
    auto* label = new QLabel(parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (colour) ui::setTextColor(*label, *colour);
    return label;
}

// Exclusive checkable buttons side by side, standing for a segmented picker.
QButtonGroup* makeSegments(QWidget* picker, std::initializer_list<const char*> items) {
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    auto* layout = new QHBoxLayout(picker);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    int id = 0;
    for (const char* item : items) {
        auto* button = new QPushButton(QString::fromUtf8(item), picker);
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setFont(ui::font(TextStyle::callout));
        button->setFixedHeight(controlHeight(ControlSize::regular) - 2);
        button->setAccessibleName(button->text());
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button, id++);
        layout->addWidget(button);
    }
    return group;
}

// The log's frame: the text background, padded by 10 pixels, outlined by a
// rounded rectangle (radius 8) in the secondary colour at 0.2.
class LogFrame final : public QWidget {
public:
    explicit LogFrame(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(ui::textBackground(palette()));
        painter.setPen(QPen(ui::withOpacity(ui::color(ColorName::secondary, palette()), 0.2), 1.0));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }
};

// The right column's background: the under-page colour at 0.72 over the
// window's.
class ColumnBackground final : public QWidget {
public:
    explicit ColumnBackground(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), ui::blend(ui::underPageBackground(), 0.72, ui::windowBackground(palette())));
    }
};

// The application's icon, 48 pixels, its corners rounded (radius 12).
QPixmap headerIcon() {
    QPixmap image(48, 48);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, 48, 48), 12, 12);
    painter.setClipPath(clip);
    painter.drawPixmap(0, 0, ui::applicationIcon().pixmap(48, 48));
    return image;
}

}  // namespace

ContentView::ContentView(AppState& state, LanguageSetting& language, AccountPortalSheetFactory sheetFactory,
                         QWidget* parent)
    : QWidget(parent), state_(state), languageSetting_(language), sheetFactory_(std::move(sheetFactory)) {
    setWindowTitle(QStringLiteral("Tarnel Direct"));
    setWindowIcon(ui::applicationIcon());
    setMinimumSize(920, 640);
    resize(1120, 780);
    setAutoFillBackground(true);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildLeftColumn(), 1);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setFixedWidth(1);
    ui::setTextColor(*divider, ui::withOpacity(ui::color(ColorName::secondary, palette()), 0.3));
    layout->addWidget(divider);
    layout->addWidget(buildRightColumn());

    const auto refreshAll = [this] { refresh(); };
    for (const auto signal :
         {&AppState::subscriptionInputChanged, &AppState::routesChanged, &AppState::routeCatalogChanged,
          &AppState::routeAvailabilityChanged, &AppState::selectedRouteIDChanged, &AppState::activeRouteIDChanged,
          &AppState::tunnelStatusChanged, &AppState::connectionModeChanged, &AppState::manageSystemProxyChanged,
          &AppState::systemProxyServiceChanged, &AppState::systemProxyEnabledChanged, &AppState::isImportingChanged,
          &AppState::isOpeningAccountChanged, &AppState::accountMessageChanged, &AppState::connectionNoticeChanged,
          &AppState::routeTestProgressChanged}) {
        connect(&state_, signal, this, refreshAll);
    }
    connect(&state_, &AppState::diagnosticLogChanged, this, [this] { refreshLog(); });
    connect(&state_, &AppState::accountPortalURLChanged, this, [this] {
        if (!state_.accountPortalURL()) closeAccountPortalSheet();
    });
    connect(&languageSetting_, &LanguageSetting::changed, this, refreshAll);

    setPanelOpen(*advancedContent_, false);
    setPanelOpen(*diagnosticsContent_, false);
    refresh();
    refreshLog();
}

ContentView::~ContentView() {
    // The sheet goes with its window; its end no longer reaches this one.
    if (sheet_) {
        disconnect(sheet_, nullptr, this, nullptr);
        delete sheet_.data();
    }
}

AppLanguage ContentView::language() const { return languageSetting_.language(); }

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    languageSetting_.fixStoredCode();
}

// ----- Building -----

QWidget* ContentView::buildLeftColumn() {
    auto* column = new QWidget(this);
    column->setMinimumWidth(560);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(28, 28, 28, 28);
    layout->setSpacing(22);
    layout->addWidget(buildHeader());
    layout->addWidget(buildStatusCard());
    layout->addWidget(buildRoutesPanel(), 1);
    return column;
}

QWidget* ContentView::buildHeader() {
    header_ = new QWidget(this);
    auto* layout = new QHBoxLayout(header_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(14);

    auto* icon = new QLabel(header_);
    icon->setPixmap(headerIcon());
    icon->setFixedSize(48, 48);
    layout->addWidget(icon);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = makeLabel(header_, ui::systemFont(30, QFont::DemiBold));
    title->setText(QStringLiteral("Tarnel Direct"));
    subtitle_ = makeLabel(header_, ui::font(TextStyle::callout), ui::color(ColorName::secondary, palette()));
    titles->addWidget(title);
    titles->addWidget(subtitle_);
    layout->addLayout(titles);
    layout->addStretch(1);

    auto* picker = new QWidget(header_);
    picker->setAccessibleName(QStringLiteral("Language"));
    picker->setFixedWidth(112);
    languagePicker_ = makeSegments(picker, {"RU", "EN"});
    connect(languagePicker_, &QButtonGroup::idClicked, this,
            [this](int id) { languageSetting_.setStoredCode(id == 0 ? "ru" : "en"); });
    layout->addWidget(picker);

    pill_ = new StatusPill(header_);
    layout->addWidget(pill_);
    return header_;
}

QWidget* ContentView::buildStatusCard() {
    auto* card = new ui::PanelCard(18, this);
    auto* row = new QHBoxLayout;
    row->setSpacing(18);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(8);
    headline_ = makeLabel(card, ui::systemFont(34, QFont::Bold));
    routeLine_ = makeLabel(card, ui::font(TextStyle::body), ui::color(ColorName::secondary, palette()));
    routeLine_->setWordWrap(true);
    routeLine_->setMaximumHeight(2 * QFontMetrics(routeLine_->font()).lineSpacing() + 2);
    const QFont noticeFont = ui::font(TextStyle::callout, QFont::Medium);
    const QColor orange = ui::color(ColorName::orange, palette());
    notice_ = new ui::IconLabel("exclamationmark.triangle.fill", noticeFont, orange, card);
    retryHint_ = new ui::IconLabel("lock.shield", noticeFont, orange, card);
    texts->addWidget(headline_);
    texts->addWidget(routeLine_);
    texts->addWidget(notice_);
    texts->addWidget(retryHint_);
    texts->addStretch(1);
    row->addLayout(texts, 1);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(10);
    connect_ = makeButton(card, "power", ButtonKind::prominent, ControlSize::large, "tunnel.connect");
    disconnect_ = makeButton(card, "stop.fill", ButtonKind::standard, ControlSize::large, "tunnel.disconnect");
    for (QPushButton* button : {connect_, disconnect_}) {
        button->setFixedWidth(128);
        buttons->addWidget(button, 0, Qt::AlignHCenter);
    }
    buttons->addStretch(1);
    row->addLayout(buttons);
    card->content().addLayout(row);

    auto* chips = new QHBoxLayout;
    chips->setSpacing(10);
    methodsChip_ = new InfoChip("network", "", card);
    chips->addWidget(new InfoChip("lock.shield", "TUN route", card));
    chips->addWidget(methodsChip_);
    chips->addWidget(new InfoChip("desktopcomputer", "Intel + Apple Silicon", card));
    chips->addStretch(1);
    card->content().addLayout(chips);
    return card;
}

QWidget* ContentView::buildRoutesPanel() {
    auto* card = new ui::PanelCard(12, this);
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    routesTitle_ = makeLabel(card, ui::font(TextStyle::title3, QFont::DemiBold));
    header->addWidget(routesTitle_);
    header->addStretch(1);
    testAll_ = makeButton(card, "checkmark.circle", ButtonKind::standard, ControlSize::small, "routes.test-all");
    stopTest_ = makeButton(card, "stop.fill", ButtonKind::standard, ControlSize::small, "routes.test-all.cancel");
    refresh_ = makeButton(card, "arrow.clockwise", ButtonKind::standard, ControlSize::small, "subscription.refresh");
    connect(refresh_, &QPushButton::clicked, this, [this] { refreshPressed(); });
    routeCount_ = new ui::CapsuleView(card);
    for (QWidget* item : {static_cast<QWidget*>(testAll_), static_cast<QWidget*>(stopTest_),
                          static_cast<QWidget*>(refresh_), static_cast<QWidget*>(routeCount_)}) {
        header->addWidget(item);
    }
    card->content().addLayout(header);

    progress_ = new QWidget(card);
    progress_->setObjectName(QStringLiteral("routes.test-all.progress"));
    auto* progressLayout = new QVBoxLayout(progress_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(5);
    auto* barRow = new QHBoxLayout;
    barRow->setSpacing(10);
    progressBar_ = new QProgressBar(progress_);
    progressBar_->setRange(0, kProgressScale);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedHeight(6);
    progressFigure_ = makeLabel(progress_, ui::font(TextStyle::caption, QFont::DemiBold));
    progressFigure_->setMinimumWidth(42);
    progressFigure_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    barRow->addWidget(progressBar_, 1);
    barRow->addWidget(progressFigure_);
    progressLayout->addLayout(barRow);
    progressRouteName_ =
        makeLabel(progress_, ui::font(TextStyle::caption), ui::color(ColorName::secondary, palette()));
    progressLayout->addWidget(progressRouteName_);
    card->content().addWidget(progress_);

    routeList_ = new QStackedWidget(card);
    emptyRoutes_ = new EmptyRoutesView(routeList_);
    emptyRoutes_->setMinimumHeight(180);
    auto* scroll = new QScrollArea(routeList_);
    scroll->setMinimumHeight(250);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    rowsContainer_ = new QWidget(scroll);
    rowsContainer_->setAutoFillBackground(false);
    rowsLayout_ = new QVBoxLayout(rowsContainer_);
    rowsLayout_->setContentsMargins(0, 2, 0, 2);
    rowsLayout_->setSpacing(10);
    rowsLayout_->addStretch(1);
    scroll->setWidget(rowsContainer_);
    // The area paints its widget's background by default; the rows stand on the card.
    rowsContainer_->setAutoFillBackground(false);
    routeList_->addWidget(emptyRoutes_);
    routeList_->addWidget(scroll);
    card->content().addWidget(routeList_, 1);
    return card;
}

QWidget* ContentView::buildRightColumn() {
    rightColumn_ = new ColumnBackground(this);
    rightColumn_->setFixedWidth(360);
    auto* outer = new QVBoxLayout(rightColumn_);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(rightColumn_);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto* panels = new QWidget(scroll);
    panels->setAutoFillBackground(false);
    auto* layout = new QVBoxLayout(panels);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(18);
    layout->addWidget(buildAccessKeyPanel());
    layout->addWidget(buildAdvancedPanel());
    layout->addWidget(buildDiagnosticsPanel());
    layout->addStretch(1);
    scroll->setWidget(panels);
    panels->setAutoFillBackground(false);
    outer->addWidget(scroll);
    return rightColumn_;
}

QWidget* ContentView::buildAccessKeyPanel() {
    auto* card = new ui::PanelCard(12, this);
    auto& content = card->content();
    const QColor secondary = ui::color(ColorName::secondary, palette());
    accessKeyTitle_ = makeLabel(card, ui::font(TextStyle::title3, QFont::DemiBold));
    content.addWidget(accessKeyTitle_);

    auto* keyRow = new QHBoxLayout;
    keyRow->setSpacing(8);
    keyField_ = new QLineEdit(card);
    keyField_->setFont(ui::font(TextStyle::body));
    keyField_->setEchoMode(QLineEdit::Password);
    connect(keyField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setSubscriptionInput(text.toStdString()); });
    reveal_ = makeImageButton(card, "eye", "subscription.reveal");
    connect(reveal_, &QToolButton::clicked, this, [this] {
        showingAccessKey_ = !showingAccessKey_;
        refresh();
    });
    keyRow->addWidget(keyField_, 1);
    keyRow->addWidget(reveal_);
    content.addLayout(keyRow);

    savedHint_ = makeLabel(card, ui::font(TextStyle::caption), secondary);
    content.addWidget(savedHint_);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(8);
    paste_ = makeButton(card, "doc.on.clipboard", ButtonKind::standard, ControlSize::regular, "subscription.paste");
    import_ = makeButton(card, "arrow.down.circle", ButtonKind::prominent, ControlSize::regular, "subscription.import");
    forget_ = makeImageButton(card, "trash", "subscription.forget");
    forget_->setToolTip(qt(kForgetHelp));
    actions->addWidget(paste_);
    actions->addWidget(import_);
    actions->addWidget(forget_);
    actions->addStretch(1);
    content.addLayout(actions);

    auto* divider = new QFrame(card);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    ui::setTextColor(*divider, ui::withOpacity(secondary, 0.3));
    content.addWidget(divider);

    note_ = makeLabel(card, ui::font(TextStyle::caption), secondary);
    note_->setWordWrap(true);
    content.addWidget(note_);

    auto* accountRow = new QHBoxLayout;
    accountRow->setSpacing(8);
    account_ = makeButton(card, "person.crop.circle", ButtonKind::prominent, ControlSize::regular);
    support_ = makeButton(card, "envelope", ButtonKind::standard, ControlSize::regular);
    accountRow->addWidget(account_);
    accountRow->addWidget(support_);
    accountRow->addStretch(1);
    content.addLayout(accountRow);

    accountMessage_ = makeLabel(card, ui::font(TextStyle::caption), secondary);
    accountMessage_->setWordWrap(true);
    content.addWidget(accountMessage_);
    return card;
}

QWidget* ContentView::buildAdvancedPanel() {
    auto* card = new ui::PanelCard(12, this);
    advancedHeader_ = new ui::DisclosureHeader("slider.horizontal.3", card);
    advancedHeader_->setObjectName(QStringLiteral("panel.advanced"));
    connect(advancedHeader_, &QAbstractButton::clicked, this, [this] {
        showingAdvanced_ = !showingAdvanced_;
        setPanelOpen(*advancedContent_, showingAdvanced_);
        refresh();
    });
    card->content().addWidget(advancedHeader_);

    advancedContent_ = new QWidget(card);
    auto* layout = new QVBoxLayout(advancedContent_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    const QFont callout = ui::font(TextStyle::callout);

    auto* modeRow = new QHBoxLayout;
    modeRow->setSpacing(8);
    modeLabel_ = makeLabel(advancedContent_, callout);
    modePicker_ = new QWidget(advancedContent_);
    modeButtons_ = makeSegments(modePicker_, {"TUN", "Proxy"});
    connect(modeButtons_, &QButtonGroup::idClicked, this, [this](int id) {
        state_.setConnectionMode(id == 0 ? ConnectionMode::tun : ConnectionMode::proxy);
    });
    modeRow->addWidget(modeLabel_);
    modeRow->addWidget(modePicker_, 1);
    layout->addLayout(modeRow);

    manageProxy_ = new QCheckBox(advancedContent_);
    manageProxy_->setFont(callout);
    connect(manageProxy_, &QCheckBox::clicked, this, [this](bool checked) { state_.setManageSystemProxy(checked); });
    layout->addWidget(manageProxy_);

    proxyService_ = new QLineEdit(advancedContent_);
    proxyService_->setFont(callout);
    connect(proxyService_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setSystemProxyService(text.toStdString()); });
    layout->addWidget(proxyService_);

    writeConfig_ = new QPushButton(advancedContent_);
    writeConfig_->setAutoDefault(false);
    writeConfig_->setFont(callout);
    layout->addWidget(writeConfig_, 0, Qt::AlignLeft);
    card->content().addWidget(advancedContent_);
    return card;
}

QWidget* ContentView::buildDiagnosticsPanel() {
    auto* card = new ui::PanelCard(12, this);
    diagnosticsHeader_ = new ui::DisclosureHeader("wrench.and.screwdriver", card);
    diagnosticsHeader_->setObjectName(QStringLiteral("panel.diagnostics"));
    connect(diagnosticsHeader_, &QAbstractButton::clicked, this, [this] {
        showingDiagnostics_ = !showingDiagnostics_;
        setPanelOpen(*diagnosticsContent_, showingDiagnostics_);
        refresh();
    });
    card->content().addWidget(diagnosticsHeader_);

    diagnosticsContent_ = new QWidget(card);
    auto* layout = new QVBoxLayout(diagnosticsContent_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto* current = new QVBoxLayout;
    current->setSpacing(4);
    currentRouteCaption_ = makeLabel(diagnosticsContent_, ui::font(TextStyle::caption, QFont::DemiBold),
                                     ui::color(ColorName::secondary, palette()));
    currentRoute_ = makeLabel(diagnosticsContent_, ui::monospacedFont(TextStyle::caption));
    currentRoute_->setWordWrap(true);
    currentRoute_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    current->addWidget(currentRouteCaption_);
    current->addWidget(currentRoute_);
    layout->addLayout(current);

    auto* frame = new LogFrame(diagnosticsContent_);
    frame->setMinimumHeight(150);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(10, 10, 10, 10);
    log_ = new QPlainTextEdit(frame);
    log_->setReadOnly(true);
    log_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    log_->setFrameShape(QFrame::NoFrame);
    log_->setFont(ui::monospacedFont(TextStyle::caption));
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    frameLayout->addWidget(log_);
    layout->addWidget(frame, 1);
    card->content().addWidget(diagnosticsContent_);
    return card;
}

// ----- Reading the state -----

void ContentView::refresh() {
    const AppLanguage lang = language();
    const auto pair = [lang](const char* english, const char* russian) {
        return QString::fromUtf8(text(lang, english, russian));
    };
    const TunnelStatus status = state_.tunnelStatus();
    const bool testing = state_.routeTestProgress().has_value();
    const bool engaged = state_.isConnectionEngaged();

    // Header.
    setLabel(*subtitle_,
             pair("Direct VPN client for macOS Monterey and newer", "Прямой VPN-клиент для macOS Monterey и новее"));
    const auto stored = appLanguageFromRawValue(languageSetting_.storedCode());
    for (QAbstractButton* button : languagePicker_->buttons()) {
        const bool checked = stored == (languagePicker_->id(button) == 0 ? AppLanguage::ru : AppLanguage::en);
        button->setChecked(checked);
    }
    if (!stored) {
        // An unknown stored code matches no item.
        languagePicker_->setExclusive(false);
        for (QAbstractButton* button : languagePicker_->buttons()) button->setChecked(false);
        languagePicker_->setExclusive(true);
    }
    pill_->setLanguage(lang);
    pill_->setStatus(status);

    // Status card.
    switch (status) {
        case TunnelStatus::disconnected: setLabel(*headline_, pair("Ready to connect", "Готово к подключению")); break;
        case TunnelStatus::connecting: setLabel(*headline_, pair("Checking connection", "Проверяем соединение")); break;
        case TunnelStatus::connected: setLabel(*headline_, pair("Connected", "Подключено")); break;
        case TunnelStatus::failed: setLabel(*headline_, pair("VPN interrupted", "VPN прерван")); break;
    }
    const RouteNode* displayed = state_.displayedRoute();
    setLabel(*routeLine_, displayed != nullptr ? qt(displayed->displayTitle()) : qt(kNoRouteLine));
    notice_->setText(qt(state_.connectionNotice()));
    notice_->setVisible(!state_.connectionNotice().empty());
    retryHint_->setText(pair("Use Disconnect to clear any remaining tunnel state before retrying.",
                             "Нажмите «Отключить», чтобы очистить оставшееся состояние туннеля перед новой попыткой."));
    retryHint_->setVisible(status == TunnelStatus::failed && engaged);
    setLabel(*connect_, pair("Connect", "Подключить"));
    connect_->setEnabled(state_.canConnect());
    setLabel(*disconnect_, pair("Disconnect", "Отключить"));
    disconnect_->setEnabled(engaged);
    methodsChip_->setText(text(lang, "Multiple connection methods", "Несколько способов подключения"));

    // Routes panel.
    setLabel(*routesTitle_, pair("Routes", "Маршруты"));
    setLabel(*testAll_, pair("Test all", "Проверить все"));
    testAll_->setVisible(!testing);
    testAll_->setEnabled(state_.canTestAllRoutes());
    setLabel(*stopTest_, pair("Stop", "Остановить"));
    stopTest_->setVisible(testing);
    setLabel(*refresh_, state_.isImporting() ? pair("Updating", "Обновление") : pair("Refresh", "Обновить"));
    refresh_->setEnabled(state_.canRefresh());
    refresh_->setToolTip(qt(state_.refreshHint()));
    refreshRoutes(lang);

    // Access key panel.
    setLabel(*accessKeyTitle_, pair("Access key", "Ключ доступа"));
    const QString input = qt(state_.subscriptionInput());
    if (keyField_->text() != input) keyField_->setText(input);
    keyField_->setEchoMode(showingAccessKey_ ? QLineEdit::Normal : QLineEdit::Password);
    setPlaceholder(*keyField_, pair("Paste access key", "Вставьте ключ доступа"));
    keyField_->setEnabled(!testing);
    setImage(*reveal_, showingAccessKey_ ? "eye.slash" : "eye", ui::color(ColorName::primary, palette()));
    reveal_->setToolTip(showingAccessKey_ ? pair("Hide access key", "Скрыть ключ")
                                          : pair("Show access key", "Показать ключ"));
    reveal_->setAccessibleName(reveal_->toolTip());
    reveal_->setEnabled(!testing);
    setLabel(*savedHint_, qt(state_.savedAccessHint()));
    setLabel(*paste_, pair("Paste", "Вставить"));
    paste_->setEnabled(!testing);
    setLabel(*import_, state_.isImporting() ? pair("Importing", "Импортируем") : pair("Import", "Импортировать"));
    import_->setEnabled(state_.canImport());
    forget_->setAccessibleName(qt(kForgetHelp));
    forget_->setEnabled(!testing && !(state_.subscriptionInput().empty() && state_.routes().empty()));
    setLabel(*note_, pair("Access remains available independently of messaging services. The subscription term and "
                          "existing devices do not change.",
                          "Доступ остаётся рабочим независимо от мессенджеров. Срок подписки и уже подключённые "
                          "устройства не изменятся."));
    setLabel(*account_, state_.isOpeningAccount() ? pair("Preparing", "Подготовка")
                                                  : pair("Account and payment", "Кабинет и оплата"));
    account_->setEnabled(!state_.isOpeningAccount() && !testing);
    setLabel(*support_, pair("Support", "Поддержка"));
    setLabel(*accountMessage_, qt(state_.accountMessage()));
    accountMessage_->setVisible(!state_.accountMessage().empty());

    // Advanced panel.
    advancedHeader_->setTitle(pair("Advanced", "Дополнительно"));
    advancedHeader_->setOpen(showingAdvanced_);
    setLabel(*modeLabel_, pair("Mode", "Режим"));
    modePicker_->setAccessibleName(modeLabel_->text());
    modeButtons_->button(state_.connectionMode() == ConnectionMode::tun ? 0 : 1)->setChecked(true);
    modePicker_->setEnabled(!engaged && !testing);
    const bool proxyMode = state_.connectionMode() == ConnectionMode::proxy;
    setLabel(*manageProxy_, pair("Manage system proxy in Proxy mode", "Управлять системным proxy в режиме Proxy"));
    manageProxy_->setChecked(state_.manageSystemProxy());
    manageProxy_->setEnabled(proxyMode && !testing);
    const QString service = qt(state_.systemProxyService());
    if (proxyService_->text() != service) proxyService_->setText(service);
    setPlaceholder(*proxyService_, pair("Network service", "Сетевая служба"));
    proxyService_->setEnabled(proxyMode && !testing);
    setLabel(*writeConfig_, pair("Write Config Only", "Только записать конфигурацию"));
    const RouteNode* selected = state_.selectedRoute();
    writeConfig_->setEnabled(selected != nullptr && !testing);

    // Diagnostics panel.
    diagnosticsHeader_->setTitle(pair("Diagnostics", "Диагностика"));
    diagnosticsHeader_->setOpen(showingDiagnostics_);
    setLabel(*currentRouteCaption_, pair("Current route", "Текущий маршрут"));
    setLabel(*currentRoute_, selected != nullptr ? qt(selected->diagnosticDescription()) : qt(kNoSelectedRoute));
}

void ContentView::refreshRoutes(AppLanguage language) {
    const auto& progress = state_.routeTestProgress();
    std::vector<RouteListItem> items = state_.routeListItems();
    routeCount_->setContent(std::to_string(items.size()), {},
                            {ui::font(TextStyle::caption, QFont::DemiBold), ui::color(ColorName::primary, palette()),
                             ui::color(ColorName::secondary, palette()), 0.12, 8, 4});

    progress_->setVisible(progress.has_value());
    if (progress) {
        const double fraction =
            progress->total > 0 ? std::clamp(static_cast<double>(progress->completed) / progress->total, 0.0, 1.0)
                                : 0.0;
        progressBar_->setValue(static_cast<int>(std::lround(fraction * kProgressScale)));
        setLabel(*progressFigure_, QString::number(progress->completed) + "/" + QString::number(progress->total));
        const auto name = state_.routeTestCurrentRouteName();
        progressRouteName_->setText(name ? qt(*name) : QString());
        progressRouteName_->setVisible(name && !name->empty());
    }

    emptyRoutes_->setLanguage(language);
    routeList_->setCurrentIndex(items.empty() ? 0 : 1);

    // The highlighted route: the one under test while a test names one, else
    // the selected one. A catalog entry without a route is never highlighted.
    const std::optional<std::string>& highlighted =
        progress && progress->currentRouteID ? progress->currentRouteID : state_.selectedRouteID();
    const auto fieldsOf = [&](const RouteListItem& item) {
        return RouteRow::Fields{item, item.route && highlighted && item.route->id == *highlighted,
                                state_.availability(item), !progress.has_value()};
    };

    if (items != shownItems_) {
        for (RouteRow* row : rows_) delete row;
        rows_.clear();
        for (const RouteListItem& item : items) {
            auto* row = new RouteRow(fieldsOf(item), {}, rowsContainer_);
            rowsLayout_->insertWidget(rowsLayout_->count() - 1, row);
            rows_.push_back(row);
        }
        shownItems_ = std::move(items);
    }
    for (std::size_t index = 0; index < rows_.size(); ++index) {
        rows_[index]->setFields(fieldsOf(shownItems_[index]));
        rows_[index]->setLanguage(language);
    }
}

// The log follows the state's text; appended lines are added without moving
// the view or the selection.
void ContentView::refreshLog() {
    const std::string& text = state_.diagnosticLog();
    if (text == shownLog_) return;
    QScrollBar* vertical = log_->verticalScrollBar();
    QScrollBar* horizontal = log_->horizontalScrollBar();
    const int top = vertical->value();
    const int left = horizontal->value();
    if (text.size() > shownLog_.size() && text.compare(0, shownLog_.size(), shownLog_) == 0) {
        QTextCursor end(log_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(qt(std::string_view(text).substr(shownLog_.size())));
    } else {
        log_->setPlainText(qt(text));
    }
    shownLog_ = text;
    vertical->setValue(top);
    horizontal->setValue(left);
}

void ContentView::setPanelOpen(QWidget& content, bool open) {
    auto* running = content.findChild<QPropertyAnimation*>(QString(), Qt::FindDirectChildrenOnly);
    if (running != nullptr) {
        running->stop();
        delete running;
    }
    if (!ui::animationsEnabled() || !isVisible()) {
        content.setMaximumHeight(QWIDGETSIZE_MAX);
        content.setVisible(open);
        return;
    }
    const int full = content.sizeHint().height();
    content.setVisible(true);
    auto* animation = new QPropertyAnimation(&content, "maximumHeight", &content);
    animation->setDuration(ui::kToggleAnimationMilliseconds);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(open ? 0 : content.height());
    animation->setEndValue(open ? full : 0);
    connect(animation, &QPropertyAnimation::finished, &content, [&content, open, animation] {
        content.setMaximumHeight(QWIDGETSIZE_MAX);
        content.setVisible(open);
        animation->deleteLater();
    });
    animation->start();
}

// ----- Actions -----

void ContentView::refreshPressed() {
    if (!state_.hasAccessLink()) {
        state_.appendLog(kUpdateUnavailableLine);
        return;
    }
}

// ----- The account portal sheet -----

void ContentView::presentAccountPortalSheet() {
    const auto& url = state_.accountPortalURL();
    if (sheet_ || !url || !sheetFactory_) return;
    AccountPortalSheetRequest request{
        *url, languageSetting_.languageCode(),
        [self = QPointer<ContentView>(this)](const std::string& link) {
            if (self) self->accountPortalSheetHandoff(link);
        },
        [self = QPointer<ContentView>(this)] {
            if (self) self->state_.setAccountPortalURL(std::nullopt);
        }};
    QDialog* sheet = sheetFactory_(request, this);
    if (sheet == nullptr) return;
    sheet_ = sheet;
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QDialog::finished, this, [this] { accountPortalSheetFinished(); });
    sheet->show();
}

void ContentView::accountPortalSheetHandoff(const std::string&) {}

// The system dismissed the sheet (it ended by itself).
void ContentView::accountPortalSheetFinished() {
    if (state_.accountPortalURL()) state_.setAccountPortalURL(std::nullopt);
    closeAccountPortalSheet();
}

void ContentView::closeAccountPortalSheet() {
    if (!sheet_) return;
    QDialog* sheet = sheet_.data();
    sheet_.clear();
    disconnect(sheet, nullptr, this, nullptr);
    sheet->hide();
    sheet->deleteLater();
}

}  // namespace tarnel
