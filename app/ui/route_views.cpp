#include "app/ui/route_views.hpp"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include <utility>

#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"

namespace tarnel {

using ui::ColorName;
using ui::qt;
using ui::TextStyle;

QColor statusColor(TunnelStatus status, const QPalette& palette) {
    switch (status) {
        case TunnelStatus::disconnected: return ui::color(ColorName::secondary, palette);
        case TunnelStatus::connecting: return ui::color(ColorName::orange, palette);
        case TunnelStatus::connected: return ui::color(ColorName::green, palette);
        case TunnelStatus::failed: return ui::color(ColorName::red, palette);
    }
    return ui::color(ColorName::secondary, palette);
}

QColor availabilityColor(RouteAvailability availability, const QPalette& palette) {
    switch (availability) {
        case RouteAvailability::available: return ui::color(ColorName::green, palette);
        case RouteAvailability::slow: return ui::color(ColorName::orange, palette);
        case RouteAvailability::unavailable: return ui::color(ColorName::red, palette);
        case RouteAvailability::untested:
        case RouteAvailability::paidRequired: return ui::color(ColorName::secondary, palette);
    }
    return ui::color(ColorName::secondary, palette);
}

std::string_view regionSymbol(std::string_view nodeCode) noexcept {
    if (nodeCode == "RU") return "building.columns";
    if (nodeCode == "RO" || nodeCode == "EE" || nodeCode == "IN" || nodeCode == "KZ") return "globe.europe.africa";
    return "network";
}

// ----- StatusPill -----

StatusPill::StatusPill(QWidget* parent) : CapsuleView(parent) { refresh(); }

void StatusPill::setStatus(TunnelStatus status) {
    status_ = status;
    refresh();
}

void StatusPill::setLanguage(AppLanguage language) {
    language_ = language;
    refresh();
}

void StatusPill::refresh() {
    const QColor colour = statusColor(status_, palette());
    setContent(title(status_, language_), {},
               {ui::font(TextStyle::caption, QFont::DemiBold), colour, colour, 0.16, 12, 7});
}

// ----- RouteAvailabilityBadge -----

RouteAvailabilityBadge::RouteAvailabilityBadge(QWidget* parent) : CapsuleView(parent) { refresh(); }

void RouteAvailabilityBadge::setAvailability(RouteAvailability availability) {
    availability_ = availability;
    refresh();
}

void RouteAvailabilityBadge::setLanguage(AppLanguage language) {
    language_ = language;
    refresh();
}

void RouteAvailabilityBadge::refresh() {
    const QColor colour = availabilityColor(availability_, palette());
    setContent(title(availability_, language_), {},
               {ui::font(TextStyle::caption, QFont::DemiBold), colour, colour, 0.1, 8, 4});
}

// ----- InfoChip -----

InfoChip::InfoChip(std::string_view icon, std::string_view text, QWidget* parent)
    : CapsuleView(parent), icon_(icon) {
    setText(text);
}

void InfoChip::setText(std::string_view text) {
    setContent(text, icon_,
               {ui::font(TextStyle::caption, QFont::DemiBold), ui::color(ColorName::primary, palette()),
                ui::color(ColorName::secondary, palette()), 0.1, 10, 7});
}

// ----- EmptyRoutesView -----

EmptyRoutesView::EmptyRoutesView(QWidget* parent)
    : QWidget(parent), title_(new QLabel(this)), hint_(new QLabel(this)) {
    const QColor secondary = ui::color(ColorName::secondary, palette());
    auto* image = new ui::SymbolView("link.badge.plus", 34, secondary, this);
    title_->setFont(ui::font(TextStyle::headline));
    title_->setAlignment(Qt::AlignCenter);
    hint_->setFont(ui::font(TextStyle::callout));
    hint_->setWordWrap(true);
    hint_->setAlignment(Qt::AlignCenter);
    hint_->setFixedWidth(360);
    ui::setTextColor(*hint_, secondary);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(10);
    layout->addStretch(1);
    layout->addWidget(image, 0, Qt::AlignHCenter);
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addWidget(hint_, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    refresh();
}

void EmptyRoutesView::setLanguage(AppLanguage language) {
    language_ = language;
    refresh();
}

void EmptyRoutesView::refresh() {
    title_->setText(text(language_, "Paste an access key", "Вставьте ключ доступа"));
    hint_->setText(text(language_,
                        "Open your Tarnel account or Telegram bot, copy the subscription link, and import it here.",
                        "Откройте кабинет Tarnel или Telegram-бота, скопируйте ссылку подписки и импортируйте её "
                        "здесь."));
}

// ----- RouteRow -----

// The region image on its tile: white on the accent when the row is
// selected, the accent on a tint of it otherwise.
class RouteRow::IconTile final : public QWidget {
public:
    explicit IconTile(QWidget* parent) : QWidget(parent) { setFixedSize(36, 36); }

    void set(std::string_view symbol, bool selected) {
        symbol_ = std::string(symbol);
        selected_ = selected;
        ui::setSystemImage(*this, symbol);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor accent = ui::color(ColorName::accent, palette());
        painter.setPen(Qt::NoPen);
        painter.setBrush(selected_ ? accent : ui::withOpacity(accent, 0.12));
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
        ui::paintSymbol(painter, symbol_, QRectF(8, 8, 20, 20), selected_ ? QColor(Qt::white) : accent);
    }

private:
    std::string symbol_;
    bool selected_ = false;
};

RouteRow::RouteRow(Fields fields, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent),
      fields_(std::move(fields)),
      action_(std::move(action)),
      tile_(new IconTile(this)),
      title_(new ui::TextView(ui::font(TextStyle::body, QFont::DemiBold), ui::color(ColorName::primary, palette()),
                              this)),
      subtitle_(new ui::TextView(ui::font(TextStyle::caption), ui::color(ColorName::secondary, palette()), this)),
      badge_(new RouteAvailabilityBadge(this)),
      mark_(new ui::SymbolView("circle", 11, QColor(), this)) {
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    for (ui::TextView* text : {title_, subtitle_}) text->setAttribute(Qt::WA_TransparentForMouseEvents);
    mark_->setFixedSize(18, 18);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(14);
    layout->addWidget(tile_);
    // The texts take the room up to the badge (the gap after them).
    layout->addLayout(texts, 1);
    layout->addWidget(badge_);
    layout->addWidget(mark_);
    for (QWidget* child : {static_cast<QWidget*>(tile_), static_cast<QWidget*>(badge_), static_cast<QWidget*>(mark_)}) {
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    connect(this, &QAbstractButton::clicked, this, [this] {
        if (action_) action_();
    });
    refresh();
}

void RouteRow::setFields(Fields fields) {
    fields_ = std::move(fields);
    refresh();
}

void RouteRow::setLanguage(AppLanguage language) {
    language_ = language;
    refresh();
}

double RouteRow::opacity() const noexcept { return fields_.item.route ? 1.0 : ui::kUnavailableRowOpacity; }

std::string_view RouteRow::regionImage() const noexcept { return regionSymbol(fields_.item.catalog.nodeCode); }

std::string_view RouteRow::selectionMark() const noexcept { return fields_.isSelected ? "circle.fill" : "circle"; }

QSize RouteRow::sizeHint() const { return QAbstractButton::sizeHint().expandedTo(layout()->sizeHint()); }

void RouteRow::refresh() {
    const auto& catalog = fields_.item.catalog;
    setObjectName(qt("route." + catalog.id));
    setAccessibleName(qt(catalog.nodeLabel + ", " + catalog.label));
    setAccessibleDescription(qt(title(fields_.availability, language_)));
    setEnabled(fields_.item.route.has_value() && fields_.isInteractionEnabled);

    tile_->set(regionImage(), fields_.isSelected);
    title_->setText(qt(catalog.nodeLabel));
    subtitle_->setText(qt(catalog.label));
    badge_->setAvailability(fields_.availability);
    badge_->setLanguage(language_);
    mark_->setSymbol(selectionMark());
    mark_->setColor(fields_.isSelected ? ui::withOpacity(ui::color(ColorName::primary, palette()), 0.58)
                                       : ui::withOpacity(ui::color(ColorName::secondary, palette()), 0.35));

    if (opacity() < 1.0) {
        auto* effect = qobject_cast<QGraphicsOpacityEffect*>(graphicsEffect());
        if (effect == nullptr) {
            effect = new QGraphicsOpacityEffect(this);
            setGraphicsEffect(effect);
        }
        effect->setOpacity(opacity());
    } else if (graphicsEffect() != nullptr) {
        setGraphicsEffect(nullptr);
    }
    update();
}

void RouteRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = ui::color(ColorName::accent, palette());
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(fields_.isSelected ? ui::withOpacity(accent, 0.08) : ui::controlBackground(palette()));
    painter.setPen(QPen(fields_.isSelected ? ui::withOpacity(accent, 0.55)
                                           : ui::withOpacity(ui::color(ColorName::secondary, palette()), 0.16),
                        1.0));
    painter.drawRoundedRect(area, 10, 10);
}

}  // namespace tarnel
