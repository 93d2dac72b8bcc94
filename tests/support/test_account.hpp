#pragma once

#include <pwd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/base/unique_fd.hpp"

namespace tarnel::testing {

// The user id that tests run Tailscale's tool as.
inline constexpr uid_t kTestUser = 501;

// An account for kTestUser, made for the test when none exists and removed
// again; sudo refuses an id that no account has. Tests that use it hold one
// lock of the whole machine for their whole life, so that one never removes
// the account under another, whichever build tree either runs from: the name
// of an abstract Unix socket, which one socket at a time can bind and which
// the kernel frees with the process (no file is left behind).
class ScopedTestAccount {
public:
    ScopedTestAccount() : lock_(holdMachineLock()) {
        if (!lock_.valid()) return;
        if (::getpwuid(kTestUser) != nullptr) return;
        created_ = std::system("useradd --uid 501 --no-create-home --shell /usr/sbin/nologin tarnel-test-501") == 0;
    }
    ~ScopedTestAccount() {
        if (created_) (void)std::system("userdel tarnel-test-501");
    }
    ScopedTestAccount(const ScopedTestAccount&) = delete;
    ScopedTestAccount& operator=(const ScopedTestAccount&) = delete;

    // False also when the lock could not be had within its wait.
    [[nodiscard]] bool available() const { return lock_.valid() && ::getpwuid(kTestUser) != nullptr; }

private:
    // Waits up to five minutes (other test runs of the machine may hold it).
    static UniqueFd holdMachineLock() {
        static constexpr char kName[] = "tarnel-test-account-501";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof kName - 1);
        for (int attempt = 0; attempt < 300 * 50; ++attempt) {
            UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!socket.valid()) return UniqueFd();
            if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) return socket;
            if (errno != EADDRINUSE) return UniqueFd();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return UniqueFd();
    }

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
