// pfctl stand-in: answers exactly the calls the helper's kill switch makes to
// the packet-filter tool, the way the tool answers them, and keeps what they
// change in a state directory instead of a kernel.
//
// Calls accepted (anything else exits 2 with a usage line):
//   -n -a com.apple/tarnel-direct -f -    dry run of the rule text on standard input
//   -a com.apple/tarnel-direct -f -       load it, replacing the anchor's rules
//   -a com.apple/tarnel-direct -F all     flush the anchor
//   -E                                    enable, printing "Token : N" on standard error
//   -X N                                  release reference N (exit 1 when it is not held)
//   -q -s states                          print the state listing
//   -k A | -k A -k B                      kill states of a host or a host pair
//
// Environment:
//   TARNEL_PFCTL_STATE_DIRECTORY  required; holds "pf.json" (the filter's state),
//                                 "calls.jsonl" (one record a call) and "lock"
//   TARNEL_PFCTL_STATES           a file whose text "-q -s states" prints (none: empty)
//   TARNEL_PFCTL_ENFORCE          "1": enforcing mode. The filter's state is also applied
//                                 to the network namespace's own nftables (standins/pfctl/
//                                 nft_translation.hpp) while a reference is held, rule text
//                                 that cannot be enforced fails the call, and "-k" deletes
//                                 connection-tracking entries with `conntrack` when present.
//                                 Refused (exit 2, nothing touched) in the machine's own
//                                 network namespace.
//   TARNEL_PFCTL_FAULTS           a JSON array of faults; the first whose "arguments"
//                                 equal the call's (or that has none) applies:
//                                 "exit_before_input" (exit at once, reading nothing),
//                                 "sleep_seconds" (0 to 3600, after the call is recorded),
//                                 "exit_code" (0 to 255: exit so, changing nothing),
//                                 "output" (printed on standard error in place of the
//                                 tool's own text; the call still takes effect)
//
// pf.json: {"anchor_rules": text, "next_token": N, "tokens": [N, ...]}; the
// filter is enabled while it holds a token. Every change goes through
// `commit`, the one place where the enforcing mode applies the same state to
// the network namespace's own filter.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/ip_literal.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/utf8.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "platform/network_isolation.hpp"
#include "standins/pfctl/nft_translation.hpp"

namespace {

using tarnel::json::Value;
namespace files = tarnel::files;

constexpr std::string_view kAnchor = "com.apple/tarnel-direct";
constexpr std::string_view kNotices = "No ALTQ support in kernel\nALTQ related functions disabled\n";
constexpr int kUsageExit = 2;

struct Usage {};

enum class Kind { dryRun, load, flush, enable, release, listStates, kill };

struct Command {
    Kind kind;
    std::uint64_t token = 0;             // release
    std::vector<std::string> addresses;  // kill

