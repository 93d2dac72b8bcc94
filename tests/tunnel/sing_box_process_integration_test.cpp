#include "app/tunnel/sing_box_process.hpp"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/base/ascii.hpp"
#include "common/base/files.hpp"
#include "common/base/uuid.hpp"
#include "tests/support/test_support.hpp"
#include "tests/tunnel/curl_recorder.hpp"

namespace tarnel {
namespace {

using testing::CurlRecorder;
using testing::TemporaryDirectory;

double uptime() { return SystemClock::shared().uptime(); }

ProxyProcessSettings settingsFor(std::optional<std::filesystem::path> resources) {
    ProxyProcessSettings settings;
    settings.resourceFolder = std::move(resources);
    settings.traceHost = "trace.tarnel.test";
    return settings;
}

// Sets environment variables for the life of the object, then restores them.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::vector<std::pair<std::string, std::string>>& variables) {
        for (const auto& [name, value] : variables) {
            const char* old = ::getenv(name.c_str());
            saved_.emplace_back(name, old == nullptr ? std::nullopt : std::optional<std::string>(old));
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The processes of the group that have not ended (zombies, which only wait
// for their parent, do not count).
int livingMembers(pid_t group) {
    int living = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat;
        if (!std::getline(std::ifstream(entry.path() / "stat"), stat)) continue;
        // "pid (comm) state ppid pgrp ...": the name may hold anything but ends at the last ")".
        const auto nameEnd = stat.rfind(')');
        if (nameEnd == std::string::npos) continue;
        std::istringstream fields(stat.substr(nameEnd + 1));
        char state = 0;
        pid_t parent = 0;
        pid_t processGroup = 0;
        fields >> state >> parent >> processGroup;
        if (processGroup == group && state != 'Z') ++living;
    }
    return living;
}

TEST(SingBoxProcess, ProbeRunsCurlWithExactlyItsArgumentsWithoutProxiesOrConfiguration) {
    const CurlRecorder recorder("exit 0");
    const ScopedEnvironment parent({{"https_proxy", "http://127.0.0.9:9"},
                                    {"HTTP_PROXY", "http://127.0.0.9:9"},
                                    {"ALL_PROXY", "socks5://127.0.0.9:9"},
                                    {"NO_PROXY", "*"},
                                    {"no_proxy", "*"},
                                    {"HOME", "/root"},
                                    {"CURL_HOME", "/root"},
                                    {"XDG_CONFIG_HOME", "/root/.config"}});
    ProxyProcessSettings settings = settingsFor(std::nullopt);
    settings.curlEnvironment = {"CURL_CA_BUNDLE=/tmp/test-ca.pem"};
    const SingBoxProcess process(settings);
    ASSERT_TRUE(process.probeProxy());
    ASSERT_TRUE(process.probeProxy());

    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    std::vector<std::string> probes;
    for (const auto& call : calls) {
        ASSERT_EQ(call.arguments.size(), 9u);
        const std::vector<std::string> fixed(call.arguments.begin(), call.arguments.end() - 1);
        EXPECT_EQ(fixed, (std::vector<std::string>{"-4", "-fsS", "--proxy", "http://127.0.0.1:2080",
                                                   "--connect-timeout", "4", "--max-time", "7"}));
        constexpr std::string_view prefix = "https://trace.tarnel.test/cdn-cgi/trace?tarnel_probe=";
        const std::string& url = call.arguments.back();
        ASSERT_TRUE(url.starts_with(prefix)) << url;
        const auto uuid = Uuid::parse(url.substr(prefix.size()));
        ASSERT_TRUE(uuid) << url;
        EXPECT_EQ(uuid->text(), url.substr(prefix.size()));
        probes.push_back(url);

        for (const auto& [name, value] : call.environment) {
            EXPECT_FALSE(name.size() >= 6 && ascii::equalIgnoringCase(name.substr(name.size() - 6), "_proxy")) << name;
        }
        const std::string home = call.environment.at("HOME");
        EXPECT_NE(home, "/root");
        EXPECT_EQ(call.environment.at("CURL_HOME"), home);
        EXPECT_EQ(call.environment.at("XDG_CONFIG_HOME"), home);
        EXPECT_EQ(call.homeMode, "700");
        EXPECT_TRUE(call.homeEntries.empty());
        EXPECT_FALSE(std::filesystem::exists(home)) << "left behind: " << home;
        EXPECT_EQ(call.environment.at("CURL_CA_BUNDLE"), "/tmp/test-ca.pem");
    }
    EXPECT_NE(probes[0], probes[1]);
}

TEST(SingBoxProcess, ProbeIsTrueExactlyWhenCurlExitsZero) {
    const struct {
        const char* then;
        bool succeeds;
    } cases[] = {{"exit 0", true}, {"exit 22", false}, {"kill -TERM $$", false}};
    for (const auto& [then, succeeds] : cases) {
        const CurlRecorder recorder(then);
        EXPECT_EQ(SingBoxProcess(settingsFor(std::nullopt)).probeProxy(), succeeds) << then;
    }
    const SystemTools::ScopedMapping missing(std::string(SystemTools::curl), "/nonexistent/curl");
    EXPECT_FALSE(SingBoxProcess(settingsFor(std::nullopt)).probeProxy());
}

TEST(SingBoxProcess, ProbeStopsACurlThatOutlivesItsWaitWithEverythingItStarted) {
    // The shell and its sleep both ignore SIGTERM; the sleep's process group
    // is curl's.
    const CurlRecorder recorder("trap '' TERM; echo $$ > \"$(dirname \"$0\")/group\"; sleep 30");
    const double start = uptime();
    EXPECT_FALSE(SingBoxProcess(settingsFor(std::nullopt)).probeProxy());
    const double elapsed = uptime() - start;
    EXPECT_GE(elapsed, 8.0);
    EXPECT_LE(elapsed, 10.0);

    const auto group = files::readIfExists(recorder.path("group"));
    ASSERT_TRUE(group);
    EXPECT_EQ(livingMembers(std::stoi(*group)), 0);
}

TEST(SingBoxProcess, StartRefusesAMissingRuntimeBeforeLaunchingAnything) {
    const CurlRecorder recorder("exit 0");
    TemporaryDirectory resources;
    std::filesystem::create_directories(resources / "bin");
    const auto runtime = resources / "bin/sing-box";
    const std::string configuration = (resources / "proxy-config.json").string();

    const struct {
        const char* what;
        std::function<void()> arrange;
        bool withResources;
    } cases[] = {
        {"no resource folder", [] {}, false},
        {"no bin/sing-box", [] {}, true},
        {"a 0644 file", [&] { files::writeAtomically(runtime, "#!/bin/sh\nsleep 30\n", 0644); }, true},
        {"a directory",
         [&] {
             std::filesystem::remove(runtime);
             std::filesystem::create_directory(runtime);
             std::filesystem::permissions(runtime, std::filesystem::perms(0755));
         },
         true},
    };
    for (const auto& [what, arrange, withResources] : cases) {
        arrange();
        SingBoxProcess process(settingsFor(withResources ? std::optional(resources.path()) : std::nullopt));
        try {
            process.start(configuration);
            ADD_FAILURE() << what << ": started";
        } catch (const SingBoxProcessError& error) {
            EXPECT_EQ(error.errorCase(), SingBoxProcessError::Case::binaryMissing) << what;
            EXPECT_EQ(error.message(),
                      "sing-box binary missing. Put it at Resources/bin/sing-box and verify universal macOS 12 "
                      "support.");
        }
        EXPECT_FALSE(process.pid()) << what;
        EXPECT_FALSE(process.isRunning()) << what;
    }
    EXPECT_TRUE(recorder.calls().empty());
}

TEST(SingBoxProcess, AStartThatCannotLaunchThrowsTheSpawnErrorUnchanged) {
    const CurlRecorder recorder("exit 0");
    TemporaryDirectory resources;
    std::filesystem::create_directories(resources / "bin");
    // Executable, but no program: no interpreter line.
    files::writeAtomically(resources / "bin/sing-box", "echo never\n", 0755);
    SingBoxProcess process(settingsFor(resources.path()));
    try {
        process.start(resources / "proxy-config.json");
        ADD_FAILURE() << "started";
    } catch (const SystemError& error) {
        EXPECT_EQ(error.errnoValue(), ENOEXEC);
        EXPECT_EQ(error.operation(), "launch " + (resources / "bin/sing-box").string());
    }
    EXPECT_FALSE(process.isRunning());
    EXPECT_FALSE(process.pid());
    EXPECT_TRUE(recorder.calls().empty());
}

}  // namespace
}  // namespace tarnel
