// systemctl stand-in: the calls the application makes to register the helper
// as a systemd service, over a state kept under a stand-in root. It starts
// nothing: a started unit is only marked active.
//
// Calls accepted (anything else exits 2 with a usage line, changing nothing):
//   is-enabled UNIT     prints "enabled" (exit 0), "disabled" or "masked"
//                       (exit 1), or "not-found" (exit 4) when the unit
//                       directory holds no file of that name
//   daemon-reload       loads every unit file of the unit directory
//   enable --now UNIT   enables and starts the unit; refused (exit 1) when the
//                       unit is masked, or its file is missing or not loaded as
//                       it is now (a change needs a daemon-reload first)
//   disable --now UNIT  disables and stops the unit; refused (exit 1) when no
//                       unit file of that name exists
// UNIT is a file name of letters, digits and "._@-" (no path).
//
// Environment:
//   TARNEL_SYSTEMCTL_ROOT            the state (required): per unit, "UNIT.state"
//                                    holding "enabled", "disabled" or "masked"
//                                    (missing: disabled), "UNIT.loaded" the unit
//                                    file as the last daemon-reload read it, and
//                                    "UNIT.active" while the unit runs
//   TARNEL_SYSTEMCTL_UNIT_DIRECTORY  where the unit files are (required)
//   TARNEL_SYSTEMCTL_CALLS           when set, each accepted call's arguments are
//                                    appended to it as one line, joined by blanks
//   TARNEL_SYSTEMCTL_FAULTS          faults, comma-separated, each for one command
//                                    (is-enabled, daemon-reload, enable, disable):
//                                    "COMMAND:sleep=S" sleeps S seconds (0 to 3600)
//                                    first; "COMMAND:exit=N" or "COMMAND:exit=N:TEXT"
//                                    changes nothing, writes TEXT (default
//                                    "Failed") as a line on standard error and
//                                    exits N (1 to 255)

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
#include <vector>

#include "common/base/files.hpp"

namespace {

namespace fs = std::filesystem;

int usage() {
    std::fputs("usage: systemctl is-enabled UNIT | daemon-reload | enable --now UNIT | disable --now UNIT\n", stderr);
    return 2;
}

std::string required(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

bool isUnitName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '@' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

long boundedNumber(std::string_view text, long minimum, long maximum) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        throw std::invalid_argument("fault value is not a number");
    }
    const long value = std::stol(std::string(text));
    if (value < minimum || value > maximum) throw std::invalid_argument("fault value is out of range");
    return value;
}

struct Fault {
    long sleepSeconds = 0;
    std::optional<int> exitStatus;
    std::string text = "Failed";
};

Fault readFault(std::string_view command) {
    Fault fault;
    const char* variable = std::getenv("TARNEL_SYSTEMCTL_FAULTS");
    std::string_view rest = variable == nullptr ? std::string_view() : std::string_view(variable);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) throw std::invalid_argument("a fault names no command");
        const std::string_view scope = item.substr(0, colon);
        if (scope != "is-enabled" && scope != "daemon-reload" && scope != "enable" && scope != "disable") {
            throw std::invalid_argument("unknown command " + std::string(scope));
        }
        const std::string_view what = item.substr(colon + 1);
        if (what.starts_with("sleep=")) {
            if (scope == command) fault.sleepSeconds = boundedNumber(what.substr(6), 0, 3600);
        } else if (what.starts_with("exit=")) {
            const std::size_t textColon = what.find(':');
            const std::string_view number =
                what.substr(5, textColon == std::string_view::npos ? std::string_view::npos : textColon - 5);
            const long status = boundedNumber(number, 1, 255);
            if (scope == command) {
                fault.exitStatus = static_cast<int>(status);
                if (textColon != std::string_view::npos) fault.text = what.substr(textColon + 1);
            }
        } else {
            throw std::invalid_argument("unknown fault " + std::string(what));
        }
    }
    return fault;
}

