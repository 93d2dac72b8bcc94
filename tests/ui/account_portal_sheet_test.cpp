#include "app/ui/account_portal_sheet.hpp"

#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/state/account_portal.hpp"
#include "tests/ui/account_portal_test_support.hpp"
#include "tests/ui/ui_test_support.hpp"

namespace tarnel {
namespace {

using testing::AccountPortalTestView;
using Load = AccountPortalTestView::Load;

const std::string kHost = "account.tarnel.test";
const std::string kAccount = "https://account.tarnel.test";
const std::string kFirstURL = kAccount + "/account/?lang=en&channel=macos-direct";
const std::string kHandoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a');

// A sheet on the engine-free view, as a presenter shows it: onClose deletes
// the sheet later, and every callback and opened URL is recorded in order.
class AccountPortalSheetTest : public ::testing::Test {
protected:
    void SetUp() override { testing::uiApplication(); }
    void TearDown() override {
        delete sheet.data();
        testing::runEventLoopTurns();
    }

    void present(const std::string& language = "en") {
        AccountPortalSheetServices services{
            kHost,
            [this](const std::string& url) { events.push_back("open " + url); },
            [this](AccountPortalCoordinator& coordinator, QWidget* parent) {
                view = new AccountPortalTestView(coordinator, parent);
                return view.data();
            },
        };
        sheet = new AccountPortalSheet(
            kFirstURL, language, [this](const std::string& url) { events.push_back("handoff " + url); },
            [this] {
                events.push_back("close");
                sheet->deleteLater();
            },
            services);
    }

    template <typename Widget>
    Widget* find(const char* name) const {
        auto* widget = sheet->findChild<Widget*>(name);
        if (widget == nullptr) ADD_FAILURE() << "no " << name;
        return widget;
    }
    QTimer* loadTimer() const { return sheet->findChild<QTimer*>("accountPortal.loadTimer"); }
    AccountPortalCoordinator& coordinator() const { return view->coordinator; }

