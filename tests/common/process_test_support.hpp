#pragma once

// Helpers for tests that run real child processes.

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/bounded_command_runner.hpp"
#include "common/clock.hpp"
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

// True while a process with this identifier exists and is not a zombie.
inline bool isLiveProcess(pid_t pid) {
    const std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
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

// A checkpoint that ends a run after a generous bound, so that a broken
// runner fails its test instead of hanging it.
struct TestBoundExceeded : std::runtime_error {
    TestBoundExceeded() : std::runtime_error("test bound exceeded") {}
};
inline BoundedCommandRunner::Checkpoint withinSeconds(double seconds) {
    const double end = SystemClock::shared().uptime() + seconds;
    return [end](double uptime) {
        if (uptime >= end) throw TestBoundExceeded();
    };
}

}  // namespace tarnel::testing
