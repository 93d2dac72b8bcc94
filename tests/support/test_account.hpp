#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>

#include "common/base/unique_fd.hpp"

namespace tarnel::testing {

// The user id that tests run Tailscale's tool as.
inline constexpr uid_t kTestUser = 501;

// An account for kTestUser, made for the test when none exists and removed
// again; sudo refuses an id that no account has. Tests that use it hold a
// lock on one shared file (the launchctl stand-in, which every such test runs)
// for their whole life, so that one never removes the account under another.
class ScopedTestAccount {
public:
    explicit ScopedTestAccount(const std::filesystem::path& lockFile)
        : lock_(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (!lock_.valid() || ::flock(lock_.get(), LOCK_EX) != 0) return;
        if (::getpwuid(kTestUser) != nullptr) return;
        created_ = std::system("useradd --uid 501 --no-create-home --shell /usr/sbin/nologin tarnel-test-501") == 0;
    }
    ~ScopedTestAccount() {
        if (created_) (void)std::system("userdel tarnel-test-501");
    }
    ScopedTestAccount(const ScopedTestAccount&) = delete;
    ScopedTestAccount& operator=(const ScopedTestAccount&) = delete;

    [[nodiscard]] bool available() const { return ::getpwuid(kTestUser) != nullptr; }

private:
    UniqueFd lock_;
    bool created_ = false;
};

// Whether any process runs the program at `path` (as /proc names it).
inline bool programRunning(const std::filesystem::path& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "exe", error) == path) return true;
    }
    return false;
}

}  // namespace tarnel::testing
