// The real window on a real X server (Xvfb, 1280x900, 24-bit), grabbed from
// the server in six states and kept as
// <build>/test-artefacts/window/<state>-<en|ru>.png; its pixels must show the
// colours the window is made of.
//
// A program of its own: it starts Xvfb before the application object, then
// runs its tests.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLineEdit>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/route_views.hpp"
#include "app/ui/widgets.hpp"
#include "common/process/child_process.hpp"
#include "tests/support/virtual_display.hpp"
#include "tests/ui/ui_test_support.hpp"

namespace tarnel::testing {
namespace {

const std::filesystem::path kArtefacts = std::filesystem::path(TARNEL_BUILD_DIR) / "test-artefacts" / "window";

const RouteNode routeA = makeRoute("a", RouteTransport::hysteria2, "RO", "alpha.example.net");
const RouteNode routeB = makeRoute("b", RouteTransport::trojan, "EE", "beta.example.net");
const RouteNode routeC = makeRoute("c", RouteTransport::tuic, "RU", "gamma.example.net");

// The difference of two colours, the largest over the three channels.
int distance(const QColor& a, const QColor& b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

std::string describe(const QColor& colour) { return colour.name().toStdString(); }

// `top` at `opacity` over the opaque `bottom`, as the checks compute it.
QColor over(const QColor& top, double opacity, const QColor& bottom) {
    const auto mix = [opacity](int t, int b) { return static_cast<int>(std::lround(t * opacity + b * (1 - opacity))); };
    return {mix(top.red(), bottom.red()), mix(top.green(), bottom.green()), mix(top.blue(), bottom.blue())};
}

class WindowScreenshots : public WindowFixture {
protected:
    ContentView& window = open();
    QPalette palette = QApplication::palette();
    QImage screen;

    QColor accent() const { return ui::color(ui::ColorName::accent, palette); }
    QColor windowColour() const { return ui::windowBackground(palette); }
    QColor cardColour() const { return over(ui::controlBackground(palette), 0.92, windowColour()); }

    // Shows the state, grabs the whole screen from the server and keeps it.
    void grab(const std::string& name) {
        window.move(0, 0);
        window.show();
        window.raise();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.repaint();
        QTest::qWait(300);
        std::filesystem::create_directories(kArtefacts);
        const auto file = kArtefacts / (name + ".png");
        std::filesystem::remove(file);
        ChildProcess::Options options;
        options.executable = "/usr/bin/import";
        options.arguments = {"-display", qgetenv("DISPLAY").toStdString(), "-window", "root", file.string()};
        ChildProcess import = ChildProcess::spawn(options);
        ASSERT_TRUE(import.waitForExit(60.0));
        ASSERT_EQ(import.exitStatus()->terminationStatus(), 0);
        screen = QImage(QString::fromStdString(file.string())).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(screen.size(), QSize(1280, 900)) << name;
    }

    QColor pixel(const QWidget& widget, QPoint at) const {
        return screen.pixelColor(widget.mapToGlobal(at));
    }

    // Whether some pixel of the widget is the colour (within 3 per channel).
    [[nodiscard]] bool showsColour(const QWidget& widget, const QColor& colour) const {
        const QRect area(widget.mapToGlobal(QPoint(0, 0)), widget.size());
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (distance(screen.pixelColor(x, y), colour) <= 3) return true;
            }
        }
        return false;
    }

