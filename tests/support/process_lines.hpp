#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "common/process/child_process.hpp"

namespace tarnel::testing {

// The lines a child writes to its piped standard output, read as they come.
class ProcessLines {
public:
    explicit ProcessLines(ChildProcess& child) : child_(child) {}

    // Reads until `done` holds over the lines so far, the output ends, or
    // `limit` passes (a bound for a fault); whether `done` held.
    template <typename Done>
    bool readUntil(Done&& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done(lines_)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ended_) return false;
            pollfd readable{child_.standardOutput().get(), POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t count = ::read(readable.fd, buffer, sizeof buffer);
            if (count <= 0) {
                ended_ = true;
                continue;
            }
            pending_.append(buffer, static_cast<std::size_t>(count));
            for (std::size_t newline = pending_.find('\n'); newline != std::string::npos;
                 newline = pending_.find('\n')) {
                lines_.push_back(pending_.substr(0, newline));
                pending_.erase(0, newline + 1);
            }
        }
        return true;
    }

    bool readLine(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return readUntil([&](const std::vector<std::string>& lines) {
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        }, limit);
    }

    [[nodiscard]] const std::vector<std::string>& lines() const noexcept { return lines_; }

private:
    ChildProcess& child_;
    std::vector<std::string> lines_;
    std::string pending_;
    bool ended_ = false;
};

}  // namespace tarnel::testing
