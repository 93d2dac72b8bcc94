// The account portal sheet on the real web engine: a network namespace of
// the test's own with only its loopback, an X server inside it, the HTTPS
// test server on 127.0.0.1:443 as account.tarnel.test, its CA trusted through
// an NSS database in the test's own HOME, and every other name unresolvable.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/account_portal_engine.hpp"
#include "common/base/files.hpp"
#include "common/base/unique_fd.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::HttpsTestServer;
using testing::TestHttpAnswer;
using testing::TestHttpRequest;

const std::string kHost = "account.tarnel.test";
const std::string kAccount = "https://account.tarnel.test";
const std::string kHandoff = "tarnel-macos-direct://account/handoff#token=" + std::string(40, 'a');
const std::string kMail = "mailto:help@tarnel.test";

std::string canonical(const std::string& items) {
    return kAccount + "/account/?" + items + (items.empty() ? "" : "&") + "lang=en&channel=macos-direct";
}

// The portal's pages, chosen by the query item "page".
std::string portalPage(const TestHttpRequest& request) {
    const auto has = [&](const std::string& item) { return request.target.find(item) != std::string::npos; };
    std::string body = "<!doctype html><html><head><title>portal</title></head><body>";
    if (has("page=script")) {
        body += "<script>location.href = '" + kHandoff + "';</script>";
    } else if (has("page=frame")) {
        body += "<iframe id='frame' src='" + kHandoff + "'></iframe>";
    } else {
        body += "<a id='short' href='/account?x=1'>short</a>"
                "<a id='quoted' href=\"/account?q=a'b c&s=%2F&p=+&a&a=\">quoted</a>"
                "<a id='handoff' href='" +
                kHandoff +
                "'>handoff</a>"
                "<a id='mail' href='" +
                kMail +
                "'>mail</a>"
                "<a id='plain' href='http://account.tarnel.test/account/'>plain</a>";
    }
    return body + "</body></html>";
}

// Records what reaches the desktop's handlers, which must be nothing: the
// sheet gives URLs to its own opener only.
class DesktopHandler final : public QObject {
    Q_OBJECT
public:
    std::vector<std::string> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
};

// Everything the engine needs, made once per process (the engine starts once
// and stays in the namespace that its first thread was in) and removed after
// the last test.
class EngineWorld {
public:
    EngineWorld() {
        original_ = UniqueFd(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        const UniqueFd inside(::open(("/run/netns/" + space_.name()).c_str(), O_RDONLY | O_CLOEXEC));
        if (!original_ || !inside || ::setns(inside.get(), CLONE_NEWNET) != 0) {
            throw std::runtime_error("cannot enter the test's namespace");
        }
        // From here on every thread and child of this process is made in the
        // namespace: the X server, the test server, the engine.
        startXServer();
        home_ = std::make_unique<testing::TemporaryDirectory>();
        trustTestAuthority();
        ::setenv("HOME", home_->path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home_->path() / "data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", home_->path().c_str(), 1);
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        // No session bus: the toolkit's accessibility bridge would otherwise
        // wait on one that the test's X server can never start.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (home_->path() / "no-session-bus").string()).c_str(), 1);

        server_ = std::make_unique<HttpsTestServer>(
            HttpsTestServer::Options{.address = "127.0.0.1", .port = 443, .authority = &authority_});
        server_->handle("/account/", [](const TestHttpRequest& request) {
            auto answer = TestHttpAnswer::ok(portalPage(request)).header("Content-Type", "text/html; charset=utf-8");
            if (request.target.find("page=cookie") != std::string::npos) {
                answer.header("Set-Cookie", "portal=kept; Path=/; Max-Age=3600; Secure; HttpOnly");
            }
            return answer;
        });

        prepareAccountPortalEngine();
        // The engine takes the arguments after "--webEngineArgs" as its own.
        // The first matching rule wins: the account host is the test
        // server, and every other name fails at once.
        static int argc = 3;
        static char name[] = "ui_e2e_tests";
        static char engineArguments[] = "--webEngineArgs";
        static char rules[] = "--host-resolver-rules=MAP account.tarnel.test 127.0.0.1, MAP * ~NOTFOUND";
        static char* argv[] = {name, engineArguments, rules, nullptr};
        application_ = new QApplication(argc, argv);
        QDesktopServices::setUrlHandler("mailto", &desktop_, "open");
        QDesktopServices::setUrlHandler("tarnel-macos-direct", &desktop_, "open");

        const auto plist = home_->path() / "Info.plist";
        files::writeAtomically(plist, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                                                  "<dict><key>CFBundleShortVersionString</key><string>") +
                                          TARNEL_PROJECT_VERSION + "</string></dict></plist>");
        profile_ = &accountPortalProfile({home_->path() / "data" / "AccountPortal", accountPortalUserAgentProduct(plist)});
    }