    // The lightness of the darkest pixel of the widget.
    [[nodiscard]] int darkest(const QWidget& widget) const {
        const QRect area(widget.mapToGlobal(QPoint(0, 0)), widget.size());
        int least = 255;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x)
                least = std::min(least, screen.pixelColor(x, y).lightness());
        }
        return least;
    }

    void expectColour(const QColor& seen, const QColor& expected, const std::string& what) {
        EXPECT_LE(distance(seen, expected), 3) << what << ": " << describe(seen) << ", expected " << describe(expected);
    }

    // The pill's fill, left of its text: the status colour at 0.16 over the header.
    void checkPill() {
        const StatusPill& pill = window.statusPill();
        expectColour(pixel(pill, QPoint(5, pill.height() / 2)),
                     over(statusColor(pill.status(), palette), 0.16, windowColour()), "pill fill");
    }

    // The right column: exactly 360 pixels up to the window's right edge, on
    // its own background.
    void checkRightColumn() {
        QWidget& column = window.rightColumn();
        EXPECT_EQ(column.width(), 360);
        EXPECT_EQ(column.mapTo(&window, QPoint(0, 0)).x() + 360, window.width());
        const QColor background = over(ui::underPageBackground(), 0.72, windowColour());
        expectColour(pixel(column, QPoint(0, 4)), background, "right column's first pixel");
        expectColour(pixel(column, QPoint(359, 4)), background, "right column's last pixel");
        EXPECT_GT(distance(pixel(column, QPoint(-1, 4)), background), 3) << "the divider before the column";
    }

    // Rows: the selected tile is the accent, the others a tint of it; the
    // selected row is tinted too.
    void checkRows() {
        for (RouteRow* row : window.routeRows()) {
            if (!row->fields().item.route) continue;
            const std::string id = row->objectName().toStdString();
            QWidget* tile = nullptr;
            for (QWidget* child : row->findChildren<QWidget*>()) {
                if (child->size() == QSize(36, 36)) tile = child;
            }
            ASSERT_NE(tile, nullptr) << id;
            const bool selected = row->fields().isSelected;
            expectColour(pixel(*tile, QPoint(4, 18)),
                         selected ? accent() : over(accent(), 0.12, ui::controlBackground(palette)), id + " tile");
            expectColour(pixel(*row, QPoint(6, row->height() / 2)),
                         selected ? over(accent(), 0.08, cardColour()) : ui::controlBackground(palette),
                         id + " background");
        }
    }

    void checkCommon() {
        checkPill();
        checkRightColumn();
        checkRows();
    }
};

TEST_F(WindowScreenshots, NoRoutesInEnglish) {
    grab("no-routes-en");
    checkCommon();
}

TEST_F(WindowScreenshots, RoutesWithARowWithoutARouteInRussian) {
    app->languageSetting().setStoredCode("ru");
    appState().setRoutes({routeA, routeB});
    appState().setRouteCatalog({
        RouteCatalogItem{"RO:hysteria2", "RO", "Румыния", "hysteria2", "Hysteria2", "hysteria2",
                         CatalogRouteStatus::available},
        RouteCatalogItem{"RO:reality", "RO", "Румыния", "reality", "VLESS Reality", "vless",
                         CatalogRouteStatus::temporarilyUnavailable},
        RouteCatalogItem{"EE:trojan", "EE", "Эстония", "trojan", "Trojan TLS", "trojan", CatalogRouteStatus::available},
    });
    appState().setSelectedRouteID("b");
    appState().setRouteAvailability(RouteAvailability::available, "a");
    appState().setRouteAvailability(RouteAvailability::unavailable, "b");
    grab("routes-ru");
    checkCommon();

    RouteRow& available = byName<RouteRow>(window, "route.RO:hysteria2");
    RouteRow& unavailable = byName<RouteRow>(window, "route.EE:trojan");
    RouteRow& withoutRoute = byName<RouteRow>(window, "route.RO:reality");
    EXPECT_EQ(available.badge().text(), "Доступен");
    EXPECT_TRUE(showsColour(available.badge(), ui::color(ui::ColorName::green, palette))) << "Доступен in green";
    EXPECT_EQ(unavailable.badge().text(), "Недоступен");
    EXPECT_TRUE(showsColour(unavailable.badge(), ui::color(ui::ColorName::red, palette))) << "Недоступен in red";
    EXPECT_EQ(withoutRoute.badge().text(), "Недоступен");
    EXPECT_GT(darkest(withoutRoute.titleLabel()), darkest(available.titleLabel()) + 20)
        << "the title of a row without a route is drawn lighter";
}

TEST_F(WindowScreenshots, ConnectingInEnglish) {
    appState().setRoutes({routeA, routeB});
    appState().activeMode = ConnectionMode::tun;
    appState().setTunnelStatus(TunnelStatus::connecting);
    grab("connecting-en");
    checkCommon();
}

