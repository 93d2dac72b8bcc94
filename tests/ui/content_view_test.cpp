#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <string>
#include <vector>

#include "app/ui/route_views.hpp"
#include "app/ui/widgets.hpp"
#include "tests/ui/account_portal_test_support.hpp"
#include "tests/ui/ui_test_support.hpp"

// The window over the real application state: every text, enabled state and
// visibility follows the state's fields and the language at once.
namespace tarnel::testing {
namespace {

const RouteNode routeA = makeRoute("a", RouteTransport::hysteria2, "RO", "alpha.example.net");
const RouteNode routeB = makeRoute("b", RouteTransport::trojan, "EE", "beta.example.net");
const RouteNode routeC = makeRoute("c", RouteTransport::tuic, "RU", "gamma.example.net");

class ContentViewTest : public WindowFixture {
protected:
    ContentView& window = open();

    QAbstractButton& button(std::string_view identifier) { return byName<QAbstractButton>(window, identifier); }
    RouteRow& row(std::string_view id) { return byName<RouteRow>(window, "route." + std::string(id)); }
    QString routeCount() { return window.routeCount().text(); }
};

TEST_F(ContentViewTest, WithoutRoutesTheWindowAsksForAKey) {
    EXPECT_EQ(window.windowTitle(), "Tarnel Direct");
    EXPECT_EQ(window.headlineLabel().text(), "Ready to connect");
    EXPECT_EQ(window.routeLineLabel().text(), "Импортируйте ключ и выберите маршрут.");
    EXPECT_FALSE(button("tunnel.connect").isEnabled());
    EXPECT_FALSE(button("tunnel.disconnect").isEnabled());
    EXPECT_EQ(routeCount(), "0");
    EXPECT_TRUE(shown(window.emptyRoutesView()));
    EXPECT_TRUE(showsLabel(window, "Paste an access key"));
    EXPECT_FALSE(shown(window.noticeLabel()));
    EXPECT_FALSE(shown(window.retryHintLabel()));
    EXPECT_EQ(imageOf(button("tunnel.connect")), "power");
    EXPECT_EQ(imageOf(button("tunnel.disconnect")), "stop.fill");
}

// The picker: "RU" then "EN", 112 pixels, named "Language".
TEST_F(ContentViewTest, ThePickerSwitchesEveryTextAtOnce) {
    appState().setRoutes({routeA});
    QWidget& picker = byAccessibleName(window, "Language");
    EXPECT_EQ(picker.width(), 112);
    QAbstractButton& russian = byText(picker, "RU");
    QAbstractButton& english = byText(picker, "EN");
    EXPECT_LT(russian.x(), english.x());
    EXPECT_EQ(settings->string(LanguageSetting::kKey), "en") << "fixed when the window appeared";
    EXPECT_TRUE(english.isChecked());

    QTest::mouseClick(&russian, Qt::LeftButton);
    EXPECT_EQ(settings->string(LanguageSetting::kKey), "ru");
    EXPECT_EQ(window.statusPill().text(), "Отключено");
    EXPECT_EQ(row("RO:hysteria2").badge().text(), "Не проверен");
    EXPECT_EQ(button("tunnel.connect").text(), "Подключить");
    EXPECT_EQ(window.headlineLabel().text(), "Готово к подключению");

    // A second window shows the same language.
    ContentView& second = app->openWindow();
    EXPECT_EQ(second.statusPill().text(), "Отключено");
    QTest::mouseClick(&byText(byAccessibleName(second, "Language"), "EN"), Qt::LeftButton);
    EXPECT_EQ(window.statusPill().text(), "Disconnected");
}

// The system's language, read through the state's environment, chooses the
// first window's language and is stored when the window appears.
TEST_F(WindowFixture, ARussianSystemGivesARussianWindowAndStoresIt) {
    variables["LANG"] = "ru_RU.UTF-8";
    settings->set(LanguageSetting::kKey, std::string("EN"));
    ContentView& window = open();
    EXPECT_EQ(window.statusPill().text(), "Отключено");
    EXPECT_EQ(settings->string(LanguageSetting::kKey), "ru");
    EXPECT_TRUE(byText(byAccessibleName(window, "Language"), "RU").isChecked());
}

TEST_F(ContentViewTest, AFailedTunnelStillEngagedShowsTheNoticeAndTheRetryHint) {
    const struct {
        bool engaged;
    } cases[] = {{true}, {false}};
    for (const auto& test : cases) {
        appState().activeMode = test.engaged ? std::optional(ConnectionMode::tun) : std::nullopt;
        appState().setConnectionNotice("The privileged VPN state could not be verified.");
        appState().setTunnelStatus(TunnelStatus::failed);
        EXPECT_EQ(window.headlineLabel().text(), "VPN interrupted");
        EXPECT_TRUE(shown(window.noticeLabel()));
        EXPECT_EQ(window.noticeLabel().text(), "The privileged VPN state could not be verified.");
        EXPECT_EQ(imageOf(window.noticeLabel()), "exclamationmark.triangle.fill");
        EXPECT_EQ(shown(window.retryHintLabel()), test.engaged);
        EXPECT_EQ(window.retryHintLabel().text(),
                  "Use Disconnect to clear any remaining tunnel state before retrying.");
        EXPECT_EQ(imageOf(window.retryHintLabel()), "lock.shield");
        // The hint stands under the notice.
        EXPECT_LT(window.noticeLabel().y(), window.retryHintLabel().y());
        EXPECT_EQ(button("tunnel.disconnect").isEnabled(), test.engaged);
        EXPECT_EQ(window.statusPill().text(), "Failed");
    }
    appState().setConnectionNotice("");
    EXPECT_FALSE(shown(window.noticeLabel()));
}

TEST_F(ContentViewTest, ConnectedOnTheSelectedRouteConnectWaitsForAnotherRoute) {
    appState().setRoutes({routeA, routeB});
    appState().setSelectedRouteID("a");
    appState().setActiveRouteID("a");
    appState().setTunnelStatus(TunnelStatus::connected);
    EXPECT_EQ(window.headlineLabel().text(), "Connected");
    EXPECT_EQ(window.routeLineLabel().text(), qs(routeA.displayTitle()));
    EXPECT_FALSE(button("tunnel.connect").isEnabled());
    EXPECT_TRUE(button("tunnel.disconnect").isEnabled());
    EXPECT_TRUE(row("RO:hysteria2").fields().isSelected);
    EXPECT_EQ(row("RO:hysteria2").selectionMark(), "circle.fill");
    EXPECT_EQ(row("EE:trojan").selectionMark(), "circle");

    // A tap on another row selects its route.
    QTest::mouseClick(&row("EE:trojan"), Qt::LeftButton);
    EXPECT_EQ(appState().selectedRouteID(), "b");
    EXPECT_TRUE(appState().diagnosticLog().ends_with("] Selected " + routeB.diagnosticDescription() + "."));
    EXPECT_TRUE(button("tunnel.connect").isEnabled());
    EXPECT_TRUE(row("EE:trojan").fields().isSelected);
    EXPECT_FALSE(row("RO:hysteria2").fields().isSelected);
}

TEST_F(ContentViewTest, DuringARouteTestTheRowUnderTestIsHighlightedAndRowsAreDisabled) {
    appState().setRoutes({routeA, routeB, routeC});
    appState().setSelectedRouteID("a");
    appState().setRouteTestProgress(RouteTestProgress{1, 3, "b"});

    EXPECT_FALSE(shown(button("routes.test-all")));
    EXPECT_TRUE(shown(button("routes.test-all.cancel")));
    EXPECT_TRUE(button("routes.test-all.cancel").isEnabled());
    EXPECT_TRUE(shown(byName(window, "routes.test-all.progress")));
    EXPECT_EQ(window.routeTestFigure().text(), "1/3");
    EXPECT_NEAR(static_cast<double>(window.routeTestBar().value()) / window.routeTestBar().maximum(), 1.0 / 3, 1e-3);
    EXPECT_EQ(window.routeTestRouteName().text(), qs(routeB.displayTitle()));
    EXPECT_TRUE(shown(window.routeTestRouteName()));
    for (RouteRow* each : window.routeRows()) {
        EXPECT_FALSE(each->isEnabled());
        EXPECT_EQ(each->opacity(), 1.0);
        EXPECT_EQ(each->fields().isSelected, each->fields().item.route->id == "b");
    }

    // (completed, total) -> (bar, figure).
    const struct {
        int completed;
        int total;
        double bar;
        const char* figure;
    } cases[] = {{0, 0, 0.0, "0/0"}, {5, 3, 1.0, "5/3"}, {-1, 3, 0.0, "-1/3"}, {3, 3, 1.0, "3/3"}};
    for (const auto& test : cases) {
        appState().setRouteTestProgress(RouteTestProgress{test.completed, test.total, std::nullopt});
        EXPECT_DOUBLE_EQ(static_cast<double>(window.routeTestBar().value()) / window.routeTestBar().maximum(),
                         test.bar)
            << test.figure;
        EXPECT_EQ(window.routeTestFigure().text(), test.figure);
        EXPECT_FALSE(shown(window.routeTestRouteName())) << "no route under test";
    }
    // Without a route under test the selected route is highlighted again.
    EXPECT_TRUE(row("RO:hysteria2").fields().isSelected);

    appState().setRouteTestProgress(std::nullopt);
    EXPECT_TRUE(shown(button("routes.test-all")));
    EXPECT_FALSE(shown(button("routes.test-all.cancel")));
    EXPECT_FALSE(shown(byName(window, "routes.test-all.progress")));
    EXPECT_TRUE(row("EE:trojan").isEnabled());
}

TEST_F(ContentViewTest, TestAllStartsARouteTestAndStopEndsIt) {
    appState().setRoutes({routeA, routeB});
    QAbstractButton& testAll = button("routes.test-all");
    EXPECT_EQ(imageOf(testAll), "checkmark.circle");
    ASSERT_TRUE(testAll.isEnabled());
    QTest::mouseClick(&testAll, Qt::LeftButton);
    EXPECT_EQ(appState().routeTestProgress(), (RouteTestProgress{0, 2, std::nullopt}));
    EXPECT_TRUE(appState().diagnosticLog().ends_with("] Testing 2 routes with the normal connection gate."));
    QAbstractButton& stop = button("routes.test-all.cancel");
    ASSERT_TRUE(shown(stop));
    EXPECT_EQ(imageOf(stop), "stop.fill");

    QTest::mouseClick(&stop, Qt::LeftButton);
    EXPECT_EQ(appState().routeTestProgress(), std::nullopt);
    EXPECT_TRUE(appState().diagnosticLog().ends_with("] Route test stopped."));
    EXPECT_TRUE(shown(testAll));
    EXPECT_FALSE(shown(stop));

    // Not in Proxy mode.
    appState().setConnectionMode(ConnectionMode::proxy);
    EXPECT_FALSE(testAll.isEnabled());
}

TEST_F(ContentViewTest, CatalogEntriesWithoutARouteAreDimmedAndNeverHighlighted) {
    appState().setRoutes({routeA});
    appState().setRouteCatalog({
        RouteCatalogItem{"RO:hysteria2", "RO", "Romania", "hysteria2", "Hysteria2", "hysteria2",
                         CatalogRouteStatus::available},
        RouteCatalogItem{"RO:reality", "RO", "Romania", "reality", "VLESS Reality", "vless",
                         CatalogRouteStatus::paidRequired},
        RouteCatalogItem{"EE:trojan", "EE", "Estonia", "trojan", "Trojan TLS", "trojan",
                         CatalogRouteStatus::temporarilyUnavailable},
    });
    EXPECT_EQ(routeCount(), "3");
    EXPECT_EQ(row("RO:reality").badge().text(), "Paid");
    EXPECT_EQ(row("EE:trojan").badge().text(), "Unavailable");
    EXPECT_EQ(row("RO:hysteria2").badge().text(), "Not tested");
    for (const char* id : {"RO:reality", "EE:trojan"}) {
        EXPECT_FALSE(row(id).isEnabled()) << id;
        EXPECT_DOUBLE_EQ(row(id).opacity(), 0.62) << id;
    }
    // No identifier is highlighted (none is selected, and a route test
    // names none): a row without a route still is not drawn selected.
    appState().setRouteTestProgress(RouteTestProgress{0, 1, std::nullopt});
    for (RouteRow* each : window.routeRows())
        EXPECT_FALSE(each->fields().isSelected) << each->objectName().toStdString();
}

TEST_F(ContentViewTest, RefreshWantsAnAccessLink) {
    appState().setSubscriptionInput("vless://u1@h.example:443#RO");
    QAbstractButton& refresh = button("subscription.refresh");
    EXPECT_FALSE(refresh.isEnabled());
    EXPECT_EQ(refresh.toolTip(), "Один раз импортируйте ссылку доступа, чтобы включить обновления.");
    EXPECT_EQ(refresh.text(), "Refresh");
    EXPECT_EQ(imageOf(refresh), "arrow.clockwise");

    // Its action run all the same only says why nothing happens.
    const std::string before = appState().diagnosticLog();
    emit refresh.clicked();
    EXPECT_TRUE(appState().diagnosticLog().ends_with("] Update unavailable: import the Tarnel access URL once first."));
    EXPECT_EQ(appState().diagnosticLog().find('\n', before.size() + 1), std::string::npos) << "one line";
    EXPECT_FALSE(appState().isImporting());
    EXPECT_TRUE(appState().routes().empty());

    appState().setSubscriptionInput(std::string(kLink));
    EXPECT_TRUE(refresh.isEnabled());
    EXPECT_EQ(refresh.toolTip(), "Загрузить свежие маршруты по сохранённой ссылке.");
    appState().setIsImporting(true);
    EXPECT_EQ(refresh.text(), "Updating");
    EXPECT_FALSE(refresh.isEnabled());
    app->languageSetting().setStoredCode("ru");
    EXPECT_EQ(refresh.text(), "Обновление");
}

// (input, routes, route test) -> (Forget, Import); during a test the field,
// reveal, Paste and Account are off too, Support stays on.
TEST_F(ContentViewTest, TheAccessKeyPanelEnablesItsButtonsByInputRoutesAndTest) {
    const struct {
        const char* input;
        bool routes;
        bool testing;
        bool forget;
        bool import;
    } cases[] = {
        {"", false, false, false, false},
        {"   ", false, false, true, false},
        {"https://sub.tarnel.test/sub/f/tok.txt", true, false, true, true},
        {"https://sub.tarnel.test/sub/f/tok.txt", true, true, false, false},
        {"", true, false, true, false},
    };
    for (const auto& test : cases) {
        appState().setRouteTestProgress(test.testing ? std::optional(RouteTestProgress{0, 1, std::nullopt})
                                                     : std::nullopt);
        appState().setRoutes(test.routes ? std::vector{routeA} : std::vector<RouteNode>{});
        appState().setSubscriptionInput(test.input);
        const std::string context = std::string("'") + test.input + "'" + (test.routes ? ", routes" : "") +
                                    (test.testing ? ", testing" : "");
        EXPECT_EQ(button("subscription.forget").isEnabled(), test.forget) << context;
        EXPECT_EQ(button("subscription.import").isEnabled(), test.import) << context;
        EXPECT_EQ(window.accessKeyField().isEnabled(), !test.testing) << context;
        EXPECT_EQ(button("subscription.reveal").isEnabled(), !test.testing) << context;
        EXPECT_EQ(button("subscription.paste").isEnabled(), !test.testing) << context;
        EXPECT_EQ(byText(window, "Account and payment").isEnabled(), !test.testing) << context;
        EXPECT_TRUE(byText(window, "Support").isEnabled()) << context;
        EXPECT_EQ(window.accessKeyField().text(), test.input) << context;
    }
    EXPECT_EQ(button("subscription.forget").toolTip(), "Forget saved subscription on this Mac");
    EXPECT_EQ(imageOf(button("subscription.forget")), "trash");
}

TEST_F(ContentViewTest, RevealSwapsTheMaskAndKeepsTheTextAndReturnImportsNothing) {
    QLineEdit& field = window.accessKeyField();
    QTest::keyClicks(&field, "https://sub.tarnel.test/sub/f/tok.txt");
    EXPECT_EQ(appState().subscriptionInput(), "https://sub.tarnel.test/sub/f/tok.txt");
    EXPECT_EQ(field.placeholderText(), "Paste access key");
    EXPECT_EQ(field.echoMode(), QLineEdit::Password);

    QAbstractButton& reveal = button("subscription.reveal");
    const struct {
        const char* language;
        const char* hidden;
        const char* shownTip;
    } languages[] = {{"en", "Show access key", "Hide access key"}, {"ru", "Показать ключ", "Скрыть ключ"}};
    for (const auto& test : languages) {
        app->languageSetting().setStoredCode(test.language);
        EXPECT_EQ(imageOf(reveal), "eye");
        EXPECT_EQ(reveal.toolTip(), test.hidden);
        QTest::mouseClick(&reveal, Qt::LeftButton);
        EXPECT_TRUE(window.showingAccessKey());
        EXPECT_EQ(field.echoMode(), QLineEdit::Normal);
        EXPECT_EQ(field.text(), "https://sub.tarnel.test/sub/f/tok.txt");
        EXPECT_EQ(imageOf(reveal), "eye.slash");
        EXPECT_EQ(reveal.toolTip(), test.shownTip);
        QTest::mouseClick(&reveal, Qt::LeftButton);
        EXPECT_EQ(field.echoMode(), QLineEdit::Password);
    }

    const std::string log = appState().diagnosticLog();
    QTest::keyClick(&field, Qt::Key_Return);
    runPostedEvents();
    EXPECT_FALSE(appState().isImporting());
    EXPECT_EQ(appState().diagnosticLog(), log);
    EXPECT_TRUE(appState().routes().empty());
}

// Each control calls its one operation of the state.
TEST_F(ContentViewTest, PasteImportRefreshForgetAndWriteCallTheState) {
    const auto lastLine = [this] {
        const std::string& log = appState().diagnosticLog();
        return log.substr(log.rfind("] ") + 2);
    };
    const auto settle = [this] { ASSERT_TRUE(runEventsUntil([this] { return !appState().isImporting(); })); };

    // Paste: the clipboard's text, trimmed, is imported.
    clipboard = "  " + std::string(kVlessLink) + "\n";
    QTest::mouseClick(&button("subscription.paste"), Qt::LeftButton);
    settle();
    EXPECT_EQ(appState().subscriptionInput(), kVlessLink);
    EXPECT_EQ(appState().routes().size(), 1U);
    EXPECT_EQ(routeCount(), "1");

    // Import: the field's text (here a pasted body) becomes the route list.
    appState().setRoutes({});
    QTest::mouseClick(&button("subscription.import"), Qt::LeftButton);
    settle();
    EXPECT_EQ(appState().routes().size(), 1U);
    EXPECT_TRUE(fetchedURLs().empty());

    // Refresh: an update of the saved link.
    appState().setSubscriptionInput(std::string(kLink));
    QTest::mouseClick(&button("subscription.refresh"), Qt::LeftButton);
    settle();
    EXPECT_EQ(fetchedURLs(), std::vector<std::string>{std::string(kLink)});

    // Forget: at once, without asking.
    QTest::mouseClick(&button("subscription.forget"), Qt::LeftButton);
    settle();
    EXPECT_EQ(appState().subscriptionInput(), "");
    EXPECT_TRUE(appState().routes().empty());
    EXPECT_EQ(routeCount(), "0");

    // Write Config Only, its action run without a route.
    QTest::mouseClick(&byName(window, "panel.advanced"), Qt::LeftButton);
    QAbstractButton& write = byText(window, "Write Config Only");
    EXPECT_FALSE(write.isEnabled());
    emit write.clicked();
    EXPECT_TRUE(runEventsUntil([&] { return lastLine() == "No selected route."; }));
}

TEST_F(ContentViewTest, TheAccountRowFollowsTheStateAndItsMessageShowsAsItIs) {
    appState().setIsOpeningAccount(true);
    EXPECT_FALSE(byText(window, "Preparing").isEnabled());
    EXPECT_EQ(imageOf(byText(window, "Preparing")), "person.crop.circle");
    app->languageSetting().setStoredCode("ru");
    EXPECT_FALSE(byText(window, "Подготовка").isEnabled());
    appState().setIsOpeningAccount(false);
    EXPECT_TRUE(byText(window, "Кабинет и оплата").isEnabled());

    app->languageSetting().setStoredCode("en");
    EXPECT_FALSE(shown(window.accountMessageLabel()));
    appState().setAccountMessage("Доступ передан приложению.");
    EXPECT_TRUE(shown(window.accountMessageLabel()));
    EXPECT_EQ(window.accountMessageLabel().text(), "Доступ передан приложению.");
    EXPECT_EQ(window.savedAccessHintLabel().text(), "No access link saved");
}

TEST_F(ContentViewTest, SupportOpensTheSupportMail) {
    QTest::mouseClick(&byText(window, "Support"), Qt::LeftButton);
    EXPECT_EQ(openedURLs, std::vector<std::string>{"mailto:help@tarnel.test"});
    EXPECT_EQ(imageOf(byText(window, "Support")), "envelope");
}

TEST_F(ContentViewTest, ThePanelsStartClosedAndOpenFromTheirHeaders) {
    const struct {
        const char* identifier;
        const char* image;
        const char* title;
    } panels[] = {{"panel.advanced", "slider.horizontal.3", "Advanced"},
                  {"panel.diagnostics", "wrench.and.screwdriver", "Diagnostics"}};
    for (const auto& test : panels) {
        auto& header = byName<ui::DisclosureHeader>(window, test.identifier);
        QWidget& content = std::string_view(test.identifier) == "panel.advanced" ? window.advancedContent()
                                                                                 : window.diagnosticsContent();
        EXPECT_EQ(header.title(), test.title);
        EXPECT_EQ(header.image().symbol(), test.image);
        EXPECT_EQ(header.chevron().symbol(), "chevron.down") << test.identifier;
        EXPECT_FALSE(shown(content)) << test.identifier;
        QTest::mouseClick(&header, Qt::LeftButton);
        EXPECT_EQ(header.chevron().symbol(), "chevron.up") << test.identifier;
        EXPECT_TRUE(shown(content)) << test.identifier;
    }
    EXPECT_TRUE(window.showingAdvanced());
    EXPECT_TRUE(window.showingDiagnostics());
}

TEST_F(ContentViewTest, TheAdvancedControlsFollowTheModeTheConnectionAndTheTest) {
    QTest::mouseClick(&byName(window, "panel.advanced"), Qt::LeftButton);
    QCheckBox& toggle = byText<QCheckBox>(window, "Manage system proxy in Proxy mode");
    QLineEdit& service = byAccessibleName<QLineEdit>(window, "Network service");
    QAbstractButton& tun = byText(window, "TUN");
    QAbstractButton& proxy = byText(window, "Proxy");
    QAbstractButton& write = byText(window, "Write Config Only");
    EXPECT_TRUE(tun.isChecked());
    EXPECT_FALSE(toggle.isEnabled());
    EXPECT_FALSE(service.isEnabled());
    EXPECT_EQ(service.text(), "Wi-Fi");
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_FALSE(write.isEnabled()) << "no routes";
    EXPECT_EQ(window.currentRouteLabel().text(), "No selected route.");

    QTest::mouseClick(&proxy, Qt::LeftButton);
    EXPECT_EQ(appState().connectionMode(), ConnectionMode::proxy);
    EXPECT_TRUE(toggle.isEnabled());
    EXPECT_TRUE(service.isEnabled());
    QTest::mouseClick(&toggle, Qt::LeftButton);
    EXPECT_FALSE(appState().manageSystemProxy());
    service.selectAll();
    QTest::keyClick(&service, Qt::Key_Backspace);
    EXPECT_EQ(appState().systemProxyService(), "");
    EXPECT_EQ(service.text(), "");

    appState().setRoutes({routeA});
    EXPECT_TRUE(write.isEnabled());
    EXPECT_EQ(window.currentRouteLabel().text(), qs(routeA.diagnosticDescription()));
    EXPECT_TRUE(window.currentRouteLabel().textInteractionFlags() & Qt::TextSelectableByMouse);

    // Engaged: only the mode is fixed.
    appState().setTunnelStatus(TunnelStatus::connecting);
    EXPECT_FALSE(tun.isEnabled());
    EXPECT_FALSE(proxy.isEnabled());
    EXPECT_TRUE(toggle.isEnabled());
    EXPECT_TRUE(service.isEnabled());
    appState().setTunnelStatus(TunnelStatus::disconnected);
    EXPECT_TRUE(proxy.isEnabled());

    // A route test: every advanced control.
    appState().setRouteTestProgress(RouteTestProgress{0, 1, std::nullopt});
    for (QWidget* control : std::vector<QWidget*>{&tun, &proxy, &toggle, &service, &write}) {
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    }
}

TEST_F(ContentViewTest, TheLogShowsTheDiagnosticTextAndKeepsItsPlace) {
    QTest::mouseClick(&byName(window, "panel.diagnostics"), Qt::LeftButton);
    QPlainTextEdit& log = window.logView();
    EXPECT_EQ(log.toPlainText(), qs(appState().diagnosticLog()));
    EXPECT_TRUE(log.isReadOnly());
    EXPECT_TRUE(log.textInteractionFlags() & Qt::TextSelectableByMouse);

    for (int line = 0; line < 80; ++line) appState().appendLog("Line " + std::to_string(line) + " · строка");
    EXPECT_EQ(log.toPlainText(), qs(appState().diagnosticLog()));
    log.moveCursor(QTextCursor::Start);
    log.moveCursor(QTextCursor::Down, QTextCursor::KeepAnchor);
    const QString selected = log.textCursor().selectedText();
    QScrollBar& scroll = *log.verticalScrollBar();
    ASSERT_GT(scroll.maximum(), 10);
    scroll.setValue(5);
    appState().appendLog("One more line.");
    EXPECT_EQ(log.toPlainText(), qs(appState().diagnosticLog()));
    EXPECT_EQ(scroll.value(), 5);
    EXPECT_EQ(log.textCursor().selectedText(), selected);
}

class PortalSheetTest : public WindowFixture {
protected:
    // The window over a state whose account service answers through `http`,
    // and whose sheets are the real sheet on the engine-free view; what each
    // was given is recorded.
    ContentView& openWithSheets() {
        accountHttp = http;
        return open([this](const AccountPortalSheetRequest& request, QWidget* parent) -> QDialog* {
            requests.push_back(request);
            AccountPortalSheetServices services{
                accountService.host, [](const std::string&) {},
                [this](AccountPortalCoordinator& coordinator, QWidget* viewParent) {
                    views.emplace_back(new AccountPortalTestView(coordinator, viewParent));
                    return views.back().data();
                }};
            return new AccountPortalSheet(request.url, request.language, request.onHandoff, request.onClose, services,
                                          parent);
        });
    }

