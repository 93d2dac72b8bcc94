#pragma once

#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/system_tools.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// The netstat stand-in run in place of the system tool, with the user's data
// directory (XDG_DATA_HOME) in a temporary directory, while the object lives.
// Its settings go through the environment, which children inherit.
class NetstatStandIn {
public:
    NetstatStandIn() : mapping_(SystemTools::netstat, TARNEL_STANDIN_NETSTAT) {
        if (const char* saved = std::getenv("XDG_DATA_HOME")) savedDataHome_ = saved;
        ::setenv("XDG_DATA_HOME", (directory_.path() / "data").c_str(), 1);
        for (const char* name : kSettings) ::unsetenv(name);
        ::setenv("TARNEL_NETSTAT_CALLS", (directory_.path() / "calls").c_str(), 1);
    }
    ~NetstatStandIn() {
        for (const char* name : kSettings) ::unsetenv(name);
        ::unsetenv("TARNEL_NETSTAT_CALLS");
        if (savedDataHome_) {
            ::setenv("XDG_DATA_HOME", savedDataHome_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
    }
    NetstatStandIn(const NetstatStandIn&) = delete;
    NetstatStandIn& operator=(const NetstatStandIn&) = delete;

    // The bytes the tool prints in place of the routing table.
    void printing(const std::string& output) {
        files::writeAtomically(directory_.path() / "output", output);
        ::setenv("TARNEL_NETSTAT_OUTPUT", (directory_.path() / "output").c_str(), 1);
    }
    void exitingWith(int status) { ::setenv("TARNEL_NETSTAT_EXIT_STATUS", std::to_string(status).c_str(), 1); }
    void hanging() { ::setenv("TARNEL_NETSTAT_HANG", "1", 1); }

    // The user's data directory and the application's folder in it.
    [[nodiscard]] std::filesystem::path dataHome() const { return directory_.path() / "data"; }
    [[nodiscard]] std::filesystem::path folder() const { return dataHome() / "Tarnel Direct"; }

    // Every run of the tool: its process id and its arguments joined by blanks.
    struct Run {
        pid_t pid = 0;
        std::string arguments;
    };
    [[nodiscard]] std::vector<Run> runs() const {
        std::istringstream lines(files::readIfExists(directory_.path() / "calls").value_or(""));
        std::vector<Run> runs;
        for (std::string line; std::getline(lines, line);) {
            const std::size_t blank = line.find(' ');
            runs.push_back({static_cast<pid_t>(std::stol(line.substr(0, blank))),
                            blank == std::string::npos ? "" : line.substr(blank + 1)});
        }
        return runs;
    }

    // Whether a process of any recorded run still exists (a zombie counts).
    [[nodiscard]] bool anyRunLeft() const {
        for (const Run& run : runs()) {
            if (::kill(run.pid, 0) == 0 || errno != ESRCH) return true;
        }
        return false;
    }

private:
    static constexpr const char* kSettings[] = {"TARNEL_NETSTAT_OUTPUT", "TARNEL_NETSTAT_EXIT_STATUS",
                                                "TARNEL_NETSTAT_HANG"};

    TemporaryDirectory directory_;
    SystemTools::ScopedMapping mapping_;
    std::optional<std::string> savedDataHome_;
};

}  // namespace tarnel::testing
