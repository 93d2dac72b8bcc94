#pragma once

#include <filesystem>
#include <string>

#include "common/base/json.hpp"

class QWidget;

namespace tarnel {

// The window's controls worked and read as a user (or an automation tool)
// does, found by their object names. Every operation throws
// std::invalid_argument, and does nothing, when the control is missing, is
// not one the operation applies to, or is hidden or disabled. Main thread
// only; the window must outlive this.
class WindowControls {
public:
    explicit WindowControls(QWidget& window) : window_(window) {}

    // A click on the control: a button's, a panel header's or a route row's
    // (each a QAbstractButton).
    void press(const std::string& name) const;
    // Replaces the text of the field as typing does: the field's
    // textEdited and textChanged signals follow.
    void type(const std::string& name, const std::string& text) const;
    // Clicks the item of the picker whose visible text is `item`.
    void choose(const std::string& name, const std::string& item) const;
    // {"name", "text", "enabled", "visible", "checked", "texts"} and, for a
    // route row, "selected". "text" is the control's own text: a label's,
    // a field's, a capsule's, a button's (its accessible name when it shows
    // none), a picker's checked item's; "checked" is null unless the control
    // is checkable; "texts" holds the non-empty texts of the visible labels,
    // buttons and capsules inside it, in the order of the widget tree.
    [[nodiscard]] json::OrderedValue describe(const std::string& name) const;
    // Writes a PNG of the window: grabbed from the X server on the xcb
    // platform, the window's own rendering on any other.
    void grab(const std::filesystem::path& path) const;

private:
    [[nodiscard]] QWidget& find(const std::string& name) const;

    QWidget& window_;
};

}  // namespace tarnel
