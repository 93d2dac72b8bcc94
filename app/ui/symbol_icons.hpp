#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

#include <string_view>

class QPainter;
class QObject;

// The window's images, drawn by this code at any size: one small drawing per
// image name the views use ("power", "lock.shield", "chevron.down", ...). A
// widget showing one keeps its name in the property "systemImage".
namespace tarnel::ui {

inline constexpr const char* kSystemImageProperty = "systemImage";

// Whether `name` is one of the images drawn here.
[[nodiscard]] bool isKnownSymbol(std::string_view name);
// Draws the image `name` in `colour`, fitted into the square centred in
// `rect`. An unknown name draws nothing.
void paintSymbol(QPainter& painter, std::string_view name, const QRectF& rect, const QColor& colour);
// The image as an icon of any size; a disabled icon is drawn at 40 %.
[[nodiscard]] QIcon symbolIcon(std::string_view name, const QColor& colour);
// Sets `object`'s "systemImage" property to `name`.
void setSystemImage(QObject& object, std::string_view name);

// The application's own icon.
[[nodiscard]] QIcon applicationIcon();

}  // namespace tarnel::ui
