#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standins/pfctl/nft_translation.hpp"

namespace tarnel::pfctl {
namespace {

// The rules of one chain of a script, in order.
std::vector<std::string> chainRules(const std::string& script, const std::string& chain) {
    std::vector<std::string> rules;
    const auto start = script.find("  chain " + chain + " {\n");
    EXPECT_NE(start, std::string::npos) << script;
    auto at = script.find('\n', script.find("policy accept;", start)) + 1;
    for (;;) {
        const auto end = script.find('\n', at);
        const std::string line = script.substr(at, end - at);
        if (line == "  }") return rules;
        rules.push_back(line.substr(4));
        at = end + 1;
    }
}

TEST(PfctlNftTranslation, EachLineShapeBecomesItsFirstMatchRules) {
    struct Case {
        std::string line;
        std::vector<std::string> output;
    };
    const std::vector<Case> cases{
        {"pass out quick on lo0 all keep state", {"oifname \"lo\" accept"}},
        {"pass out quick proto { tcp, udp } to { 203.0.113.5 } port 443 keep state",
         {"meta l4proto { tcp, udp } ip daddr { 203.0.113.5 } th dport { 443 } accept"}},
        // Mixed families: one rule for each.
        {"pass out quick proto { tcp, udp } to { 2001:db8::5, 203.0.113.5 } port 443 keep state",
         {"meta l4proto { tcp, udp } ip daddr { 203.0.113.5 } th dport { 443 } accept",
          "meta l4proto { tcp, udp } ip6 daddr { 2001:db8::5 } th dport { 443 } accept"}},
        // Sources of one family only: no rule for the other.
        {"pass out quick on en0 proto udp from { 192.168.1.20 } port 41641 to { 198.51.100.7, 2001:db8::9 } port "
         "3478 user root keep state",
         {"oifname \"en0\" meta l4proto { udp } ip saddr { 192.168.1.20 } th sport { 41641 } ip daddr { "
          "198.51.100.7 } th dport { 3478 } meta skuid 0 accept"}},
        {"pass out quick proto { tcp, udp } to 100.100.100.100 port 53 keep state",
         {"meta l4proto { tcp, udp } ip daddr { 100.100.100.100 } th dport { 53 } accept"}},
        {"pass out quick on utun5 all keep state", {"oifname \"utun5\" accept"}},
        {"block drop out quick proto { tcp, udp } to any port { 53, 853 }",
         {"meta l4proto { tcp, udp } th dport { 53, 853 } drop"}},
        {"pass out quick to { 10.0.0.0/8, 255.255.255.255/32, fc00::/7, fe80::/10 } keep state",
         {"ip daddr { 10.0.0.0/8, 255.255.255.255/32 } accept", "ip6 daddr { fc00::/7, fe80::/10 } accept"}},
        {"block drop out quick all", {"drop"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string script = nftScript(c.line + "\n");
        EXPECT_EQ(chainRules(script, "output"), c.output);
        EXPECT_TRUE(chainRules(script, "input").empty());
    }
}

TEST(PfctlNftTranslation, InboundRulesGoToTheInputChainAndTheTableIsReplacedWhole) {
    const std::string script = nftScript("pass in quick on utun3 all keep state\nblock drop out quick all\n");
    EXPECT_EQ(chainRules(script, "input"), std::vector<std::string>{"iifname \"utun3\" accept"});
    EXPECT_EQ(chainRules(script, "output"), std::vector<std::string>{"drop"});
    // Declare, delete, define: one transaction that also works without a table.
    EXPECT_EQ(script.rfind("table inet tarnel_anchor\ndelete table inet tarnel_anchor\ntable inet tarnel_anchor {\n", 0),
              0U);
    EXPECT_EQ(nftRemovalScript(), "table inet tarnel_anchor\ndelete table inet tarnel_anchor\n");
}

TEST(PfctlNftTranslation, RefusesWhatItCannotEnforce) {
    for (const std::string line : {
             "pass out all",                                         // not first-match
             "block return out quick all",                           // another block action
             "pass out quick proto icmp all",                        // a protocol without ports
             "pass out quick to { 203.0.113.5 } port 443",           // a port without a protocol
             "pass out quick to { 203.0.113.5/33 } keep state",      // no such prefix
             "pass out quick to { example.com } keep state",         // a host name
             "pass out quick on \"en0\" all",                        // quoting in a name
             "pass out quick on en0;flush all",                      // script text in a name
             "pass out quick proto tcp to any port 70000",           // no such port
             "pass out quick all user nobody",                       // only root is known
             "pass out quick all keep state extra",                  // trailing words
             "pass out quick to { } keep state",                     // an empty list
         }) {
        SCOPED_TRACE(line);
        EXPECT_THROW((void)nftScript(line + "\n"), TranslationError);
    }
}

TEST(PfctlNftTranslation, AnEmptyTextGivesEmptyChains) {
    const std::string script = nftScript("");
    EXPECT_TRUE(chainRules(script, "output").empty());
    EXPECT_TRUE(chainRules(script, "input").empty());
}

}  // namespace
}  // namespace tarnel::pfctl
