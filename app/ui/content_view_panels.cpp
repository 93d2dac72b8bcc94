#include "app/ui/content_view.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QEasingCurve>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "app/state/app_state.hpp"
#include "app/ui/controls.hpp"
#include "app/ui/route_views.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"
#include "app/ui/widgets.hpp"

// The right column of the window: the access key, advanced and diagnostics
// panels.

namespace tarnel {

using ui::ColorName;
using ui::qt;
using ui::TextStyle;
using ui::ButtonKind;
using ui::ControlSize;
using ui::makeButton;
using ui::makeImageButton;
using ui::makeLabel;
using ui::makeSegments;
using ui::setImage;
using ui::setLabel;
using ui::setPlaceholder;

namespace {

constexpr std::string_view kNoSelectedRoute = "No selected route.";
constexpr std::string_view kForgetHelp = "Forget saved subscription on this Mac";

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

}  // namespace

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
    keyField_->setObjectName(QStringLiteral("subscription.access-key"));
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
    savedHint_->setObjectName(QStringLiteral("subscription.saved-hint"));
    content.addWidget(savedHint_);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(8);
    paste_ = makeButton(card, "doc.on.clipboard", ButtonKind::standard, ControlSize::regular, "subscription.paste");
    connect(paste_, &QPushButton::clicked, this, [this] { state_.pasteSubscriptionFromClipboard(); });
    import_ = makeButton(card, "arrow.down.circle", ButtonKind::prominent, ControlSize::regular, "subscription.import");
    connect(import_, &QPushButton::clicked, this, [this] { state_.importSubscription(false, false); });
    forget_ = makeImageButton(card, "trash", "subscription.forget");
    // At once, without asking.
    connect(forget_, &QToolButton::clicked, this, [this] { state_.forgetSavedSubscription(); });
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
    connect(account_, &QPushButton::clicked, this,
            [this] { state_.openAccountPortal(languageSetting_.languageCode()); });
    support_ = makeButton(card, "envelope", ButtonKind::standard, ControlSize::regular);
    connect(support_, &QPushButton::clicked, this, [this] { state_.openSupportEmail(); });
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
    modePicker_->setObjectName(QStringLiteral("connection.mode"));
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
    connect(writeConfig_, &QPushButton::clicked, this, [this] { state_.writeRedactedConfig(); });
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

void ContentView::refreshPanels(AppLanguage lang) {
    const auto pair = [lang](const char* english, const char* russian) {
        return QString::fromUtf8(text(lang, english, russian));
    };
    const bool testing = state_.routeTestProgress().has_value();
    const bool engaged = state_.isConnectionEngaged();

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

}  // namespace tarnel