    std::shared_ptr<RecordingHttpClient> http = std::make_shared<RecordingHttpClient>();
    std::vector<AccountPortalSheetRequest> requests;
    std::vector<QPointer<AccountPortalTestView>> views;
    ContentView& first = openWithSheets();
};

// The Account button asks for the portal in the window's language; the
// address it gets opens the sheet in that language.
TEST_F(PortalSheetTest, AccountOpensThePortalInTheWindowsLanguage) {
    const struct {
        const char* language;
        const char* button;
        const char* url;
    } cases[] = {
        {"ru", "Кабинет и оплата", "https://account.tarnel.test/account/?lang=ru&channel=macos-direct"},
        {"en", "Account and payment", "https://account.tarnel.test/account/?lang=en&channel=macos-direct"},
    };
    for (const auto& test : cases) {
        app->languageSetting().setStoredCode(test.language);
        requests.clear();
        QTest::mouseClick(&byText(first, test.button), Qt::LeftButton);
        ASSERT_TRUE(runEventsUntil([this] { return !appState().isOpeningAccount(); })) << test.language;
        EXPECT_EQ(appState().accountPortalURL(), test.url) << appState().accountMessage();
        ASSERT_EQ(requests.size(), 1U) << test.language;
        EXPECT_EQ(requests[0].url, test.url);
        EXPECT_EQ(requests[0].language, test.language);
        requests[0].onClose();
        EXPECT_EQ(first.accountPortalSheet(), nullptr);
    }
    EXPECT_TRUE(http->requests().empty()) << "no access link: the default address, no claim";
}

// A handoff link caught by the sheet, or opened by the system, starts its
// redeem; any other URL changes nothing.
TEST_F(PortalSheetTest, AHandoffLinkStartsItsRedeemAndAnyOtherURLNothing) {
    const std::string handoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a');
    appState().setAccountPortalURL("https://account.tarnel.test/account/");
    ASSERT_EQ(requests.size(), 1U);
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> entries{
        {"the sheet", [this](const std::string& url) { requests[0].onHandoff(url); }},
        {"the system", [this](const std::string& url) { app->openURL(url); }},
    };
    std::vector<std::string> redeems;
    for (const auto& [entry, deliver] : entries) {
        SCOPED_TRACE(entry);
        appState().setAccountMessage("");
        const std::string log = appState().diagnosticLog();
        for (const std::string& other :
             {std::string("https://x.test/"), handoff + "&x=1", std::string("--selected-route-only-diagnostic")}) {
            deliver(other);
            runPostedEvents();
            EXPECT_EQ(appState().diagnosticLog(), log) << other;
            EXPECT_EQ(appState().accountMessage(), "") << other;
        }
        EXPECT_EQ(http->requests(), redeems);

        deliver(handoff);
        EXPECT_EQ(appState().accountMessage(), "Получаем доступ из личного кабинета...");
        EXPECT_TRUE(appState().diagnosticLog().substr(log.size()).ends_with("] Account access handoff received."));
        redeems.push_back("POST https://account.tarnel.test/api/account/app-handoff/redeem");
        ASSERT_TRUE(runEventsUntil([&] { return http->requests() == redeems; }));
        ASSERT_TRUE(runEventsUntil(
            [this] { return appState().diagnosticLog().ends_with("] Account access handoff failed."); }));
    }
}

// Of two windows, the one active when the address is set shows the sheet;
// closing it clears the address.
TEST_F(PortalSheetTest, TheSheetOpensOnlyInTheWindowThatWasActive) {
    ContentView& second = app->openWindow();
    QApplication::setActiveWindow(&first);
    app->languageSetting().setStoredCode("ru");

    appState().setAccountPortalURL("https://account.tarnel.test/account/?lang=ru&channel=macos-direct");
    QPointer<QDialog> sheet = first.accountPortalSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(second.accountPortalSheet(), nullptr);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].url, "https://account.tarnel.test/account/?lang=ru&channel=macos-direct");
    EXPECT_EQ(requests[0].language, "ru");
    EXPECT_EQ(views.back()->loads.front().url, requests[0].url);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->parentWidget(), &first);
    EXPECT_TRUE(sheet->isVisible());

    QTest::mouseClick(&byText(*sheet, "Закрыть"), Qt::LeftButton);
    EXPECT_EQ(appState().accountPortalURL(), std::nullopt);
    EXPECT_EQ(first.accountPortalSheet(), nullptr);
    runEventLoopTurns();
    EXPECT_TRUE(sheet.isNull());

    // Escape.
    QApplication::setActiveWindow(&second);
    appState().setAccountPortalURL("https://account.tarnel.test/account/");
    sheet = second.accountPortalSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(first.accountPortalSheet(), nullptr);
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_EQ(appState().accountPortalURL(), std::nullopt);
    EXPECT_EQ(second.accountPortalSheet(), nullptr);

    // A handoff link the portal navigates to: the sheet closes first, then
    // the handoff starts.
    appState().setAccountPortalURL("https://account.tarnel.test/account/");
    ASSERT_NE(second.accountPortalSheet(), nullptr);
    const std::string handoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'b');
    const std::string log = appState().diagnosticLog();
    EXPECT_FALSE(views.back()->coordinator.acceptNavigation(handoff, true));
    runEventLoopTurns();
    EXPECT_EQ(appState().accountPortalURL(), std::nullopt);
    EXPECT_EQ(second.accountPortalSheet(), nullptr);
    EXPECT_NE(appState().diagnosticLog().find("] Account access handoff received.", log.size()), std::string::npos);
    EXPECT_TRUE(runEventsUntil([this] { return !http->requests().empty(); })) << "the redeem";

    // A window closed under its sheet takes the sheet and the address with it.
    appState().setAccountPortalURL("https://account.tarnel.test/account/");
    ASSERT_NE(second.accountPortalSheet(), nullptr);
    second.close();
    runPostedEvents();
    EXPECT_EQ(app->windows(), std::vector<ContentView*>{&first});
    EXPECT_EQ(appState().accountPortalURL(), std::nullopt);
}

TEST_F(ContentViewTest, CtrlNOpensAnotherWindowOnTheSameState) {
    QTest::keyClick(&window, Qt::Key_N, Qt::ControlModifier);
    const auto windows = app->windows();
    ASSERT_EQ(windows.size(), 2U);
    appState().setTunnelStatus(TunnelStatus::connecting);
    for (ContentView* each : windows) EXPECT_EQ(each->headlineLabel().text(), "Checking connection");
}

}  // namespace
}  // namespace tarnel::testing
