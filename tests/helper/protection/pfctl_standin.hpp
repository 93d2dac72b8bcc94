#pragma once

#include <stdlib.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/process/system_tools.hpp"
#include "tests/support/build_products.hpp"

namespace tarnel::testing {

// One call the pfctl stand-in recorded. Calls compare by arguments and input.
struct PfctlCall {
    std::vector<std::string> arguments;
    std::optional<std::string> input;
    pid_t pid = 0;

    friend bool operator==(const PfctlCall& a, const PfctlCall& b) {
        return a.arguments == b.arguments && a.input == b.input;
    }
    friend std::ostream& operator<<(std::ostream& out, const PfctlCall& call) {
        for (const auto& argument : call.arguments) out << argument << ' ';
        return out << (call.input ? "<input>" : "");
    }
};

inline PfctlCall pfctlCall(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt) {
    return PfctlCall{std::move(arguments), std::move(input)};
}

// The pfctl stand-in in place of the system's tool for the life of the
// object, its state in `stateDirectory` (made here): the tool mapping and the
// stand-in's environment are set, and removed again at the end.
class PfctlStandIn {
public:
    explicit PfctlStandIn(std::filesystem::path stateDirectory) : state_(std::move(stateDirectory)) {
        std::filesystem::create_directories(state_);
        ::setenv("TARNEL_PFCTL_STATE_DIRECTORY", state_.c_str(), 1);
        ::unsetenv("TARNEL_PFCTL_FAULTS");
        ::unsetenv("TARNEL_PFCTL_STATES");
    }
    ~PfctlStandIn() {
        ::unsetenv("TARNEL_PFCTL_STATE_DIRECTORY");
        ::unsetenv("TARNEL_PFCTL_FAULTS");
        ::unsetenv("TARNEL_PFCTL_STATES");
    }
    PfctlStandIn(const PfctlStandIn&) = delete;
    PfctlStandIn& operator=(const PfctlStandIn&) = delete;

    [[nodiscard]] const std::filesystem::path& stateDirectory() const noexcept { return state_; }

    // The stand-in's faults (a JSON array), or none.
    static void faults(const std::string& json) { ::setenv("TARNEL_PFCTL_FAULTS", json.c_str(), 1); }
    static void clearFaults() { ::unsetenv("TARNEL_PFCTL_FAULTS"); }

    // The text that "-q -s states" prints.
    void stateListing(const std::string& text) const {
        const auto path = state_ / "states.txt";
        files::writeAtomically(path, text);
        ::setenv("TARNEL_PFCTL_STATES", path.c_str(), 1);
    }

    // The filter's state: the anchor's rules, the next token "-E" hands out
    // and the references it holds.
    void seed(const std::string& anchorRules, std::uint64_t nextToken, const std::vector<std::uint64_t>& tokens) const {
        json::OrderedValue document = json::OrderedValue::object();
        document["anchor_rules"] = anchorRules;
        document["next_token"] = nextToken;
        document["tokens"] = tokens;
        files::writeAtomically(state_ / "pf.json", json::writeOrdered(document));
    }

    [[nodiscard]] std::vector<PfctlCall> calls() const {
        std::vector<PfctlCall> list;
        std::istringstream lines(files::readIfExists(state_ / "calls.jsonl").value_or(""));
        for (std::string line; std::getline(lines, line);) {
            const json::Value entry = json::parse(line);
            PfctlCall recorded{entry["arguments"].get<std::vector<std::string>>(), std::nullopt,
                               entry["pid"].get<pid_t>()};
            if (!entry["input"].is_null()) recorded.input = entry["input"].get<std::string>();
            list.push_back(std::move(recorded));
        }
        return list;
    }
    [[nodiscard]] PfctlCall lastCall() const {
        auto all = calls();
        if (all.empty()) throw std::runtime_error("no call was recorded");
        return all.back();
    }
    // Forgets the recorded calls.
    void clearCalls() const { files::removeIfExists(state_ / "calls.jsonl"); }

    [[nodiscard]] std::string anchorRules() const {
        return json::parse(files::readIfExists(state_ / "pf.json").value_or(R"({"anchor_rules":""})"))["anchor_rules"]
            .get<std::string>();
    }
    [[nodiscard]] std::vector<std::uint64_t> tokens() const {
        return json::parse(files::readIfExists(state_ / "pf.json").value_or(R"({"tokens":[]})"))["tokens"]
            .get<std::vector<std::uint64_t>>();
    }

private:
    std::filesystem::path state_;
    SystemTools::ScopedMapping mapping_{SystemTools::pfctl, buildProduct("standins/pfctl/pfctl")};
};

}  // namespace tarnel::testing
