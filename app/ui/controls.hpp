#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <initializer_list>
#include <optional>
#include <string_view>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QWidget;

// The window's controls as its views want them: buttons with an image before
// their text, image-only buttons with a help text, labels, and segmented
// pickers; texts that keep accessible names in step.
namespace tarnel::ui {

enum class ControlSize { small, regular, large };
enum class ButtonKind { standard, prominent };

[[nodiscard]] int controlHeight(ControlSize size);

// A push button with an image before its text (and `identifier` as its
// object name when given). A prominent one is filled with the accent and
// written in white.
[[nodiscard]] QPushButton* makeButton(QWidget* parent, std::string_view symbol, ButtonKind kind, ControlSize size,
                                      const char* identifier = nullptr);
// A button showing only an image; its help text is set by its view.
[[nodiscard]] QToolButton* makeImageButton(QWidget* parent, std::string_view symbol, const char* identifier);
// Changes a button's image (and its "systemImage").
void setImage(QAbstractButton& button, std::string_view symbol, const QColor& colour);
// A button's text is its accessible name too.
void setLabel(QAbstractButton& button, const QString& text);
void setLabel(QLabel& label, const QString& text);
// A field's placeholder is its accessible name too.
void setPlaceholder(QLineEdit& field, const QString& text);
// A plain-text label in a font, and in a colour when given.
[[nodiscard]] QLabel* makeLabel(QWidget* parent, const QFont& font, std::optional<QColor> colour = std::nullopt);
// Exclusive checkable buttons side by side in `picker`, standing for a
// segmented picker; their ids are their places, from 0.
[[nodiscard]] QButtonGroup* makeSegments(QWidget* picker, std::initializer_list<const char*> items);

}  // namespace tarnel::ui
