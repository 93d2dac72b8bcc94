#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

// The window's look in one place: the named colours, the text styles in
// pixels (one point of the design is one pixel), and whether changes are
// animated.
namespace tarnel::ui {

// The colours that the views name. The accent is the palette's highlight,
// primary its window text; the others are fixed, so that a status reads the
// same under every theme.
enum class ColorName {
    accent,
    primary,
    secondary,
    green,
    orange,
    red,
};

[[nodiscard]] QColor color(ColorName name, const QPalette& palette);
// The backgrounds: the window's, the cards' and text views' (the palette's
// base) and the right column's.
[[nodiscard]] QColor windowBackground(const QPalette& palette);
[[nodiscard]] QColor controlBackground(const QPalette& palette);
[[nodiscard]] QColor textBackground(const QPalette& palette);
[[nodiscard]] QColor underPageBackground();

// `colour` at `opacity` (0 to 1) of its own alpha.
[[nodiscard]] QColor withOpacity(QColor colour, double opacity);
// What `top` at `opacity` leaves over an opaque `bottom`.
[[nodiscard]] QColor blend(const QColor& top, double opacity, const QColor& bottom);

enum class TextStyle {
    body,      // 13 px
    callout,   // 12 px
    caption,   // 10 px
    headline,  // 13 px semibold
    title3,    // 15 px
};

[[nodiscard]] QFont font(TextStyle style);
[[nodiscard]] QFont font(TextStyle style, QFont::Weight weight);
// The system font at a pixel size and weight.
[[nodiscard]] QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);
[[nodiscard]] QFont monospacedFont(TextStyle style);

// The panels open and close with a 160 ms ease-in-out animation; tests turn
// animations off so that a change is complete at once.
[[nodiscard]] bool animationsEnabled();
void setAnimationsEnabled(bool enabled);
inline constexpr int kToggleAnimationMilliseconds = 160;

// The opacity of a route row whose catalog entry has no route.
inline constexpr double kUnavailableRowOpacity = 0.62;

}  // namespace tarnel::ui
