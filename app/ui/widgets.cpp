#include "app/ui/widgets.hpp"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QVBoxLayout>

#include <utility>

#include "app/ui/symbol_icons.hpp"
#include "app/ui/ui_style.hpp"

namespace tarnel::ui {

QString qt(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

void setTextColor(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, colour);
        palette.setColor(group, QPalette::Text, colour);
    }
    widget.setPalette(palette);
}

// ----- SymbolView -----

SymbolView::SymbolView(std::string_view name, int pixelSize, QColor colour, QWidget* parent)
    : QWidget(parent), pixelSize_(pixelSize), colour_(std::move(colour)) {
    setSymbol(name);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolView::setSymbol(std::string_view name) {
    if (name_ == name) return;
    name_ = std::string(name);
    setSystemImage(*this, name);
    update();
}

void SymbolView::setColor(const QColor& colour) {
    if (colour_ == colour) return;
    colour_ = colour;
    update();
}

QSize SymbolView::sizeHint() const { return {pixelSize_, pixelSize_}; }

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF area(QPointF(0, 0), QSizeF(size()));
    const double side = std::min<double>(pixelSize_, std::min(area.width(), area.height()));
    paintSymbol(painter, name_, QRectF(area.center().x() - side / 2, area.center().y() - side / 2, side, side),
                colour_);
}

// ----- CapsuleView -----

CapsuleView::CapsuleView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CapsuleView::setContent(std::string_view text, std::string_view symbol, const Look& look) {
    if (text_ == qt(text) && symbol_ == symbol && look_ == look) return;
    text_ = qt(text);
    symbol_ = std::string(symbol);
    look_ = look;
    setSystemImage(*this, symbol);
    setAccessibleName(text_);
    updateGeometry();
    update();
}

int CapsuleView::symbolSide() const { return symbol_.empty() ? 0 : QFontMetrics(look_.font).height(); }

QSize CapsuleView::sizeHint() const {
    const QFontMetrics metrics(look_.font);
    const int image = symbolSide();
    const int width = metrics.horizontalAdvance(text_) + (image > 0 ? image + 5 : 0) + 2 * look_.horizontalPadding;
    return {width, metrics.height() + 2 * look_.verticalPadding};
}

void CapsuleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(QPointF(0, 0), QSizeF(size()));
    const double radius = area.height() / 2.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(withOpacity(look_.fill, look_.fillOpacity));
    painter.drawRoundedRect(area, radius, radius);

    const QFontMetrics metrics(look_.font);
    const int image = symbolSide();
    const int contentWidth = metrics.horizontalAdvance(text_) + (image > 0 ? image + 5 : 0);
    double x = (area.width() - contentWidth) / 2.0;
    if (image > 0) {
        paintSymbol(painter, symbol_, QRectF(x, (area.height() - image) / 2.0, image, image), look_.foreground);
        x += image + 5;
    }
    painter.setFont(look_.font);
    painter.setPen(look_.foreground);
    painter.drawText(QRectF(x, 0, area.width() - x, area.height()), Qt::AlignLeft | Qt::AlignVCenter, text_);
}

// ----- TextView -----

TextView::TextView(const QFont& font, QColor colour, QWidget* parent) : QWidget(parent), colour_(std::move(colour)) {
    setFont(font);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextView::setText(const QString& text) {
    if (text_ == text) return;
    text_ = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

QSize TextView::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text_), metrics.height()};
}

QSize TextView::minimumSizeHint() const { return {0, QFontMetrics(font()).height()}; }

void TextView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(colour_);
    const QFontMetrics metrics(font());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(text_, Qt::ElideRight, width()));
}

// ----- IconLabel -----

IconLabel::IconLabel(std::string_view symbol, const QFont& font, QColor colour, QWidget* parent)
    : QWidget(parent),
      image_(new SymbolView(symbol, QFontMetrics(font).height(), colour, this)),
      label_(new QLabel(this)) {
    setSystemImage(*this, symbol);
    label_->setFont(font);
    label_->setWordWrap(true);
    label_->setTextFormat(Qt::PlainText);
    setTextColor(*label_, colour);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(image_, 0, Qt::AlignTop);
    layout->addWidget(label_, 1);
}

void IconLabel::setText(const QString& text) {
    label_->setText(text);
    setAccessibleName(text);
}

QString IconLabel::text() const { return label_->text(); }

// ----- PanelCard -----

PanelCard::PanelCard(int spacing, QWidget* parent) : QWidget(parent), content_(new QVBoxLayout(this)) {
    content_->setContentsMargins(16, 16, 16, 16);
    content_->setSpacing(spacing);
    content_->setAlignment(Qt::AlignTop);
}

void PanelCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(withOpacity(controlBackground(palette()), 0.92));
    painter.setPen(QPen(withOpacity(color(ColorName::secondary, palette()), 0.14), 1.0));
    painter.drawRoundedRect(area, 12, 12);
}

// ----- DisclosureHeader -----

DisclosureHeader::DisclosureHeader(std::string_view symbol, QWidget* parent)
    : QAbstractButton(parent),
      image_(new SymbolView(symbol, 15, ui::color(ColorName::accent, palette()), this)),
      title_(new QLabel(this)),
      chevron_(new SymbolView("chevron.down", 10, ui::color(ColorName::secondary, palette()), this)) {
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    title_->setFont(ui::font(TextStyle::headline));
    title_->setTextFormat(Qt::PlainText);
    for (QWidget* child : {static_cast<QWidget*>(image_), static_cast<QWidget*>(title_),
                           static_cast<QWidget*>(chevron_)}) {
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(image_);
    layout->addWidget(title_);
    layout->addStretch(1);
    layout->addWidget(chevron_);
}

void DisclosureHeader::setTitle(const QString& title) {
    title_->setText(title);
    setAccessibleName(title);
}

void DisclosureHeader::setOpen(bool open) { chevron_->setSymbol(open ? "chevron.up" : "chevron.down"); }

QString DisclosureHeader::title() const { return title_->text(); }

QSize DisclosureHeader::sizeHint() const { return layout()->sizeHint(); }

void DisclosureHeader::paintEvent(QPaintEvent*) {}

}  // namespace tarnel::ui
