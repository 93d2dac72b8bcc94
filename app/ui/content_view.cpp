#include "app/ui/content_view.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "app/state/app_state.hpp"
#include "app/ui/controls.hpp"
#include "app/ui/route_views.hpp"
#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"
#include "app/ui/widgets.hpp"

namespace tarnel {

using ui::ColorName;
using ui::qt;
using ui::TextStyle;
using ui::ButtonKind;
using ui::ControlSize;
using ui::makeButton;
using ui::makeLabel;
using ui::makeSegments;
using ui::setLabel;

namespace {

constexpr std::string_view kNoRouteLine = "Импортируйте ключ и выберите маршрут.";
constexpr std::string_view kUpdateUnavailableLine = "Update unavailable: import the Tarnel access URL once first.";
// The progress bar counts in steps this fine.
constexpr int kProgressScale = 10000;

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
    // The sheet goes with its window, and with it the portal's address.
    if (sheet_) {
        disconnect(sheet_, nullptr, this, nullptr);
        delete sheet_.data();
        state_.setAccountPortalURL(std::nullopt);
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
    pill_->setObjectName(QStringLiteral("tunnel.status"));
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
    headline_->setObjectName(QStringLiteral("tunnel.headline"));
    routeLine_ = makeLabel(card, ui::font(TextStyle::body), ui::color(ColorName::secondary, palette()));
    routeLine_->setWordWrap(true);
    routeLine_->setMaximumHeight(2 * QFontMetrics(routeLine_->font()).lineSpacing() + 2);
    const QFont noticeFont = ui::font(TextStyle::callout, QFont::Medium);
    const QColor orange = ui::color(ColorName::orange, palette());
    notice_ = new ui::IconLabel("exclamationmark.triangle.fill", noticeFont, orange, card);
    retryHint_ = new ui::IconLabel("lock.shield", noticeFont, orange, card);
    retryHint_->setObjectName(QStringLiteral("tunnel.retry-hint"));
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
    // The window's Connect (the selected route; 12 s a candidate; the launch
    // flag's plan and gate); whether it started is shown by the state.
    connect(connect_, &QPushButton::clicked, this, [this] { (void)state_.connect(); });
    connect(disconnect_, &QPushButton::clicked, this, [this] { state_.disconnect(); });
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
    connect(testAll_, &QPushButton::clicked, this, [this] { state_.testAllRoutes(); });
    connect(stopTest_, &QPushButton::clicked, this, [this] { state_.stopRouteTest(); });
    refresh_ = makeButton(card, "arrow.clockwise", ButtonKind::standard, ControlSize::small, "subscription.refresh");
    connect(refresh_, &QPushButton::clicked, this, [this] { refreshPressed(); });
    routeCount_ = new ui::CapsuleView(card);
    routeCount_->setObjectName(QStringLiteral("routes.count"));
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
    progressFigure_->setObjectName(QStringLiteral("routes.test-all.figure"));
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
    refreshPanels(lang);
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
            // A tap selects the row's route; an entry without one does nothing.
            auto action = [this, route = item.route] {
                if (route) state_.selectRoute(*route);
            };
            auto* row = new RouteRow(fieldsOf(item), std::move(action), rowsContainer_);
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

// ----- Actions -----

// An update of the saved access link; without one, only a line that says
// why nothing happens.
void ContentView::refreshPressed() {
    if (!state_.hasAccessLink()) {
        state_.appendLog(kUpdateUnavailableLine);
        return;
    }
    state_.importSubscription(false, true);
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

// A handoff link caught in the sheet goes where every URL the system opens
// goes: the state's account handoff.
void ContentView::accountPortalSheetHandoff(const std::string& url) { emit handoffCaught(url); }

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
