#pragma once

#include <QAbstractButton>
#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

#include "app/catalog/route_model.hpp"
#include "app/state/connection_types.hpp"
#include "app/ui/app_language.hpp"
#include "app/ui/widgets.hpp"

class QLabel;

// The small views of the route list and the status area. They keep no state
// of their own: the window sets their fields, and the language it hands them
// (English when nothing does).
namespace tarnel {

// The colour of a tunnel status and of a route's availability.
[[nodiscard]] QColor statusColor(TunnelStatus status, const QPalette& palette);
[[nodiscard]] QColor availabilityColor(RouteAvailability availability, const QPalette& palette);
// The image of a node code (exact, letter case counts): "RU" a building,
// "RO", "EE", "IN" and "KZ" a globe, anything else "network".
[[nodiscard]] std::string_view regionSymbol(std::string_view nodeCode) noexcept;

// The tunnel status title in a capsule of the status colour.
class StatusPill final : public ui::CapsuleView {
    Q_OBJECT

public:
    explicit StatusPill(QWidget* parent = nullptr);

    void setStatus(TunnelStatus status);
    void setLanguage(AppLanguage language);
    [[nodiscard]] TunnelStatus status() const noexcept { return status_; }

private:
    void refresh();

    TunnelStatus status_ = TunnelStatus::disconnected;
    AppLanguage language_ = AppLanguage::en;
};

// A route's availability title in a capsule of the availability colour.
class RouteAvailabilityBadge final : public ui::CapsuleView {
    Q_OBJECT

public:
    explicit RouteAvailabilityBadge(QWidget* parent = nullptr);

    void setAvailability(RouteAvailability availability);
    void setLanguage(AppLanguage language);
    [[nodiscard]] RouteAvailability availability() const noexcept { return availability_; }

private:
    void refresh();

    RouteAvailability availability_ = RouteAvailability::untested;
    AppLanguage language_ = AppLanguage::en;
};

// An image and a caption in a grey capsule; the caller passes the text of
// the current language.
class InfoChip final : public ui::CapsuleView {
    Q_OBJECT

public:
    InfoChip(std::string_view icon, std::string_view text, QWidget* parent = nullptr);

    void setText(std::string_view text);

private:
    std::string icon_;
};

// What the route list shows before anything is imported.
class EmptyRoutesView final : public QWidget {
    Q_OBJECT

public:
    explicit EmptyRoutesView(QWidget* parent = nullptr);

    void setLanguage(AppLanguage language);
    [[nodiscard]] QLabel& title() noexcept { return *title_; }
    [[nodiscard]] QLabel& hint() noexcept { return *hint_; }

private:
    void refresh();

    AppLanguage language_ = AppLanguage::en;
    QLabel* title_;
    QLabel* hint_;
};

// One selectable route of the list: its region image, node and route names,
// availability badge and selection mark. A catalog entry without a route is
// drawn at 0.62 opacity and cannot be clicked; one whose interaction is off
// (during a route test) cannot be clicked but is drawn in full. Its object
// name is "route." + the entry's id, its accessible name "<node>, <route>"
// and its accessible description the availability title.
class RouteRow final : public QAbstractButton {
    Q_OBJECT

public:
    struct Fields {
        RouteListItem item;
        bool isSelected = false;
        RouteAvailability availability = RouteAvailability::untested;
        bool isInteractionEnabled = true;
    };

    RouteRow(Fields fields, std::function<void()> action, QWidget* parent = nullptr);

    void setFields(Fields fields);
    void setLanguage(AppLanguage language);
    [[nodiscard]] const Fields& fields() const noexcept { return fields_; }
    // 0.62 for an entry without a route, else 1.
    [[nodiscard]] double opacity() const noexcept;
    [[nodiscard]] std::string_view regionImage() const noexcept;
    [[nodiscard]] std::string_view selectionMark() const noexcept;
    [[nodiscard]] RouteAvailabilityBadge& badge() noexcept { return *badge_; }
    [[nodiscard]] ui::TextView& titleLabel() noexcept { return *title_; }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    class IconTile;

    void refresh();

    Fields fields_;
    std::function<void()> action_;
    AppLanguage language_ = AppLanguage::en;
    IconTile* tile_;
    ui::TextView* title_;
    ui::TextView* subtitle_;
    RouteAvailabilityBadge* badge_;
    ui::SymbolView* mark_;
};

}  // namespace tarnel
