#include "app/ui/ui_style.hpp"

#include <QFontDatabase>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace tarnel::ui {

namespace {

std::atomic<bool> animations{true};

int channel(double top, double opacity, double bottom) {
    return std::clamp(static_cast<int>(std::lround(top * opacity + bottom * (1.0 - opacity))), 0, 255);
}

}  // namespace

QColor color(ColorName name, const QPalette& palette) {
    switch (name) {
        case ColorName::accent: return palette.color(QPalette::Active, QPalette::Highlight);
        case ColorName::primary: return palette.color(QPalette::Active, QPalette::WindowText);
        case ColorName::secondary: return {0x8e, 0x8e, 0x93};
        case ColorName::green: return {0x28, 0xa7, 0x45};
        case ColorName::orange: return {0xf0, 0x8c, 0x00};
        case ColorName::red: return {0xe0, 0x2e, 0x24};
    }
    return {};
}

QColor windowBackground(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Window); }
QColor controlBackground(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Base); }
QColor textBackground(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Base); }
QColor underPageBackground() { return {0xdc, 0xdc, 0xe0}; }

QColor withOpacity(QColor colour, double opacity) {
    colour.setAlphaF(static_cast<float>(colour.alphaF() * std::clamp(opacity, 0.0, 1.0)));
    return colour;
}

QColor blend(const QColor& top, double opacity, const QColor& bottom) {
    const double alpha = top.alphaF() * opacity;
    return {channel(top.red(), alpha, bottom.red()), channel(top.green(), alpha, bottom.green()),
            channel(top.blue(), alpha, bottom.blue())};
}

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont font(TextStyle style) {
    switch (style) {
        case TextStyle::body: return systemFont(13);
        case TextStyle::callout: return systemFont(12);
        case TextStyle::caption: return systemFont(10);
        case TextStyle::headline: return systemFont(13, QFont::DemiBold);
        case TextStyle::title3: return systemFont(15);
    }
    return systemFont(13);
}

QFont font(TextStyle style, QFont::Weight weight) {
    QFont result = font(style);
    result.setWeight(weight);
    return result;
}

QFont monospacedFont(TextStyle style) {
    QFont result = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    result.setPixelSize(font(style).pixelSize());
    return result;
}

bool animationsEnabled() { return animations.load(); }
void setAnimationsEnabled(bool enabled) { animations.store(enabled); }

}  // namespace tarnel::ui
