#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <set>
#include <string>

#include "app/ui/route_views.hpp"
#include "tests/ui/ui_test_support.hpp"

// The route row, badges, pill and the empty list on their own, outside any
// window: English unless told otherwise.
namespace tarnel::testing {
namespace {

RouteListItem romaniaHysteria2(bool withRoute, CatalogRouteStatus status = CatalogRouteStatus::available) {
    RouteListItem item;
    item.catalog = RouteCatalogItem{"RO:hysteria2", "RO", "Romania", "hysteria2", "Hysteria2", "hysteria2", status};
    if (withRoute) item.route = makeRoute("ro-h2", RouteTransport::hysteria2, "RO");
    return item;
}

std::set<std::string> imagesUnder(QWidget& root) {
    std::set<std::string> images;
    for (QWidget* widget : widgetsWhere<QWidget>(root, [](QWidget&) { return true; })) {
        if (const std::string image = imageOf(*widget); !image.empty()) images.insert(image);
    }
    return images;
}

class RouteViewsTest : public ::testing::Test, protected UiApplication {};

TEST_F(RouteViewsTest, ARowNamesItsRouteForAutomationInTheLanguageItIsGiven) {
    int clicks = 0;
    RouteRow row({romaniaHysteria2(true), false, RouteAvailability::available, true}, [&clicks] { ++clicks; });
    row.resize(row.sizeHint());
    EXPECT_EQ(row.objectName(), "route.RO:hysteria2");
    EXPECT_EQ(row.accessibleName(), "Romania, Hysteria2");
    EXPECT_EQ(row.accessibleDescription(), "Available");
    EXPECT_EQ(row.badge().text(), "Available");
    row.setLanguage(AppLanguage::ru);
    EXPECT_EQ(row.accessibleDescription(), "Доступен");
    EXPECT_EQ(row.badge().text(), "Доступен");

    EXPECT_TRUE(row.isEnabled());
    EXPECT_EQ(row.opacity(), 1.0);
    QTest::mouseClick(&row, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

TEST_F(RouteViewsTest, TheRegionImageFollowsTheExactNodeCode) {
    const struct {
        const char* nodeCode;
        const char* image;
    } cases[] = {
        {"RU", "building.columns"},    {"RO", "globe.europe.africa"}, {"EE", "globe.europe.africa"},
        {"IN", "globe.europe.africa"}, {"KZ", "globe.europe.africa"}, {"ru", "network"},
        {"DE", "network"},             {"", "network"},
    };
    for (const auto& test : cases) {
        RouteListItem item = romaniaHysteria2(true);
        item.catalog.nodeCode = test.nodeCode;
        RouteRow row({item, false, RouteAvailability::untested, true}, {});
        EXPECT_EQ(row.regionImage(), test.image) << test.nodeCode;
        EXPECT_TRUE(imagesUnder(row).contains(test.image)) << test.nodeCode;
    }
}

// (has a route, interaction) -> (clickable, opacity); and the mark of a
// selected row.
TEST_F(RouteViewsTest, ARowWithoutARouteIsDimmedAndARowWithoutInteractionOnlyDisabled) {
    const struct {
        bool withRoute;
        bool interaction;
        bool selected;
        bool enabled;
        double opacity;
        const char* mark;
    } cases[] = {
        {true, true, true, true, 1.0, "circle.fill"},
        {true, true, false, true, 1.0, "circle"},
        {true, false, true, false, 1.0, "circle.fill"},
        {false, true, false, false, 0.62, "circle"},
        {false, false, false, false, 0.62, "circle"},
    };
    for (const auto& test : cases) {
        int clicks = 0;
        RouteRow row({romaniaHysteria2(test.withRoute), test.selected, RouteAvailability::untested, test.interaction},
                     [&clicks] { ++clicks; });
        row.resize(row.sizeHint());
        const std::string context = std::string(test.withRoute ? "route" : "no route") +
                                    (test.interaction ? ", interaction" : ", no interaction");
        EXPECT_EQ(row.isEnabled(), test.enabled) << context;
        EXPECT_DOUBLE_EQ(row.opacity(), test.opacity) << context;
        EXPECT_EQ(row.selectionMark(), test.mark) << context;
        EXPECT_TRUE(imagesUnder(row).contains(test.mark)) << context;
        QTest::mouseClick(&row, Qt::LeftButton);
        EXPECT_EQ(clicks, test.enabled ? 1 : 0) << context;
    }
}

TEST_F(RouteViewsTest, BadgesAndThePillTitleAndColourTheirValues) {
    const QPalette palette = QApplication::palette();
    const struct {
        RouteAvailability availability;
        const char* english;
        const char* russian;
        ui::ColorName colour;
    } badges[] = {
        {RouteAvailability::untested, "Not tested", "Не проверен", ui::ColorName::secondary},
        {RouteAvailability::available, "Available", "Доступен", ui::ColorName::green},
        {RouteAvailability::slow, "Slow", "Медленно", ui::ColorName::orange},
        {RouteAvailability::unavailable, "Unavailable", "Недоступен", ui::ColorName::red},
        {RouteAvailability::paidRequired, "Paid", "Платный", ui::ColorName::secondary},
    };
    for (const auto& test : badges) {
        RouteAvailabilityBadge badge;
        badge.setAvailability(test.availability);
        EXPECT_EQ(badge.text(), qs(test.english));
        EXPECT_EQ(badge.look().foreground, ui::color(test.colour, palette)) << test.english;
        badge.setLanguage(AppLanguage::ru);
        EXPECT_EQ(badge.text(), qs(test.russian));
    }

    const struct {
        TunnelStatus status;
        const char* english;
        const char* russian;
        ui::ColorName colour;
    } pills[] = {
        {TunnelStatus::disconnected, "Disconnected", "Отключено", ui::ColorName::secondary},
        {TunnelStatus::connecting, "Connecting", "Подключаем", ui::ColorName::orange},
        {TunnelStatus::connected, "Connected", "Подключено", ui::ColorName::green},
        {TunnelStatus::failed, "Failed", "Ошибка", ui::ColorName::red},
    };
    for (const auto& test : pills) {
        StatusPill pill;
        pill.setStatus(test.status);
        EXPECT_EQ(pill.text(), qs(test.english));
        EXPECT_EQ(pill.look().foreground, ui::color(test.colour, palette)) << test.english;
        EXPECT_DOUBLE_EQ(pill.look().fillOpacity, 0.16);
        pill.setLanguage(AppLanguage::ru);
        EXPECT_EQ(pill.text(), qs(test.russian));
        EXPECT_EQ(pill.accessibleName(), qs(test.russian));
    }
}

TEST_F(RouteViewsTest, TheEmptyListAndTheChipsShowTheirTexts) {
    EmptyRoutesView empty;
    EXPECT_TRUE(showsLabel(empty, "Paste an access key"));
    EXPECT_TRUE(imagesUnder(empty).contains("link.badge.plus"));
    empty.setLanguage(AppLanguage::ru);
    EXPECT_TRUE(showsLabel(empty, "Вставьте ключ доступа"));
    EXPECT_TRUE(showsLabel(empty, "Откройте кабинет Tarnel или Telegram-бота, скопируйте ссылку подписки и "
                                  "импортируйте её здесь."));

    InfoChip chip("lock.shield", "TUN route");
    EXPECT_EQ(chip.text(), "TUN route");
    EXPECT_EQ(imageOf(chip), "lock.shield");
}

}  // namespace
}  // namespace tarnel::testing
