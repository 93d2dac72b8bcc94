#include "platform/user_directories.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tarnel {
namespace {

TEST(UserDirectories, ApplicationSupportAndPreferencesAreTheXDGDirectories) {
    using std::nullopt;
    using Directory = std::optional<std::filesystem::path> (*)(std::optional<std::string_view>,
                                                                std::optional<std::string_view>);
    const Directory support = &UserDirectories::applicationSupport;
    const Directory preferences = &UserDirectories::preferences;
    struct Case {
        Directory directory;
        std::optional<std::string_view> xdgHome;
        std::optional<std::string_view> home;
        std::optional<std::filesystem::path> expected;
    };
    const Case cases[] = {
        {support, "/data/alice", "/home/alice", "/data/alice"},
        {support, "relative/data", "/home/alice", "/home/alice/.local/share"},  // a relative value is ignored
        {support, "", "/home/alice", "/home/alice/.local/share"},
        {support, nullopt, "/home/alice", "/home/alice/.local/share"},
        {support, "/data/alice", nullopt, "/data/alice"},
        {support, nullopt, "home/alice", nullopt},
        {support, "", "", nullopt},
        {support, nullopt, nullopt, nullopt},
        {preferences, "/conf/alice", "/home/alice", "/conf/alice"},
        {preferences, "relative/conf", "/home/alice", "/home/alice/.config"},
        {preferences, nullopt, "/home/alice", "/home/alice/.config"},
        {preferences, nullopt, "home/alice", nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.directory(c.xdgHome, c.home), c.expected)
            << (c.directory == support ? "support " : "preferences ") << c.xdgHome.value_or("(unset)") << " "
            << c.home.value_or("(unset)");
    }
}

// Restores one environment variable when it ends.
class ScopedVariable {
public:
    explicit ScopedVariable(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved_ = value;
    }
    ~ScopedVariable() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(UserDirectories, ApplicationSupportReadsTheEnvironment) {
    const ScopedVariable xdg("XDG_DATA_HOME");
    const ScopedVariable home("HOME");
    ::setenv("XDG_DATA_HOME", "/tmp/tarnel-data", 1);
    EXPECT_EQ(UserDirectories::applicationSupport(), "/tmp/tarnel-data");
    ::setenv("XDG_DATA_HOME", "not/absolute", 1);
    ::setenv("HOME", "/tmp/tarnel-home", 1);
    EXPECT_EQ(UserDirectories::applicationSupport(), "/tmp/tarnel-home/.local/share");
    // Without usable variables the account's home directory is used: always absolute.
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "relative", 1);
    const std::filesystem::path fallback = UserDirectories::applicationSupport();
    EXPECT_TRUE(fallback.is_absolute()) << fallback;
    EXPECT_EQ(fallback.filename(), "share");
}

TEST(UserDirectories, PreferencesReadTheEnvironment) {
    const ScopedVariable xdg("XDG_CONFIG_HOME");
    const ScopedVariable home("HOME");
    ::setenv("XDG_CONFIG_HOME", "/tmp/tarnel-config", 1);
    EXPECT_EQ(UserDirectories::preferences(), "/tmp/tarnel-config");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/tmp/tarnel-home", 1);
    EXPECT_EQ(UserDirectories::preferences(), "/tmp/tarnel-home/.config");
}

}  // namespace
}  // namespace tarnel