class State {
public:
    State() : root_(required("TARNEL_SYSTEMCTL_ROOT")), units_(required("TARNEL_SYSTEMCTL_UNIT_DIRECTORY")) {}

    [[nodiscard]] std::optional<std::string> unitFile(const std::string& unit) const {
        return tarnel::files::readIfExists(units_ / unit);
    }
    [[nodiscard]] std::string enablement(const std::string& unit) const {
        const std::string text = tarnel::files::readIfExists(root_ / (unit + ".state")).value_or("disabled");
        return text.substr(0, text.find('\n'));
    }
    [[nodiscard]] std::optional<std::string> loaded(const std::string& unit) const {
        return tarnel::files::readIfExists(root_ / (unit + ".loaded"));
    }

    void setEnablement(const std::string& unit, std::string_view value) const {
        write(root_ / (unit + ".state"), std::string(value) + "\n");
    }
    void setActive(const std::string& unit, bool active) const {
        if (active) {
            write(root_ / (unit + ".active"), "");
        } else {
            tarnel::files::removeIfExists(root_ / (unit + ".active"));
        }
    }
    void reload() const {
        for (const fs::directory_entry& entry : fs::directory_iterator(units_)) {
            const std::string name = entry.path().filename().string();
            if (!entry.is_regular_file() || !isUnitName(name)) continue;
            write(root_ / (name + ".loaded"), tarnel::files::readIfExists(entry.path()).value_or(""));
        }
    }

private:
    static void write(const fs::path& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    }

    fs::path root_;
    fs::path units_;
};

int fail(const std::string& line, int status = 1) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return status;
}

void recordCall(const std::vector<std::string>& arguments) {
    const char* calls = std::getenv("TARNEL_SYSTEMCTL_CALLS");
    if (calls == nullptr) return;
    std::string line;
    for (const std::string& argument : arguments) line += (line.empty() ? "" : " ") + argument;
    std::ofstream out(calls, std::ios::app);
    out << line << '\n';
    if (!out.flush()) throw std::runtime_error("cannot record the call");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        std::string command;
        std::string unit;
        if (arguments.size() == 2 && arguments[0] == "is-enabled" && isUnitName(arguments[1])) {
            command = arguments[0];
            unit = arguments[1];
        } else if (arguments.size() == 1 && arguments[0] == "daemon-reload") {
            command = arguments[0];
        } else if (arguments.size() == 3 && (arguments[0] == "enable" || arguments[0] == "disable") &&
                   arguments[1] == "--now" && isUnitName(arguments[2])) {
            command = arguments[0];
            unit = arguments[2];
        } else {
            return usage();
        }
        const Fault fault = readFault(command);
        const State state;
        recordCall(arguments);
        if (fault.sleepSeconds > 0) std::this_thread::sleep_for(std::chrono::seconds(fault.sleepSeconds));
        if (fault.exitStatus) return fail(fault.text, *fault.exitStatus);

        if (command == "is-enabled") {
            if (!state.unitFile(unit)) {
                std::puts("not-found");
                return 4;
            }
            const std::string enablement = state.enablement(unit);
            std::puts(enablement.c_str());
            return enablement == "enabled" ? 0 : 1;
        }
        if (command == "daemon-reload") {
            state.reload();
            return 0;
        }
        const std::optional<std::string> file = state.unitFile(unit);
        if (command == "enable") {
            if (state.enablement(unit) == "masked") {
                return fail("Failed to enable unit: Unit file " + unit + " is masked.");
            }
            if (!file) return fail("Failed to enable unit: Unit file " + unit + " does not exist.");
            if (state.loaded(unit) != file) {
                return fail("Failed to start " + unit + ": Unit " + unit + " not loaded.");
            }
            state.setEnablement(unit, "enabled");
            state.setActive(unit, true);
            return 0;
        }
        if (!file) return fail("Failed to disable unit: Unit file " + unit + " does not exist.");
        if (state.enablement(unit) != "masked") state.setEnablement(unit, "disabled");
        state.setActive(unit, false);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "systemctl stand-in: %s\n", error.what());
        return 2;
    }
}
