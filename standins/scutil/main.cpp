// scutil stand-in: answers the VPN service queries the helper makes of the
// system's configuration tool, from fixture files.
//
// Calls accepted (anything else exits 2 with a usage line):
//   --nc list            prints the service list
//   --nc status UUID     prints the status of one service (UUID in upper case)
//
// Environment:
//   TARNEL_SCUTIL_LIST              a file whose text "--nc list" prints (none: nothing)
//   TARNEL_SCUTIL_STATUS_DIRECTORY  holds one file per service, named by its UUID,
//                                   whose text "--nc status UUID" prints; a service
//                                   without a file prints "No service" and exits 1
//   TARNEL_SCUTIL_EXIT_STATUS       0 to 255: the exit status of every call that
//                                   prints its text (default 0)
//   TARNEL_SCUTIL_SLEEP             0 to 3600: seconds every accepted call sleeps
//                                   before it prints anything (default 0)
//   TARNEL_SCUTIL_CALLS             when set, each accepted call's arguments are
//                                   appended to it as one line, joined by blanks
//   TARNEL_SCUTIL_PID_FILE          when set, each accepted call writes its process
//                                   identifier there as one line, first of all

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "common/base/files.hpp"
#include "common/contract/helper_contract.hpp"

namespace {

int usage() {
    std::fputs("usage: scutil --nc list | scutil --nc status <UUID>\n", stderr);
    return 2;
}

// The decimal number in the variable, 0 to `maximum`; 0 when it is not set.
std::optional<int> configuredNumber(const char* variable, int maximum) {
    const char* text = std::getenv(variable);
    if (text == nullptr) return 0;
    const std::string value(text);
    if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int number = std::stoi(value);
    if (number > maximum) return std::nullopt;
    return number;
}

// Appends `text` to the file the variable names, when it names one.
void appendTo(const char* variable, const std::string& text, std::ios::openmode mode = std::ios::app) {
    const char* path = std::getenv(variable);
    if (path == nullptr) return;
    std::ofstream out(path, mode);
    out << text;
    if (!out.flush()) throw std::runtime_error(std::string("cannot write ") + variable);
}

// What every accepted call does first: its process identifier, its call, its sleep.
void begin(int argc, char** argv, int sleepSeconds) {
    appendTo("TARNEL_SCUTIL_PID_FILE", std::to_string(::getpid()) + "\n", std::ios::trunc);
    std::string line;
    for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
    appendTo("TARNEL_SCUTIL_CALLS", line + "\n");
    if (sleepSeconds > 0) std::this_thread::sleep_for(std::chrono::seconds(sleepSeconds));
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::optional<int> exitStatus = configuredNumber("TARNEL_SCUTIL_EXIT_STATUS", 255);
        if (!exitStatus) {
            std::fputs("scutil stand-in: TARNEL_SCUTIL_EXIT_STATUS must be 0 to 255\n", stderr);
            return 2;
        }
        const std::optional<int> sleepSeconds = configuredNumber("TARNEL_SCUTIL_SLEEP", 3600);
        if (!sleepSeconds) {
            std::fputs("scutil stand-in: TARNEL_SCUTIL_SLEEP must be 0 to 3600\n", stderr);
            return 2;
        }
        if (argc == 3 && std::string_view(argv[1]) == "--nc" && std::string_view(argv[2]) == "list") {
            begin(argc, argv, *sleepSeconds);
            if (const char* list = std::getenv("TARNEL_SCUTIL_LIST")) {
                print(tarnel::files::readIfExists(list).value_or(""));
            }
            return *exitStatus;
        }
        if (argc == 4 && std::string_view(argv[1]) == "--nc" && std::string_view(argv[2]) == "status") {
            begin(argc, argv, *sleepSeconds);
            // Only canonical identifiers name a file, so no argument reaches a path outside the directory.
            const char* directory = std::getenv("TARNEL_SCUTIL_STATUS_DIRECTORY");
            const bool canonical = tarnel::PrivilegedHelperContract::parseCanonicalAttemptID(argv[3]).has_value();
            const std::optional<std::string> status =
                canonical && directory != nullptr
                    ? tarnel::files::readIfExists(std::filesystem::path(directory) / argv[3])
                    : std::nullopt;
            if (!status) {
                std::puts("No service");
                return 1;
            }
            print(*status);
            return *exitStatus;
        }
        return usage();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scutil stand-in: %s\n", error.what());
        return 2;
    }
}
