// Tailscale command-line tool stand-in: answers the read-only queries the
// helper and the application make, from fixture files. Its standard output is
// the document the caller parses, so it reports the user it ran as, its calls
// and its process in side files instead.
//
// Calls accepted (anything else exits 2 with a usage line):
//   debug derp-map    prints the DERP map
//   status --json     prints the status
//   debug prefs       prints the preferences
//
// Environment:
//   TARNEL_TAILSCALE_DERP_MAP   a file whose text "debug derp-map" prints
//   TARNEL_TAILSCALE_STATUS     a file whose text "status --json" prints
//   TARNEL_TAILSCALE_PREFS      a file whose text "debug prefs" prints
//   TARNEL_TAILSCALE_USER_FILE  when set, the effective user id is appended to
//                               it, one decimal line a call, before anything else
//   TARNEL_TAILSCALE_CALLS      when set, each accepted call's arguments are
//                               appended to it as one line, joined by blanks
//   TARNEL_TAILSCALE_PID_FILE   when set, each accepted call writes its process
//                               identifier there as one line
//   TARNEL_TAILSCALE_FAULTS     faults of every call, comma-separated:
//                               "sleep=S" (sleep S seconds, 0 to 3600, first),
//                               "silent" (print nothing),
//                               "oversize=N" (print N bytes of "x", 0 to 67108864,
//                               in place of the document),
//                               "exit=N" (exit with N, 0 to 255, after printing);
//                               a fault prefixed "derp-map:", "status:" or
//                               "prefs:" applies to that command only
//
// sudo clears the environment, so a variable that is not set is read from the
// file "tarnel-standin.env" beside the executable instead: NAME=VALUE lines.

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
#include <system_error>
#include <thread>

#include "common/base/files.hpp"

namespace {

// A setting from the environment, else from the file beside the executable.
std::optional<std::string> setting(std::string_view name) {
    if (const char* value = std::getenv(std::string(name).c_str())) return std::string(value);
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    std::ifstream file(executable.parent_path() / "tarnel-standin.env");
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == '=') {
            return line.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

struct Faults {
    long sleepSeconds = 0;
    bool silent = false;
    std::optional<long> oversize;
    int exitStatus = 0;
};

long boundedNumber(std::string_view text, long maximum) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        throw std::invalid_argument("fault value is not a number");
    }
    const long value = std::stol(std::string(text));
    if (value > maximum) throw std::invalid_argument("fault value is out of range");
    return value;
}

// The faults of the command named `command` ("derp-map", "status" or "prefs").
Faults readFaults(std::string_view command) {
    Faults faults;
    const std::string text = setting("TARNEL_TAILSCALE_FAULTS").value_or("");
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view fault = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (const std::size_t colon = fault.find(':'); colon != std::string_view::npos) {
            const std::string_view scope = fault.substr(0, colon);
            if (scope != "derp-map" && scope != "status" && scope != "prefs") {
                throw std::invalid_argument("unknown command " + std::string(scope));
            }
            if (scope != command) continue;
            fault = fault.substr(colon + 1);
        }
        if (fault.starts_with("sleep=")) {
            faults.sleepSeconds = boundedNumber(fault.substr(6), 3600);
        } else if (fault == "silent") {
            faults.silent = true;
        } else if (fault.starts_with("oversize=")) {
            faults.oversize = boundedNumber(fault.substr(9), 67'108'864);
        } else if (fault.starts_with("exit=")) {
            faults.exitStatus = static_cast<int>(boundedNumber(fault.substr(5), 255));
        } else {
            throw std::invalid_argument("unknown fault " + std::string(fault));
        }
    }
    return faults;
}

// Writes `text` to the file the setting names, when it names one.
void writeTo(std::string_view name, const std::string& text, std::ios::openmode mode = std::ios::app) {
    const std::optional<std::string> path = setting(name);
    if (!path) return;
    std::ofstream out(*path, mode);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + std::string(name));
}

void record(int argc, char** argv) {
    writeTo("TARNEL_TAILSCALE_USER_FILE", std::to_string(::geteuid()) + "\n");
    std::string line;
    for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
    writeTo("TARNEL_TAILSCALE_CALLS", line + "\n");
    writeTo("TARNEL_TAILSCALE_PID_FILE", std::to_string(::getpid()) + "\n", std::ios::trunc);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const char* documentVariable = nullptr;
        std::string_view command;
        if (argc == 3 && std::string_view(argv[1]) == "debug" && std::string_view(argv[2]) == "derp-map") {
            documentVariable = "TARNEL_TAILSCALE_DERP_MAP";
            command = "derp-map";
        } else if (argc == 3 && std::string_view(argv[1]) == "status" && std::string_view(argv[2]) == "--json") {
            documentVariable = "TARNEL_TAILSCALE_STATUS";
            command = "status";
        } else if (argc == 3 && std::string_view(argv[1]) == "debug" && std::string_view(argv[2]) == "prefs") {
            documentVariable = "TARNEL_TAILSCALE_PREFS";
            command = "prefs";
        } else {
            std::fputs("usage: tailscale debug derp-map | tailscale status --json | tailscale debug prefs\n", stderr);
            return 2;
        }
        const Faults faults = readFaults(command);
        record(argc, argv);
        if (faults.sleepSeconds > 0) std::this_thread::sleep_for(std::chrono::seconds(faults.sleepSeconds));
        if (faults.oversize) {
            const std::string filler(static_cast<std::size_t>(*faults.oversize), 'x');
            std::fwrite(filler.data(), 1, filler.size(), stdout);
        } else if (!faults.silent) {
            const std::optional<std::string> path = setting(documentVariable);
            if (!path) throw std::runtime_error(std::string(documentVariable) + " is not set");
            const std::optional<std::string> document = tarnel::files::readIfExists(*path);
            if (!document) throw std::runtime_error("missing document " + *path);
            std::fwrite(document->data(), 1, document->size(), stdout);
        }
        return std::fflush(stdout) == 0 ? faults.exitStatus : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tailscale stand-in: %s\n", error.what());
        return 2;
    }
}
