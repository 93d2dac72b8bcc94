#include "standins/pfctl/nft_translation.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/ip_literal.hpp"

namespace tarnel::pfctl {
namespace {

// One parsed rule, before it is written for nftables.
struct Rule {
    bool accept = false;
    bool inbound = false;
    std::optional<std::string> interface;
    std::vector<std::string> protocols;  // empty: any protocol
    std::optional<std::vector<std::string>> sources;       // nothing: any
    std::vector<std::string> sourcePorts;
    std::optional<std::vector<std::string>> destinations;  // nothing: any
    std::vector<std::string> destinationPorts;
    bool rootOnly = false;
};

// The words of one line; "{ a, b }" stays four words "{", "a", "b", "}".
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ') {
            ++at;
            continue;
        }
        std::size_t end = line.find(' ', at);
        if (end == std::string_view::npos) end = line.size();
        std::string_view word = line.substr(at, end - at);
        if (word.size() > 1 && word.back() == ',') word.remove_suffix(1);
        result.push_back(word);
        at = end;
    }
    return result;
}

class LineParser {
public:
    explicit LineParser(std::string_view line) : line_(line), words_(words(line)) {}

    Rule parse() {
        Rule rule;
        if (take("pass")) {
            rule.accept = true;
        } else if (take("block")) {
            expect("drop");
        } else {
            fail();
        }
        if (take("in")) {
            rule.inbound = true;
        } else {
            expect("out");
        }
        expect("quick");
        if (take("on")) rule.interface = interfaceName(next());
        if (take("proto")) {
            for (const auto& protocol : listOrOne()) {
                if (protocol != "tcp" && protocol != "udp") fail();
                rule.protocols.push_back(protocol);
            }
        }
        if (!take("all")) {
            if (take("from")) {
                rule.sources = addresses();
                if (take("port")) rule.sourcePorts = ports();
            }
            expect("to");
            rule.destinations = addresses();
            if (take("port")) rule.destinationPorts = ports();
        }
        if (take("user")) {
            expect("root");
            rule.rootOnly = true;
        }
        if (take("keep")) expect("state");
        if (at_ != words_.size()) fail();
        // A port means nothing without a transport protocol that has ports.
        if ((!rule.sourcePorts.empty() || !rule.destinationPorts.empty()) && rule.protocols.empty()) fail();
        return rule;
    }

private:
    [[noreturn]] void fail() const { throw TranslationError("cannot enforce the rule \"" + std::string(line_) + "\""); }

    bool take(std::string_view word) {
        if (at_ < words_.size() && words_[at_] == word) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(std::string_view word) {
        if (!take(word)) fail();
    }
    std::string next() {
        if (at_ == words_.size()) fail();
        return std::string(words_[at_++]);
    }

    // "{ a, b }" or a single word.
    std::vector<std::string> listOrOne() {
        if (!take("{")) return {next()};
        std::vector<std::string> items;
        while (!take("}")) items.push_back(next());
        if (items.empty()) fail();
        return items;
    }

    // Nothing for "any".
    std::optional<std::vector<std::string>> addresses() {
        if (take("any")) return std::nullopt;
        std::vector<std::string> items = listOrOne();
        for (const auto& item : items) {
            if (!isAddressOrPrefix(item)) fail();
        }
        return items;
    }

    std::vector<std::string> ports() {
        std::vector<std::string> items = listOrOne();
        for (const auto& item : items) {
            unsigned value = 0;
            const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value);
            if (error != std::errc() || end != item.data() + item.size() || value > 65535) fail();
        }
        return items;
    }

    // Interface names go into the script quoted: only the characters an
    // interface name can hold are let through.
    std::string interfaceName(std::string name) const {
        const bool plain = !name.empty() && name.size() <= 15 && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == '-' || c == '.';
        });
        if (!plain) fail();
        return name == "lo0" ? "lo" : name;
    }

    static bool isAddressOrPrefix(std::string_view text) {
        const std::size_t slash = text.find('/');
        const auto family = ipLiteralFamily(text.substr(0, slash));
        if (!family) return false;
        if (slash == std::string_view::npos) return true;
        const std::string_view length = text.substr(slash + 1);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), value);
        return error == std::errc() && end == length.data() + length.size() && !length.empty() &&
               value <= (*family == IPAddressFamily::ipv4 ? 32U : 128U);
    }

    std::string_view line_;
    std::vector<std::string_view> words_;
    std::size_t at_ = 0;
};