    QPointer<AccountPortalSheet> sheet;
    QPointer<AccountPortalTestView> view;
    std::vector<std::string> events;
};

TEST_F(AccountPortalSheetTest, HeaderFollowsTheViewAndActsOnIt) {
    present();
    EXPECT_EQ(find<QLabel>("accountPortal.host")->text().toStdString(), kHost);
    auto* back = find<QToolButton>("accountPortal.back");
    auto* open = find<QToolButton>("accountPortal.openInBrowser");
    EXPECT_EQ(back->property("systemImage").toString(), "chevron.left");
    EXPECT_EQ(open->property("systemImage").toString(), "safari");
    EXPECT_FALSE(back->isEnabled());
    EXPECT_FALSE(open->isEnabled());
    EXPECT_EQ(sheet->minimumSize(), QSize(760, 620));
    EXPECT_EQ(sheet->sizeHint(), QSize(860, 760));

    view->present("https://other.tarnel.test/x", true, true);
    EXPECT_EQ(find<QLabel>("accountPortal.host")->text().toStdString(), "other.tarnel.test");
    EXPECT_TRUE(back->isEnabled());
    EXPECT_TRUE(find<QProgressBar>("accountPortal.loading")->isVisibleTo(sheet));
    open->click();
    back->click();
    find<QToolButton>("accountPortal.reload")->click();
    EXPECT_EQ(events, std::vector<std::string>{"open https://other.tarnel.test/x"});
    EXPECT_EQ(view->backs, 1);
    EXPECT_EQ(view->reloads, 1);

    view->present("about:blank", false, false);
    EXPECT_EQ(find<QLabel>("accountPortal.host")->text().toStdString(), kHost);
    EXPECT_FALSE(find<QProgressBar>("accountPortal.loading")->isVisibleTo(sheet));
    EXPECT_TRUE(open->isEnabled());
    open->click();
    EXPECT_EQ(events.size(), 1u) << "about:blank is no page for the browser";

    delete view.data();
    back->setEnabled(true);
    back->click();
    find<QToolButton>("accountPortal.reload")->click();
    EXPECT_EQ(sheet->browser().view(), nullptr);
}

TEST_F(AccountPortalSheetTest, TextsFollowTheLanguage) {
    struct Texts {
        std::string language, close, title, back, reload, open;
    };
    const Texts cases[] = {
        {"en", "Close", "Account and payment", "Back", "Refresh", "Open current page in browser"},
        {"ru", "Закрыть", "Кабинет и оплата", "Назад", "Обновить", "Открыть текущую страницу в браузере"},
        {"de", "Close", "Account and payment", "Back", "Refresh", "Open current page in browser"},
    };
    for (const auto& c : cases) {
        present(c.language);
        EXPECT_EQ(find<QPushButton>("accountPortal.close")->text().toStdString(), c.close) << c.language;
        EXPECT_EQ(find<QLabel>("accountPortal.title")->text().toStdString(), c.title) << c.language;
        EXPECT_EQ(find<QToolButton>("accountPortal.back")->toolTip().toStdString(), c.back) << c.language;
        EXPECT_EQ(find<QToolButton>("accountPortal.reload")->toolTip().toStdString(), c.reload) << c.language;
        EXPECT_EQ(find<QToolButton>("accountPortal.openInBrowser")->toolTip().toStdString(), c.open) << c.language;
        delete sheet.data();
    }
}

TEST_F(AccountPortalSheetTest, EscapeAndTheCloseButtonEachCloseOnce) {
    present();
    sheet->show();
    QApplication::setActiveWindow(sheet);
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_EQ(events, std::vector<std::string>{"close"});
    events.clear();
    find<QPushButton>("accountPortal.close")->click();
    EXPECT_EQ(events, std::vector<std::string>{"close"});
    testing::runEventLoopTurns();
    EXPECT_TRUE(sheet.isNull()) << "the presenter deletes the sheet on close";
}

TEST_F(AccountPortalSheetTest, LoadsFirstBypassingCachesAndStopsALoadThatOutlastsItsTime) {
    present();
    EXPECT_EQ(view->loads, (std::vector<Load>{{kFirstURL, true}}));
    ASSERT_NE(loadTimer(), nullptr);
    EXPECT_TRUE(loadTimer()->isActive());
    EXPECT_EQ(loadTimer()->interval(), 30'000);

    view->present(kFirstURL, true, false);
    QMetaObject::invokeMethod(loadTimer(), "timeout");
    EXPECT_EQ(view->stops, 1);
    EXPECT_FALSE(sheet->browser().isLoading());
    EXPECT_FALSE(find<QProgressBar>("accountPortal.loading")->isVisibleTo(sheet));

    // A replacement has twice as long and no cache bypass.
    EXPECT_FALSE(coordinator().acceptNavigation(kAccount + "/account?x=1", true));
    testing::runEventLoopTurns();
    EXPECT_EQ(view->loads.back(), (Load{kAccount + "/account/?x=1&lang=en&channel=macos-direct", false}));
    EXPECT_EQ(loadTimer()->interval(), 60'000);
    EXPECT_TRUE(loadTimer()->isActive());

    // Once the load is over the timer has nothing left to stop.
    view->present(kAccount + "/account/?x=1&lang=en&channel=macos-direct", false, true);
    EXPECT_FALSE(loadTimer()->isActive());
    QMetaObject::invokeMethod(loadTimer(), "timeout");
    EXPECT_EQ(view->stops, 1);
}

TEST_F(AccountPortalSheetTest, HandsOffAfterTheEngineCallbackAndAfterClosing) {
    present();
    EXPECT_FALSE(coordinator().acceptNavigation(kHandoff, true));
    EXPECT_TRUE(events.empty()) << "nothing runs inside the engine's callback";
    EXPECT_FALSE(coordinator().acceptNavigation(kHandoff, true)) << "the sheet is closing";
    testing::runEventLoopTurns();
    EXPECT_EQ(events, (std::vector<std::string>{"close", "handoff " + kHandoff}));
    EXPECT_TRUE(sheet.isNull());
}

TEST_F(AccountPortalSheetTest, ActsOnEachKindOfNavigation) {
    present();
    const std::string mail = "mailto:help@tarnel.test";
    struct Case {
        std::string url;
        bool isMainFrame;
        bool accepted;
    };
    const Case cases[] = {
        {mail, true, false},
        {kHandoff, false, false},  // a sub-frame: no handoff, and nothing for the desktop
        {mail, false, false},
        {"https://other.tarnel.test/frame", false, true},
        {"about:blank", false, true},
        {"http://account.tarnel.test/account", true, false},
        {"https://other.tarnel.test/p", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(coordinator().acceptNavigation(c.url, c.isMainFrame), c.accepted)
            << c.url << (c.isMainFrame ? " (main frame)" : " (sub-frame)");
    }
    EXPECT_TRUE(events.empty());
    testing::runEventLoopTurns();
    EXPECT_EQ(events, std::vector<std::string>{"open " + mail});
    EXPECT_EQ(view->loads.size(), 1u) << "nothing but the first load";

    // A new window is never made: its URL loads in this view.
    coordinator().newWindowRequested("");
    coordinator().newWindowRequested(kAccount + "/account/?w=1");
    EXPECT_EQ(view->loads.back(), (Load{kAccount + "/account/?w=1", false}));
}

// With a canonicaliser that gives a new address on every call, the sheet
// replaces a navigation once and takes the engine's report of its own load,
// re-encoded, as that load.
TEST(AccountPortalCoordinator, ReplacesANavigationOnce) {
    testing::uiApplication();
    AccountPortalBrowser browser([](const std::string&) {});
    int calls = 0;
    const DirectAccountPortal portal("account.tarnel.test");
    std::vector<std::string> closed;
    AccountPortalCoordinator coordinator(
        browser, "en",
        [&](std::string_view url, std::string_view language) {
            return portal.canonicalPortalURL(url, DirectAccountPortal::kClientChannel, language) + "&n=" +
                   std::to_string(++calls);
        },
        [](const std::string&) {}, {});
    QWidget host;
    auto* view = new AccountPortalTestView(coordinator, &host);
    browser.setView(view);

    EXPECT_FALSE(coordinator.acceptNavigation(kAccount + "/account?q=a'b", true));
    testing::runEventLoopTurns();
    const std::string issued = kAccount + "/account/?q=a'b&lang=en&channel=macos-direct&n=1";
    EXPECT_EQ(view->loads, (std::vector<Load>{{issued, false}}));

    EXPECT_TRUE(coordinator.acceptNavigation(kAccount + "/account/?q=a%27b&lang=en&channel=macos-direct&n=1", true));
    testing::runEventLoopTurns();
    EXPECT_EQ(view->loads.size(), 1u) << "nothing is replaced twice";
}

}  // namespace
}  // namespace tarnel