TEST_F(WindowScreenshots, ConnectedInEnglish) {
    appState().setRoutes({routeA, routeB, routeC});
    appState().setSelectedRouteID("a");
    appState().setActiveRouteID("a");
    appState().activeMode = ConnectionMode::tun;
    appState().setTunnelStatus(TunnelStatus::connected);
    appState().setRouteAvailability(RouteAvailability::available, "a");
    appState().setRouteAvailability(RouteAvailability::unavailable, "c");
    grab("connected-en");
    checkCommon();
    EXPECT_TRUE(showsColour(byName<RouteRow>(window, "route.RO:hysteria2").badge(),
                            ui::color(ui::ColorName::green, palette)))
        << "Available in green";
    EXPECT_TRUE(showsColour(byName<RouteRow>(window, "route.RU:tuic").badge(), ui::color(ui::ColorName::red, palette)))
        << "Unavailable in red";
}

TEST_F(WindowScreenshots, FailedEngagedWithANoticeInRussian) {
    app->languageSetting().setStoredCode("ru");
    appState().setRoutes({routeA});
    appState().activeMode = ConnectionMode::tun;
    appState().setConnectionNotice("The privileged VPN state could not be verified. Use Disconnect before retrying.");
    appState().setTunnelStatus(TunnelStatus::failed);
    grab("failed-ru");
    checkCommon();
    EXPECT_TRUE(showsColour(window.noticeLabel(), ui::color(ui::ColorName::orange, palette))) << "the notice in orange";
    EXPECT_TRUE(shown(window.retryHintLabel()));
}

TEST_F(WindowScreenshots, RouteTestInEnglish) {
    appState().setRoutes({routeA, routeB, routeC});
    appState().setSelectedRouteID("a");
    appState().setRouteTestProgress(RouteTestProgress{1, 3, "b"});
    grab("route-test-en");
    checkCommon();
    EXPECT_TRUE(byName<RouteRow>(window, "route.EE:trojan").fields().isSelected);
    // The rows cannot be clicked but keep their look.
    const int primary = ui::color(ui::ColorName::primary, palette).lightness();
    for (RouteRow* row : window.routeRows()) {
        EXPECT_FALSE(row->isEnabled());
        EXPECT_LE(darkest(row->titleLabel()), primary + 3) << row->objectName().toStdString();
    }
}

// Every Russian text the window shows is in the font it is drawn with.
TEST_F(WindowScreenshots, TheFontCoversEveryRussianText) {
    app->languageSetting().setStoredCode("ru");
    appState().setRoutes({routeA});
    appState().activeMode = ConnectionMode::tun;
    appState().setTunnelStatus(TunnelStatus::failed);
    QTest::mouseClick(&byName(window, "panel.advanced"), Qt::LeftButton);
    QTest::mouseClick(&byName(window, "panel.diagnostics"), Qt::LeftButton);
    std::vector<std::pair<QFont, QString>> texts;
    for (QLabel* label : window.findChildren<QLabel*>()) texts.emplace_back(label->font(), label->text());
    for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        texts.emplace_back(button->font(), button->text());
    }
    for (ui::CapsuleView* capsule : window.findChildren<ui::CapsuleView*>()) {
        texts.emplace_back(capsule->look().font, capsule->text());
    }
    texts.emplace_back(window.accessKeyField().font(), window.accessKeyField().placeholderText());
    EXPECT_EQ(window.headlineLabel().text(), "VPN прерван");
    for (const auto& [font, text] : texts) {
        const QFontMetrics metrics(font);
        for (const char32_t character : text.toUcs4()) {
            if (character > 0x20) {
                EXPECT_TRUE(metrics.inFontUcs4(character)) << text.toStdString();
            }
        }
    }
}

}  // namespace
}  // namespace tarnel::testing

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    // Xvfb for the life of the program.
    auto server = tarnel::testing::VirtualDisplay::start();
    if (!server) {
        std::fputs("window_screenshots: Xvfb did not start\n", stderr);
        return 1;
    }
    ::setenv("DISPLAY", server->display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    tarnel::testing::uiApplication();
    const int result = RUN_ALL_TESTS();
    server.reset();
    return result;
}
