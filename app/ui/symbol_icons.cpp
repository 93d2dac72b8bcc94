#include "app/ui/symbol_icons.hpp"

#include <QIconEngine>
#include <QLinearGradient>
#include <QObject>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace tarnel::ui {

namespace {

// Each image is drawn on a 24 by 24 grid, the painter already scaled to it.
using Drawing = void (*)(QPainter&, const QColor&);

void stroke(QPainter& painter, const QColor& colour, const QPainterPath& path, double width = 2.0) {
    painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

void fill(QPainter& painter, const QColor& colour, const QPainterPath& path) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(path);
}

QPainterPath circle(double x, double y, double radius) {
    QPainterPath path;
    path.addEllipse(QPointF(x, y), radius, radius);
    return path;
}

QPainterPath polyline(std::initializer_list<QPointF> points) {
    QPainterPath path;
    for (const QPointF& point : points) {
        if (path.elementCount() == 0) {
            path.moveTo(point);
        } else {
            path.lineTo(point);
        }
    }
    return path;
}

QPainterPath polygon(std::initializer_list<QPointF> points) {
    QPainterPath path = polyline(points);
    path.closeSubpath();
    return path;
}

QPainterPath roundedRect(double x, double y, double width, double height, double radius) {
    QPainterPath path;
    path.addRoundedRect(QRectF(x, y, width, height), radius, radius);
    return path;
}

// An arc of the circle at (x, y) from `start` degrees (counter-clockwise from
// three o'clock) over `span` degrees.
QPainterPath arc(double x, double y, double radius, double start, double span) {
    const QRectF box(x - radius, y - radius, 2 * radius, 2 * radius);
    QPainterPath path;
    path.arcMoveTo(box, start);
    path.arcTo(box, start, span);
    return path;
}

void drawPower(QPainter& p, const QColor& c) {
    stroke(p, c, arc(12, 13, 8, 120, 300), 2.2);
    stroke(p, c, polyline({{12, 2.5}, {12, 11}}), 2.2);
}

void drawStopFill(QPainter& p, const QColor& c) { fill(p, c, roundedRect(5, 5, 14, 14, 2.5)); }

void drawCheckmarkCircle(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9), 1.8);
    stroke(p, c, polyline({{7.8, 12.3}, {10.8, 15.2}, {16.3, 8.8}}), 2.0);
}

void drawArrowClockwise(QPainter& p, const QColor& c) {
    stroke(p, c, arc(12, 13, 7.5, 100, -300), 2.0);
    fill(p, c, polygon({{12.5, 2.0}, {17.5, 5.5}, {12.5, 9.0}}));
}

QPainterPath shield() {
    QPainterPath path;
    path.moveTo(12, 2);
    path.lineTo(20, 5);
    path.lineTo(20, 11);
    path.cubicTo(20, 16.5, 16.5, 20, 12, 22);
    path.cubicTo(7.5, 20, 4, 16.5, 4, 11);
    path.lineTo(4, 5);
    path.closeSubpath();
    return path;
}

void drawLockShield(QPainter& p, const QColor& c) {
    stroke(p, c, shield(), 1.8);
    fill(p, c, roundedRect(8.5, 11, 7, 5.5, 1));
    stroke(p, c, arc(12, 11, 2.2, 0, 180), 1.5);
}

void drawNetwork(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9), 1.8);
    QPainterPath meridian;
    meridian.addEllipse(QPointF(12, 12), 4, 9);
    stroke(p, c, meridian, 1.5);
    stroke(p, c, polyline({{3, 12}, {21, 12}}), 1.5);
    stroke(p, c, polyline({{12, 3}, {12, 21}}), 1.5);
    stroke(p, c, polyline({{4.5, 7.5}, {19.5, 7.5}}), 1.3);
    stroke(p, c, polyline({{4.5, 16.5}, {19.5, 16.5}}), 1.3);
}

