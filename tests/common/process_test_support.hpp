#pragma once

// Helpers for tests that run real child processes.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/base/clock.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

inline BoundedCommandInvocation shell(const std::string& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"-c", script};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return BoundedCommandInvocation{"/bin/sh", arguments};
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeExecutable(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// Waits (really) until the file exists and holds a complete line.
inline std::string waitForLine(const std::filesystem::path& path, double seconds = 5.0) {
    const double end = SystemClock::shared().uptime() + seconds;
    while (SystemClock::shared().uptime() < end) {
        const std::string text = readText(path);
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("no line in " + path.string());
}

// The fields of /proc/<pid>/stat that the tests look at; nothing when the
// process does not exist.
struct ProcessStatus {
    char state = 0;
    pid_t parent = 0;
    pid_t group = 0;
};
inline std::optional<ProcessStatus> readProcessStatus(pid_t pid) {
    const std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');  // the name may hold anything but ends there
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    ProcessStatus status;
    if (!(fields >> status.state >> status.parent >> status.group)) return std::nullopt;
    return status;
}

// True while a process with this identifier exists and is not a zombie.
inline bool isLiveProcess(pid_t pid) {
    const auto status = readProcessStatus(pid);
    return status && status->state != 'Z' && status->state != 'X';
}

// The identifier of a process that has exited and been reaped: one that names
// no process now (until the system hands it out again).
inline pid_t reapedProcessIdentifier() {
    ChildProcess::Options options;
    options.executable = "/bin/true";
    ChildProcess child = ChildProcess::spawn(options);
    child.waitForExit();
    return child.pid();
}

// Waits (really) until the process is gone; true when it went in time.
inline bool waitUntilGone(pid_t pid, double seconds) {
    const double end = SystemClock::shared().uptime() + seconds;
    while (isLiveProcess(pid)) {
        if (SystemClock::shared().uptime() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A checkpoint that ends a run after a generous bound, so that a runner
// whose tool never ends fails its test with a clear error. It relies on the
// runner consulting it; `Watchdog` is the bound that does not.
struct TestBoundExceeded : std::runtime_error {
    TestBoundExceeded() : std::runtime_error("test bound exceeded") {}
};
inline BoundedCommandRunner::Checkpoint withinSeconds(double seconds) {
    const double end = SystemClock::shared().uptime() + seconds;
    return [end](double uptime) {
        if (uptime >= end) throw TestBoundExceeded();
    };
}

// Kills every child process of this program, with its process group when it
// leads one. A safety net for a test that has already failed: the scan and the
// kill are not atomic, which is acceptable only there.
inline void killChildProcesses() {
    const pid_t self = ::getpid();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        const auto status = readProcessStatus(pid);
        if (!status || status->parent != self) continue;
        if (status->group == pid) ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
}

// A bound on a test that does not rely on the code under test: a runner or
// child-process layer that ignores its own deadline would otherwise hold the
// test until the test driver's much longer limit. Once `seconds` have passed
// on the steady clock, the test fails and every child process of this
// program is killed with its group, which ends any run or wait on one; a test
// that is still stuck 5 s later ends the program with a message.
class Watchdog {
public:
    explicit Watchdog(double seconds = 30.0) : thread_([this, seconds] { watch(seconds); }) {}
    ~Watchdog() {
        {
            const std::lock_guard guard(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void watch(double seconds) {
        std::unique_lock guard(mutex_);
        if (changed_.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return done_; })) return;
        ADD_FAILURE() << "the test ran past its safety bound of " << seconds << " s; its child processes are killed";
        killChildProcesses();
        if (changed_.wait_for(guard, std::chrono::seconds(5), [this] { return done_; })) return;
        std::fprintf(stderr, "the test is still running 5 s after its safety bound of %g s; ending it\n", seconds);
        killChildProcesses();
        std::_Exit(EXIT_FAILURE);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

// The fixture of tests whose end depends on the process code they test.
class BoundedTest : public ::testing::Test {
private:
    Watchdog watchdog_;
};

}  // namespace tarnel::testing