    ~EngineWorld() {
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("tarnel-macos-direct");
        delete application_;
        server_.reset();
        xServer_.reset();
        if (::setns(original_.get(), CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot leave the test's namespace";
    }

    HttpsTestServer& server() { return *server_; }
    QWebEngineProfile& profile() { return *profile_; }
    const DesktopHandler& desktop() const { return desktop_; }
    const testing::TestCertificateAuthority& authority() const { return authority_; }

private:
    void startXServer() {
        ChildProcess::Options options;
        options.executable = "/usr/bin/Xvfb";
        options.arguments = {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x900x24"};
        options.output = ChildProcess::Redirect::pipe();
        options.error = ChildProcess::Redirect::null();
        xServer_.emplace(ChildProcess::spawn(options));
        pollfd ready{xServer_->standardOutput().get(), POLLIN, 0};
        std::string display;
        char byte = 0;
        while (::poll(&ready, 1, 20'000) == 1 && ::read(ready.fd, &byte, 1) == 1 && byte != '\n') display += byte;
        if (display.empty()) throw std::runtime_error("the X server did not start");
        ::setenv("DISPLAY", (":" + display).c_str(), 1);
    }

    void trustTestAuthority() {
        const auto database = "sql:" + (home_->path() / ".pki" / "nssdb").string();
        std::filesystem::create_directories(home_->path() / ".pki" / "nssdb");
        for (const auto& arguments : std::vector<std::vector<std::string>>{
                 {"-N", "-d", database, "--empty-password"},
                 {"-A", "-d", database, "-n", "Tarnel Test CA", "-t", "C,,", "-i", authority_.certificateFile().string()}}) {
            if (space_.run({"/usr/bin/certutil", arguments}, 30.0).terminationStatus != 0) {
                throw std::runtime_error("certutil failed");
            }
        }
    }

    testing::NetworkNamespace space_;
    UniqueFd original_;
    std::optional<ChildProcess> xServer_;
    std::unique_ptr<testing::TemporaryDirectory> home_;
    testing::TestCertificateAuthority authority_;
    std::unique_ptr<HttpsTestServer> server_;
    QApplication* application_ = nullptr;
    DesktopHandler desktop_;
    QWebEngineProfile* profile_ = nullptr;
};

EngineWorld* world = nullptr;

class EngineWorldEnvironment final : public ::testing::Environment {
public:
    void TearDown() override {
        delete world;
        world = nullptr;
    }
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new EngineWorldEnvironment);

// Runs the event loop until `condition` holds, within `seconds`; deferred
// deletions are run on the way.
bool runUntil(const std::function<bool()>& condition, double seconds = 30.0) {
    const QDeadlineTimer deadline(static_cast<qint64>(seconds * 1000));
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void runFor(double seconds) {
    (void)runUntil([] { return false; }, seconds);
}

// One presentation over a presenter's window, as the main window makes it.
struct Presentation {
    QPointer<AccountPortalSheet> sheet;
    std::vector<std::string> events;  // "close", "handoff <url>", "open <url>"
};

class AccountPortalEngineTest : public testing::NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        if (world == nullptr) world = new EngineWorld;
        presenter_ = std::make_unique<QWidget>();
        presenter_->resize(1000, 800);
        presenter_->show();
    }
    void TearDown() override {
        if (world == nullptr) return;
        for (auto& presentation : presentations_) delete presentation->sheet.data();
        presenter_.reset();
        runFor(0.2);
        EXPECT_EQ(world->desktop().opened, std::vector<std::string>{}) << "the desktop's handlers were reached";
    }

    Presentation& present(const std::string& url) {
        auto& presentation = *presentations_.emplace_back(std::make_unique<Presentation>());
        AccountPortalSheetServices services{
            kHost,
            [&presentation](const std::string& opened) { presentation.events.push_back("open " + opened); },
            accountPortalEngineViews(world->profile()),
        };
        presentation.sheet = new AccountPortalSheet(
            url, "en", [&presentation](const std::string& link) { presentation.events.push_back("handoff " + link); },
            [&presentation] {
                presentation.events.push_back("close");
                presentation.sheet->deleteLater();
            },
            services, presenter_.get());
        presentation.sheet->show();
        return presentation;
    }

    // Runs until the sheet shows `url` and no longer loads.
    static bool showsPage(Presentation& presentation, const std::string& url) {
        return runUntil([&] {
            return presentation.sheet && !presentation.sheet->browser().isLoading() &&
                   presentation.sheet->browser().currentURL() == url;
        });
    }

    static void script(Presentation& presentation, const std::string& code) {
        auto* view = presentation.sheet->findChild<QWebEngineView*>("accountPortal.webView");
        ASSERT_NE(view, nullptr);
        view->page()->runJavaScript(QString::fromStdString(code));
    }

    static std::vector<TestHttpRequest> requestsFor(const std::string& target) {
        std::vector<TestHttpRequest> found;
        for (auto& request : world->server().requests()) {
            if (request.target == target) found.push_back(std::move(request));
        }
        return found;
    }
    static std::size_t portalRequests() {
        std::size_t count = 0;
        for (const auto& request : world->server().requests()) count += request.path.starts_with("/account");
        return count;
    }

private:
    std::unique_ptr<QWidget> presenter_;
    std::vector<std::unique_ptr<Presentation>> presentations_;
};

TEST_F(AccountPortalEngineTest, FirstLoadBypassesCachesAndNamesTheApplication) {
    auto& presentation = present(canonical(""));
    ASSERT_TRUE(showsPage(presentation, canonical("")));
    const auto requests = requestsFor("/account/?lang=en&channel=macos-direct");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].header("Pragma"), "no-cache");
    EXPECT_TRUE(requests[0].header("User-Agent").value_or("").ends_with(std::string(" TarnelDirect/") +
                                                                         TARNEL_PROJECT_VERSION))
        << requests[0].header("User-Agent").value_or("no User-Agent");
    EXPECT_EQ(presentation.sheet->findChild<QLabel*>("accountPortal.host")->text().toStdString(), kHost);
    EXPECT_FALSE(presentation.sheet->browser().isLoading());
}

TEST_F(AccountPortalEngineTest, KeepsPortalAddressesCanonical) {
    auto& presentation = present(canonical(""));
    ASSERT_TRUE(showsPage(presentation, canonical("")));

    script(presentation, "document.getElementById('short').click()");
    ASSERT_TRUE(showsPage(presentation, canonical("x=1")));
    EXPECT_EQ(requestsFor("/account/?x=1&lang=en&channel=macos-direct").size(), 1u);
    EXPECT_EQ(requestsFor("/account?x=1").size(), 0u);

    const std::string quoted = "q=a%27b%20c&s=%2F&p=+&a&a=";
    script(presentation, "document.getElementById('quoted').click()");
    ASSERT_TRUE(showsPage(presentation, canonical(quoted)));
    const std::size_t before = portalRequests();
    runFor(5.0);
    EXPECT_EQ(requestsFor("/account/?" + quoted + "&lang=en&channel=macos-direct").size(), 1u);
    EXPECT_EQ(portalRequests(), before) << "a canonical address is never replaced again";

    // A window a script opens is no second view: its address loads here.
    script(presentation, "window.open('" + canonical("") + "&w=1')");
    ASSERT_TRUE(showsPage(presentation, canonical("w=1")));
    EXPECT_EQ(requestsFor("/account/?w=1&lang=en&channel=macos-direct").size(), 1u);
    EXPECT_EQ(presentation.sheet->findChildren<QWebEngineView*>().size(), 1);
    EXPECT_EQ(presentation.events, std::vector<std::string>{});
}

TEST_F(AccountPortalEngineTest, CatchesTheHandoffLinkOnlyInTheMainFrame) {
    auto& clicked = present(canonical(""));
    ASSERT_TRUE(showsPage(clicked, canonical("")));
    script(clicked, "document.getElementById('handoff').click()");
    ASSERT_TRUE(runUntil([&] { return clicked.events.size() >= 2 && clicked.sheet.isNull(); }));
    EXPECT_EQ(clicked.events, (std::vector<std::string>{"close", "handoff " + kHandoff}));

    // A page's own script, without a gesture.
    auto& scripted = present(canonical("page=script"));
    ASSERT_TRUE(runUntil([&] { return scripted.events.size() >= 2 && scripted.sheet.isNull(); }));
    EXPECT_EQ(scripted.events, (std::vector<std::string>{"close", "handoff " + kHandoff}));

    auto& framed = present(canonical("page=frame"));
    ASSERT_TRUE(showsPage(framed, canonical("page=frame")));
    runFor(2.0);
    EXPECT_EQ(framed.events, std::vector<std::string>{});
    EXPECT_FALSE(framed.sheet.isNull());
}

TEST_F(AccountPortalEngineTest, GivesMailLinksToTheOpenerAndIgnoresPlainHttp) {
    auto& presentation = present(canonical(""));
    ASSERT_TRUE(showsPage(presentation, canonical("")));
    script(presentation, "document.getElementById('mail').click()");
    ASSERT_TRUE(runUntil([&] { return !presentation.events.empty(); }));
    script(presentation, "document.getElementById('plain').click()");
    runFor(2.0);
    EXPECT_EQ(presentation.events, std::vector<std::string>{"open " + kMail});
    EXPECT_EQ(presentation.sheet->browser().currentURL(), canonical(""));
    EXPECT_FALSE(presentation.sheet->browser().isLoading());
}

TEST_F(AccountPortalEngineTest, KeepsCookiesAcrossPresentations) {
    auto& first = present(canonical("page=cookie"));
    ASSERT_TRUE(showsPage(first, canonical("page=cookie")));
    delete first.sheet.data();

    auto& second = present(canonical("page=next"));
    ASSERT_TRUE(showsPage(second, canonical("page=next")));
    const auto requests = requestsFor("/account/?page=next&lang=en&channel=macos-direct");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Cookie"), "portal=kept");
}

TEST_F(AccountPortalEngineTest, RefusesACertificateFromAnotherAuthority) {
    const testing::TestCertificateAuthority stranger("Stranger CA");
    HttpsTestServer impostor({.address = "127.0.0.1", .port = 8443, .authority = &stranger});
    bool reached = false;
    impostor.handle("/account/", [&](const TestHttpRequest&) {
        reached = true;
        return TestHttpAnswer::ok("<html>impostor</html>");
    });
    auto& presentation = present("https://account.tarnel.test:8443/account/?lang=en&channel=macos-direct");
    ASSERT_TRUE(runUntil([&] { return !impostor.connections().empty(); }));
    ASSERT_TRUE(runUntil([&] { return !presentation.sheet->browser().isLoading(); }));
    runFor(1.0);
    EXPECT_FALSE(reached);
    EXPECT_TRUE(impostor.requests().empty());
    for (const auto& connection : impostor.connections()) EXPECT_FALSE(connection.secured);
}

}  // namespace
}  // namespace tarnel

#include "account_portal_engine_e2e_test.moc"