void drawDesktopComputer(QPainter& p, const QColor& c) {
    stroke(p, c, roundedRect(2.5, 3.5, 19, 13, 1.5), 1.8);
    stroke(p, c, polyline({{10, 16.5}, {9, 20.5}}), 1.8);
    stroke(p, c, polyline({{14, 16.5}, {15, 20.5}}), 1.8);
    stroke(p, c, polyline({{7, 20.5}, {17, 20.5}}), 1.8);
}

void drawExclamationTriangleFill(QPainter& p, const QColor& c) {
    QPainterPath triangle;
    triangle.moveTo(12, 2.5);
    triangle.lineTo(22, 20.5);
    triangle.lineTo(2, 20.5);
    triangle.closeSubpath();
    QPainterPath mark = roundedRect(11, 8, 2, 7.5, 1);
    mark.addEllipse(QPointF(12, 17.8), 1.2, 1.2);
    fill(p, c, triangle.subtracted(mark));
}

void drawBuildingColumns(QPainter& p, const QColor& c) {
    fill(p, c, polygon({{12, 2}, {22, 7}, {2, 7}}));
    for (const double x : {4.5, 9.5, 14.5, 19.5}) stroke(p, c, polyline({{x, 9.5}, {x, 17.5}}), 2.0);
    fill(p, c, roundedRect(2, 19, 20, 2.5, 0.5));
}

void drawGlobeEuropeAfrica(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9), 1.8);
    // Europe, then Africa below it.
    fill(p, c, polygon({{9, 5}, {14, 4.5}, {15.5, 7}, {13, 9}, {10, 9.5}, {8, 8}}));
    fill(p, c, polygon({{9.5, 11}, {15.5, 10.5}, {16.5, 13.5}, {14, 18.5}, {12.5, 19.5}, {11.5, 15.5}, {9, 13.5}}));
}

void drawCircleFill(QPainter& p, const QColor& c) { fill(p, c, circle(12, 12, 9)); }
void drawCircle(QPainter& p, const QColor& c) { stroke(p, c, circle(12, 12, 8.5), 2.0); }

void drawLinkBadgePlus(QPainter& p, const QColor& c) {
    p.save();
    p.translate(10, 12);
    p.rotate(-45);
    stroke(p, c, roundedRect(-8.5, -3, 9, 6, 3), 1.8);
    stroke(p, c, roundedRect(-0.5, -3, 9, 6, 3), 1.8);
    p.restore();
    fill(p, c, circle(18.5, 17.5, 4.5));
    const QColor cut(255, 255, 255, 0);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    stroke(p, cut, polyline({{18.5, 15}, {18.5, 20}}), 1.4);
    stroke(p, cut, polyline({{16, 17.5}, {21, 17.5}}), 1.4);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

QPainterPath eyeOutline() {
    QPainterPath path;
    path.moveTo(2, 12);
    path.cubicTo(6, 5, 18, 5, 22, 12);
    path.cubicTo(18, 19, 6, 19, 2, 12);
    path.closeSubpath();
    return path;
}

void drawEye(QPainter& p, const QColor& c) {
    stroke(p, c, eyeOutline(), 1.8);
    fill(p, c, circle(12, 12, 3.5));
}

void drawEyeSlash(QPainter& p, const QColor& c) {
    drawEye(p, c);
    stroke(p, c, polyline({{4, 3}, {20, 21}}), 2.0);
}

void drawDocOnClipboard(QPainter& p, const QColor& c) {
    stroke(p, c, roundedRect(4, 4, 16, 18, 2), 1.8);
    fill(p, c, roundedRect(8.5, 2, 7, 4, 1.2));
    for (const double y : {11.0, 14.5, 18.0}) stroke(p, c, polyline({{8, y}, {16, y}}), 1.4);
}

void drawArrowDownCircle(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9), 1.8);
    stroke(p, c, polyline({{12, 7}, {12, 16.5}}), 2.0);
    stroke(p, c, polyline({{8, 12.8}, {12, 16.8}, {16, 12.8}}), 2.0);
}

