#include "tools/app-state-driver/window_controls.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <optional>
#include <stdexcept>

#include "app/ui/route_views.hpp"
#include "app/ui/widgets.hpp"

namespace tarnel {

namespace {

std::string text(const QString& value) { return value.toStdString(); }

// The checked item of a picker: a widget holding a group of exclusive buttons.
QAbstractButton* checkedItem(const QWidget& widget) {
    const auto* group = widget.findChild<QButtonGroup*>(QString(), Qt::FindDirectChildrenOnly);
    return group != nullptr ? group->checkedButton() : nullptr;
}

// The text a widget shows of its own; none for a widget that shows none.
std::optional<QString> ownText(const QWidget& widget) {
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) return label->text();
    if (const auto* field = qobject_cast<const QLineEdit*>(&widget)) return field->text();
    if (const auto* capsule = qobject_cast<const ui::CapsuleView*>(&widget)) return capsule->text();
    if (const auto* line = qobject_cast<const ui::TextView*>(&widget)) return line->text();
    if (const auto* icon = qobject_cast<const ui::IconLabel*>(&widget)) return icon->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
        return button->text().isEmpty() ? button->accessibleName() : button->text();
    }
    if (const QAbstractButton* item = checkedItem(widget)) return item->text();
    return std::nullopt;
}

// The non-empty texts of the visible labels, buttons and capsules under
// `widget`, depth first in the order of the widget tree.
void collectTexts(const QWidget& root, const QWidget& widget, json::OrderedValue& texts) {
    for (const QObject* child : widget.children()) {
        const auto* inner = qobject_cast<const QWidget*>(child);
        if (inner == nullptr || !inner->isVisibleTo(&root)) continue;
        std::optional<QString> shown;
        if (const auto* label = qobject_cast<const QLabel*>(inner)) shown = label->text();
        if (const auto* button = qobject_cast<const QAbstractButton*>(inner)) shown = button->text();
        if (const auto* capsule = qobject_cast<const ui::CapsuleView*>(inner)) shown = capsule->text();
        if (const auto* line = qobject_cast<const ui::TextView*>(inner)) shown = line->text();
        if (shown && !shown->isEmpty()) texts.push_back(text(*shown));
        collectTexts(root, *inner, texts);
    }
}

void requireUsable(const QWidget& widget, const std::string& name) {
    if (!widget.isVisible()) throw std::invalid_argument("the control \"" + name + "\" is hidden");
    if (!widget.isEnabled()) throw std::invalid_argument("the control \"" + name + "\" is disabled");
}

}  // namespace

QWidget& WindowControls::find(const std::string& name) const {
    const QString objectName = QString::fromStdString(name);
    if (window_.objectName() == objectName) return window_;
    const QList<QWidget*> found = window_.findChildren<QWidget*>(objectName);
    if (found.isEmpty()) throw std::invalid_argument("no control named \"" + name + "\"");
    if (found.size() > 1) {
        throw std::invalid_argument(std::to_string(found.size()) + " controls named \"" + name + "\"");
    }
    return *found.front();
}

void WindowControls::press(const std::string& name) const {
    auto* button = qobject_cast<QAbstractButton*>(&find(name));
    if (button == nullptr) throw std::invalid_argument("the control \"" + name + "\" cannot be pressed");
    requireUsable(*button, name);
    button->click();
}

void WindowControls::type(const std::string& name, const std::string& text) const {
    auto* field = qobject_cast<QLineEdit*>(&find(name));
    if (field == nullptr) throw std::invalid_argument("the control \"" + name + "\" is not a text field");
    requireUsable(*field, name);
    if (field->isReadOnly()) throw std::invalid_argument("the control \"" + name + "\" is read-only");
    // An insertion over the whole text is an edit: textEdited as for keys.
    field->selectAll();
    field->insert(QString::fromStdString(text));
}

void WindowControls::choose(const std::string& name, const std::string& item) const {
    QWidget& picker = find(name);
    if (picker.findChild<QButtonGroup*>(QString(), Qt::FindDirectChildrenOnly) == nullptr) {
        throw std::invalid_argument("the control \"" + name + "\" is not a picker");
    }
    requireUsable(picker, name);
    for (QAbstractButton* button : picker.findChildren<QAbstractButton*>()) {
        if (button->text() != QString::fromStdString(item) || !button->isVisible()) continue;
        requireUsable(*button, name + "\" item \"" + item);
        button->click();
        return;
    }
    throw std::invalid_argument("the picker \"" + name + "\" has no item \"" + item + "\"");
}

json::OrderedValue WindowControls::describe(const std::string& name) const {
    const QWidget& widget = find(name);
    json::OrderedValue fields = json::OrderedValue::object();
    fields["name"] = name;
    const std::optional<QString> own = ownText(widget);
    fields["text"] = own ? json::OrderedValue(text(*own)) : nullptr;
    fields["enabled"] = widget.isEnabled();
    fields["visible"] = widget.isVisible();
    const auto* button = qobject_cast<const QAbstractButton*>(&widget);
    fields["checked"] = button != nullptr && button->isCheckable() ? json::OrderedValue(button->isChecked()) : nullptr;
    json::OrderedValue texts = json::OrderedValue::array();
    collectTexts(widget, widget, texts);
    fields["texts"] = texts;
    if (const auto* row = qobject_cast<const RouteRow*>(&widget)) fields["selected"] = row->fields().isSelected;
    return fields;
}

void WindowControls::grab(const std::filesystem::path& path) const {
    // What the state changed last is drawn before the picture is taken.
    window_.repaint();
    QPixmap picture;
    if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
        QScreen* screen = window_.screen();
        if (screen == nullptr) throw std::invalid_argument("the window is on no screen");
        picture = screen->grabWindow(window_.winId());
    } else {
        picture = window_.grab();
    }
    if (picture.isNull() || !picture.save(QString::fromStdString(path.string()), "PNG")) {
        throw std::invalid_argument("cannot write the window's picture to " + path.string());
    }
}

}  // namespace tarnel