    explicit Command(Kind k, std::uint64_t t = 0) : kind(k), token(t) {}
};

struct Fault {
    std::optional<std::vector<std::string>> arguments;
    bool exitBeforeInput = false;
    double sleepSeconds = 0.0;
    std::optional<int> exitCode;
    std::optional<std::string> output;
};

struct FilterState {
    std::string anchorRules;
    std::uint64_t nextToken = 1;
    std::vector<std::uint64_t> tokens;
};

bool enforcing() {
    const char* value = std::getenv("TARNEL_PFCTL_ENFORCE");
    return value != nullptr && std::string_view(value) == "1";
}

std::filesystem::path systemTool(std::string_view name) {
    for (const char* directory : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::filesystem::path path = std::filesystem::path(directory) / name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// Runs a system tool with `input` on its standard input, for at most 30 s;
// returns its exit status and what it printed.
tarnel::BoundedCommandResult runTool(const std::filesystem::path& tool, std::vector<std::string> arguments,
                                     std::string input) {
    const tarnel::Clock& clock = tarnel::SystemClock::shared();
    const double deadline = clock.uptime() + 30.0;
    return tarnel::BoundedCommandRunner::run(
        {tool, std::move(arguments)}, {.standardInput = std::move(input), .standardErrorToOutput = true},
        1024 * 1024,
        [deadline](double uptime) {
            if (uptime >= deadline) throw std::runtime_error("a system tool did not finish in 30 s");
        },
        clock);
}

// Replaces the namespace's anchor table with what `state` enforces: its rules
// while a reference is held, else nothing.
void enforce(const FilterState& state) {
    const std::string script =
        state.tokens.empty() ? tarnel::pfctl::nftRemovalScript() : tarnel::pfctl::nftScript(state.anchorRules);
    const std::filesystem::path nft = systemTool("nft");
    if (nft.empty()) throw std::runtime_error("enforcing mode needs nft (nftables)");
    const auto result = runTool(nft, {"-f", "-"}, script);
    if (result.terminationStatus != 0) throw std::runtime_error("nft refused the rules: " + result.output);
}

// Deletes the connection-tracking entries from the first address (to the
// second); how many, or nothing when there is no conntrack tool.
std::optional<std::uint64_t> killConnections(const std::vector<std::string>& addresses) {
    const std::filesystem::path conntrack = systemTool("conntrack");
    if (conntrack.empty()) return std::nullopt;
    std::vector<std::string> arguments{"-D", "-s", addresses[0]};
    if (addresses.size() > 1) arguments.insert(arguments.end(), {"-d", addresses[1]});
    // "conntrack v1.4.7 (conntrack-tools): 2 flow entries have been deleted."
    const auto result = runTool(conntrack, std::move(arguments), {});
    const auto colon = result.output.find("): ");
    if (colon == std::string::npos) return 0;
    return std::strtoull(result.output.c_str() + colon + 3, nullptr, 10);
}

// A token as the system writes it: decimal digits without a leading zero
// that fit 64 bits.
std::optional<std::uint64_t> parseToken(std::string_view text) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

Command parseCommand(const std::vector<std::string>& a) {
    using V = std::vector<std::string>;
    const std::string anchor(kAnchor);
    if (a == V{"-n", "-a", anchor, "-f", "-"}) return Command(Kind::dryRun);
    if (a == V{"-a", anchor, "-f", "-"}) return Command(Kind::load);
    if (a == V{"-a", anchor, "-F", "all"}) return Command(Kind::flush);
    if (a == V{"-E"}) return Command(Kind::enable);
    if (a == V{"-q", "-s", "states"}) return Command(Kind::listStates);
    if (a.size() == 2 && a[0] == "-X") {
        if (const auto token = parseToken(a[1])) return Command(Kind::release, *token);
    }
    if ((a.size() == 2 || a.size() == 4) && a[0] == "-k" && tarnel::isIPLiteral(a[1]) &&
        (a.size() == 2 || (a[2] == "-k" && tarnel::isIPLiteral(a[3])))) {
        Command command(Kind::kill);
        for (std::size_t i = 1; i < a.size(); i += 2) command.addresses.push_back(a[i]);
        return command;
    }
    throw Usage{};
}

std::vector<Fault> readFaults() {
    const char* text = std::getenv("TARNEL_PFCTL_FAULTS");
    std::vector<Fault> faults;
    if (text == nullptr) return faults;
    const Value list = tarnel::json::parse(text, tarnel::json::TopLevel::array);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const tarnel::json::ObjectReader reader(list[i], "faults[" + std::to_string(i) + "]");
        Fault fault;
        fault.arguments = reader.optionalStringArray("arguments");
        fault.exitBeforeInput = reader.optionalBoolean("exit_before_input").value_or(false);
        fault.sleepSeconds = reader.optionalNumber("sleep_seconds").value_or(0.0);
        fault.exitCode = reader.optionalInteger<int>("exit_code");
        fault.output = reader.optionalString("output");
        // A fault that cannot be carried out fails the call rather than turn
        // into something else: exit statuses wrap at 256, and a sleep beyond
        // an hour could only be a mistake.
        if (fault.exitCode && (*fault.exitCode < 0 || *fault.exitCode > 255)) {
            throw std::runtime_error(reader.pathOf("exit_code") + " is not an exit status (0 to 255)");
        }
        if (!(fault.sleepSeconds >= 0.0 && fault.sleepSeconds <= 3600.0)) {
            throw std::runtime_error(reader.pathOf("sleep_seconds") + " is not 0 to 3600 seconds");
        }
        faults.push_back(std::move(fault));
    }
    return faults;
}

std::optional<Fault> faultFor(const std::vector<std::string>& arguments) {
    for (auto& fault : readFaults()) {
        if (!fault.arguments || *fault.arguments == arguments) return fault;
    }
    return std::nullopt;
}

std::string readStandardInput() {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            return bytes;
        }
    }
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t count = ::write(fd, text.data(), text.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
}

class StateDirectory {
public:
    explicit StateDirectory(std::filesystem::path path) : path_(std::move(path)) {
        // One call at a time: every call holds the lock until it exits.
        lock_ = tarnel::UniqueFd(::open((path_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lock_ || ::flock(lock_.get(), LOCK_EX) != 0) throw std::runtime_error("cannot lock " + path_.string());
    }

    // One JSON line: {"arguments": [...], "input": text or null, "pid": N}.
    void record(const std::vector<std::string>& arguments, const std::optional<std::string>& input) const {
        Value entry = Value::object();
        entry["arguments"] = Value::array();
        for (const auto& argument : arguments) entry["arguments"].push_back(tarnel::utf8::decodeReplacingInvalid(argument));
        entry["input"] = input ? Value(tarnel::utf8::decodeReplacingInvalid(*input)) : Value(nullptr);
        entry["pid"] = ::getpid();
        const std::string line = tarnel::json::writeCanonical(entry) + "\n";
        const tarnel::UniqueFd file(::open((path_ / "calls.jsonl").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
        if (!file) throw std::runtime_error("cannot record the call");
        writeAll(file.get(), line);
    }

    [[nodiscard]] FilterState load() const {
        FilterState state;
        const auto text = files::readIfExists(path_ / "pf.json");
        if (!text) return state;
        const Value document = tarnel::json::parse(*text);
        const tarnel::json::ObjectReader reader(document);
        state.anchorRules = reader.string("anchor_rules");
        state.nextToken = reader.integer<std::uint64_t>("next_token");
        for (const Value& token : reader.array("tokens")) {
            state.tokens.push_back(tarnel::json::asUInt64(token, "tokens"));
        }
        return state;
    }

    // The one place where the filter's state changes. The enforcing mode only
    // runs where NetworkIsolation::inSeparateNamespace() holds (see `run`).
    void commit(const FilterState& state) const {
        // The filter first: a state that cannot be enforced is not recorded.
        if (enforcing()) enforce(state);
        tarnel::json::OrderedValue document = tarnel::json::OrderedValue::object();
        document["anchor_rules"] = state.anchorRules;
        document["next_token"] = state.nextToken;
        document["tokens"] = state.tokens;
        files::writeAtomically(path_ / "pf.json", tarnel::json::writeOrdered(document) + "\n");
    }

private:
    std::filesystem::path path_;
    tarnel::UniqueFd lock_;
};

std::string stateListing() {
    const char* path = std::getenv("TARNEL_PFCTL_STATES");
    if (path == nullptr) return {};
    const auto text = files::readIfExists(path, 64 * 1024 * 1024);
    if (!text) throw std::runtime_error(std::string("no state listing at ") + path);
    return *text;
}

// Carries out the call; returns the exit status and what the tool prints.
int execute(const Command& command, const std::optional<std::string>& input, const StateDirectory& directory,
            std::string& out, std::string& err) {
    FilterState state = directory.load();
    switch (command.kind) {
    case Kind::dryRun:
        if (enforcing()) (void)tarnel::pfctl::nftScript(input.value_or(""));
        err = std::string(kNotices);
        return 0;
    case Kind::load:
        state.anchorRules = input.value_or("");
        directory.commit(state);
        err = std::string(kNotices);
        return 0;
    case Kind::flush:
        state.anchorRules.clear();
        directory.commit(state);
        err = std::string(kNotices) + "rules cleared\n";
        return 0;
    case Kind::enable: {
        const std::uint64_t token = state.nextToken++;
        const bool wasEnabled = !state.tokens.empty();
        state.tokens.push_back(token);
        directory.commit(state);
        err = std::string(kNotices) + (wasEnabled ? "pf already enabled\n" : "pf enabled\n") +
              "Token : " + std::to_string(token) + "\n";
        return 0;
    }
    case Kind::release: {
        const auto held = std::find(state.tokens.begin(), state.tokens.end(), command.token);
        if (held == state.tokens.end()) {
            err = std::string(kNotices) + "pfctl: DIOCSTOPREF: Invalid argument\n";
            return 1;
        }
        state.tokens.erase(held);
        directory.commit(state);
        err = std::string(kNotices) + (state.tokens.empty() ? "pf disabled\n" : "");
        return 0;
    }
    case Kind::listStates:
        out = stateListing();
        return 0;
    case Kind::kill: {
        const std::uint64_t killed = enforcing() ? killConnections(command.addresses).value_or(0) : 0;
        err = "killed " + std::to_string(killed) + " states from 1 sources and " +
              std::to_string(command.addresses.size() - 1) + " destinations\n";
        return 0;
    }
    }
    return 1;
}

int run(const std::vector<std::string>& arguments) {
    if (enforcing() && !tarnel::NetworkIsolation::inSeparateNamespace()) {
        writeAll(STDERR_FILENO, "pfctl stand-in: the enforcing mode runs only in a network namespace of its own, "
                                "never in the machine's\n");
        return kUsageExit;
    }
    const char* stateDirectory = std::getenv("TARNEL_PFCTL_STATE_DIRECTORY");
    if (stateDirectory == nullptr || *stateDirectory == '\0') {
        writeAll(STDERR_FILENO, "pfctl stand-in: TARNEL_PFCTL_STATE_DIRECTORY is not set\n");
        return 1;
    }
    const StateDirectory directory(stateDirectory);
    const std::optional<Fault> fault = faultFor(arguments);
    if (fault && fault->exitBeforeInput) {
        directory.record(arguments, std::nullopt);
        return fault->exitCode.value_or(1);
    }
    std::optional<Command> command;
    try {
        command = parseCommand(arguments);
    } catch (const Usage&) {
        directory.record(arguments, std::nullopt);
        writeAll(STDERR_FILENO, "usage: pfctl [-n] -a com.apple/tarnel-direct -f - | -a com.apple/tarnel-direct "
                                "-F all | -E | -X token | -q -s states | -k host [-k host]\n");
        return kUsageExit;
    }
    const bool takesInput = command->kind == Kind::dryRun || command->kind == Kind::load;
    const std::optional<std::string> input = takesInput ? std::optional(readStandardInput()) : std::nullopt;
    directory.record(arguments, input);
    if (fault && fault->sleepSeconds > 0.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(fault->sleepSeconds));
    }
    if (fault && fault->exitCode && *fault->exitCode != 0) {
        if (fault->output) writeAll(STDERR_FILENO, *fault->output);
        return *fault->exitCode;
    }
    std::string out;
    std::string err;
    const int status = execute(*command, input, directory, out, err);
    writeAll(STDOUT_FILENO, out);
    writeAll(STDERR_FILENO, fault && fault->output ? *fault->output : err);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        const std::string message = std::string("pfctl stand-in: ") + error.what() + "\n";
        writeAll(STDERR_FILENO, message);
        return 1;
    }
}