void drawTrash(QPainter& p, const QColor& c) {
    stroke(p, c, polyline({{3.5, 6}, {20.5, 6}}), 1.8);
    stroke(p, c, polyline({{9, 6}, {9.5, 3}, {14.5, 3}, {15, 6}}), 1.6);
    stroke(p, c, polyline({{5.5, 6}, {6.8, 21}, {17.2, 21}, {18.5, 6}}), 1.8);
    for (const double x : {10.0, 14.0}) stroke(p, c, polyline({{x, 10}, {x, 17.5}}), 1.4);
}

void drawPersonCropCircle(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9.5), 1.6);
    fill(p, c, circle(12, 9.5, 3.5));
    QPainterPath body;
    body.moveTo(5.5, 18.5);
    body.cubicTo(7, 14.5, 17, 14.5, 18.5, 18.5);
    body.cubicTo(16.5, 20.6, 7.5, 20.6, 5.5, 18.5);
    fill(p, c, body);
}

void drawEnvelope(QPainter& p, const QColor& c) {
    stroke(p, c, roundedRect(2.5, 5, 19, 14, 2), 1.8);
    stroke(p, c, polyline({{3.5, 6.5}, {12, 13}, {20.5, 6.5}}), 1.8);
}

void drawChevronDown(QPainter& p, const QColor& c) { stroke(p, c, polyline({{5, 9}, {12, 16}, {19, 9}}), 2.4); }
void drawChevronUp(QPainter& p, const QColor& c) { stroke(p, c, polyline({{5, 15}, {12, 8}, {19, 15}}), 2.4); }
void drawChevronLeft(QPainter& p, const QColor& c) { stroke(p, c, polyline({{15, 4}, {8, 12}, {15, 20}}), 2.4); }

void drawSliderHorizontal3(QPainter& p, const QColor& c) {
    const std::array<std::pair<double, double>, 3> rows{{{6, 15}, {12, 8}, {18, 13}}};
    for (const auto& [y, knob] : rows) {
        stroke(p, c, polyline({{3, y}, {21, y}}), 1.6);
        fill(p, c, circle(knob, y, 2.5));
    }
}

void drawWrenchAndScrewdriver(QPainter& p, const QColor& c) {
    // The screwdriver from top left to bottom right, the wrench across it.
    stroke(p, c, polyline({{4, 4}, {13, 13}}), 1.6);
    stroke(p, c, polyline({{13, 13}, {20, 20}}), 3.2);
    stroke(p, c, polyline({{18, 6}, {6, 18}}), 2.2);
    stroke(p, c, arc(18.5, 5.5, 3, 225, 270), 2.0);
    fill(p, c, circle(5.5, 18.5, 2.4));
}

void drawCreditCard(QPainter& p, const QColor& c) {
    stroke(p, c, roundedRect(2.5, 5, 19, 14, 2), 1.8);
    QPainterPath stripe;
    stripe.addRect(QRectF(2.5, 8.5, 19, 3));
    fill(p, c, stripe);
    stroke(p, c, polyline({{6, 15.5}, {10, 15.5}}), 1.6);
}

void drawSafari(QPainter& p, const QColor& c) {
    stroke(p, c, circle(12, 12, 9.5), 1.6);
    fill(p, c, polygon({{16.5, 7.5}, {13.3, 13.3}, {10.7, 10.7}}));
    stroke(p, c, polygon({{7.5, 16.5}, {10.7, 10.7}, {13.3, 13.3}}), 1.2);
}

struct Symbol {
    std::string_view name;
    Drawing draw;
};