bool isIPv6(std::string_view addressOrPrefix) { return addressOrPrefix.find(':') != std::string_view::npos; }

std::string set(const std::vector<std::string>& items) {
    std::string text = "{ ";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "" : ", ") + items[i];
    return text + " }";
}

// The addresses of one family; nothing when the rule matches any address.
std::optional<std::vector<std::string>> ofFamily(const std::optional<std::vector<std::string>>& addresses, bool ipv6) {
    if (!addresses) return std::nullopt;
    std::vector<std::string> chosen;
    std::copy_if(addresses->begin(), addresses->end(), std::back_inserter(chosen),
                 [&](const std::string& address) { return isIPv6(address) == ipv6; });
    return chosen;
}

// The nft rule statements of one rule: one per address family it can match.
std::vector<std::string> statements(const Rule& rule) {
    std::string common;
    if (rule.interface) common += (rule.inbound ? "iifname \"" : "oifname \"") + *rule.interface + "\" ";
    if (!rule.protocols.empty()) common += "meta l4proto " + set(rule.protocols) + " ";

    std::string tail;
    if (rule.rootOnly) tail += "meta skuid 0 ";
    tail += rule.accept ? "accept" : "drop";

    const auto ports = [](std::string_view direction, const std::vector<std::string>& list) {
        return list.empty() ? std::string() : "th " + std::string(direction) + " " + set(list) + " ";
    };

    if (!rule.sources && !rule.destinations) {
        return {common + ports("sport", rule.sourcePorts) + ports("dport", rule.destinationPorts) + tail};
    }
    std::vector<std::string> result;
    for (const bool ipv6 : {false, true}) {
        const auto sources = ofFamily(rule.sources, ipv6);
        const auto destinations = ofFamily(rule.destinations, ipv6);
        // A given list without an address of this family matches nothing here.
        if ((sources && sources->empty()) || (destinations && destinations->empty())) continue;
        const std::string family = ipv6 ? "ip6" : "ip";
        std::string text = common;
        if (sources) text += family + " saddr " + set(*sources) + " ";
        if (!rule.sourcePorts.empty()) text += ports("sport", rule.sourcePorts);
        if (destinations) text += family + " daddr " + set(*destinations) + " ";
        text += ports("dport", rule.destinationPorts) + tail;
        result.push_back(std::move(text));
    }
    return result;
}

std::string tableHeader() { return "table inet " + std::string(kNftTable); }

}  // namespace

std::string nftRemovalScript() {
    // Declaring the table first makes the deletion succeed when it is absent.
    return tableHeader() + "\ndelete " + tableHeader() + "\n";
}

std::string nftScript(std::string_view anchorText) {
    std::vector<std::string> output;
    std::vector<std::string> input;
    std::size_t at = 0;
    while (at < anchorText.size()) {
        std::size_t end = anchorText.find('\n', at);
        if (end == std::string_view::npos) end = anchorText.size();
        const std::string_view line = anchorText.substr(at, end - at);
        at = end + 1;
        if (line.find_first_not_of(' ') == std::string_view::npos) continue;
        const Rule rule = LineParser(line).parse();
        for (auto& statement : statements(rule)) (rule.inbound ? input : output).push_back(std::move(statement));
    }

    std::string script = nftRemovalScript() + tableHeader() + " {\n";
    const auto chain = [&](std::string_view name, std::string_view hook, const std::vector<std::string>& rules) {
        script += "  chain " + std::string(name) + " {\n    type filter hook " + std::string(hook) +
                  " priority 0; policy accept;\n";
        for (const auto& rule : rules) script += "    " + rule + "\n";
        script += "  }\n";
    };
    chain("output", "output", output);
    chain("input", "input", input);
    return script + "}\n";
}

}  // namespace tarnel::pfctl