constexpr std::array<Symbol, 27> kSymbols{{
    {"power", drawPower},
    {"stop.fill", drawStopFill},
    {"checkmark.circle", drawCheckmarkCircle},
    {"arrow.clockwise", drawArrowClockwise},
    {"lock.shield", drawLockShield},
    {"network", drawNetwork},
    {"desktopcomputer", drawDesktopComputer},
    {"exclamationmark.triangle.fill", drawExclamationTriangleFill},
    {"building.columns", drawBuildingColumns},
    {"globe.europe.africa", drawGlobeEuropeAfrica},
    {"circle.fill", drawCircleFill},
    {"circle", drawCircle},
    {"link.badge.plus", drawLinkBadgePlus},
    {"eye", drawEye},
    {"eye.slash", drawEyeSlash},
    {"doc.on.clipboard", drawDocOnClipboard},
    {"arrow.down.circle", drawArrowDownCircle},
    {"trash", drawTrash},
    {"person.crop.circle", drawPersonCropCircle},
    {"envelope", drawEnvelope},
    {"chevron.down", drawChevronDown},
    {"chevron.up", drawChevronUp},
    {"chevron.left", drawChevronLeft},
    {"slider.horizontal.3", drawSliderHorizontal3},
    {"wrench.and.screwdriver", drawWrenchAndScrewdriver},
    {"creditcard", drawCreditCard},
    {"safari", drawSafari},
}};

Drawing drawingOf(std::string_view name) {
    for (const Symbol& symbol : kSymbols) {
        if (symbol.name == name) return symbol.draw;
    }
    return nullptr;
}

// An icon that draws its image at whatever size it is asked for.
class SymbolIconEngine final : public QIconEngine {
public:
    SymbolIconEngine(std::string name, QColor colour) : name_(std::move(name)), colour_(std::move(colour)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const QColor shown = mode == QIcon::Disabled ? withAlpha(colour_, 0.4) : colour_;
        paintSymbol(*painter, name_, rect, shown);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap image(size);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return image;
    }
    [[nodiscard]] QIconEngine* clone() const override { return new SymbolIconEngine(name_, colour_); }
    [[nodiscard]] QString key() const override { return QStringLiteral("tarnel-symbol"); }

private:
    static QColor withAlpha(QColor colour, double factor) {
        colour.setAlphaF(static_cast<float>(colour.alphaF() * factor));
        return colour;
    }

    std::string name_;
    QColor colour_;
};

}  // namespace

bool isKnownSymbol(std::string_view name) { return drawingOf(name) != nullptr; }

void paintSymbol(QPainter& painter, std::string_view name, const QRectF& rect, const QColor& colour) {
    const Drawing draw = drawingOf(name);
    if (draw == nullptr) return;
    const double side = std::min(rect.width(), rect.height());
    // Drawn on a layer of its own, so that the images that cut holes into
    // themselves never cut into what lies under them.
    QPixmap layer(QSize(static_cast<int>(std::ceil(side)), static_cast<int>(std::ceil(side))) *
                  painter.device()->devicePixelRatioF());
    layer.setDevicePixelRatio(painter.device()->devicePixelRatioF());
    layer.fill(Qt::transparent);
    {
        QPainter layerPainter(&layer);
        layerPainter.setRenderHint(QPainter::Antialiasing);
        layerPainter.scale(side / 24.0, side / 24.0);
        draw(layerPainter, colour);
    }
    const QPointF origin(rect.center().x() - side / 2.0, rect.center().y() - side / 2.0);
    painter.drawPixmap(origin, layer);
}

QIcon symbolIcon(std::string_view name, const QColor& colour) {
    return QIcon(new SymbolIconEngine(std::string(name), colour));
}

void setSystemImage(QObject& object, std::string_view name) {
    object.setProperty(kSystemImageProperty, QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

QIcon applicationIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        QPixmap image(size, size);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 24.0, size / 24.0);
        QLinearGradient gradient(0, 0, 0, 24);
        gradient.setColorAt(0, QColor(0x2f, 0x80, 0xed));
        gradient.setColorAt(1, QColor(0x1a, 0x4f, 0xa8));
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawRoundedRect(QRectF(0, 0, 24, 24), 5.5, 5.5);
        painter.translate(3, 3);
        painter.scale(0.75, 0.75);
        fill(painter, Qt::white, shield());
        stroke(painter, QColor(0x1a, 0x4f, 0xa8), polyline({{8, 12}, {11, 15}, {16.5, 9}}), 2.4);
        icon.addPixmap(image);
    }
    return icon;
}

}  // namespace tarnel::ui
