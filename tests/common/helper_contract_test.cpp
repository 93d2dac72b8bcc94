#include "common/contract/helper_contract.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/utf8.hpp"
#include "common/process/start_registry.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using Case = PrivilegedHelperContractError::Case;

constexpr std::string_view kCanonical = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

template <typename Action>
std::string failureMessage(Action action) {
    try {
        action();
    } catch (const PrivilegedHelperContractError& error) {
        return error.message();
    }
    return "no error";
}

TEST(AttemptIdentifier, OnlyTheCanonicalTextIsAccepted) {
    const auto parsed = PrivilegedHelperContract::parseCanonicalAttemptID(kCanonical);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->text(), kCanonical);
    for (const char* refused : {"3f2504e0-4f89-11d3-9a0c-0305e82c3301", "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}",
                                "3F2504E04F8911D39A0C0305E82C3301", " 3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                                "3F2504E0-4F89-11D3-9A0C-0305E82C3301\n", "3F2504E0-4F89-11D3-9A0C-0305E82C330X",
                                "3F2504e0-4F89-11D3-9A0C-0305E82C3301", ""}) {
        EXPECT_FALSE(PrivilegedHelperContract::parseCanonicalAttemptID(refused)) << refused;
    }
}

TEST(AttemptIdentifier, ValidationAgainstTheRecordedIdentifier) {
    using PrivilegedHelperContract::validateAttemptIdentifier;
    EXPECT_TRUE(validateAttemptIdentifier(kCanonical, std::string(kCanonical)));
    EXPECT_FALSE(validateAttemptIdentifier(kCanonical, std::nullopt));
    EXPECT_FALSE(validateAttemptIdentifier(kCanonical, std::string("3f2504e0-4f89-11d3-9a0c-0305e82c3301")));
    EXPECT_EQ(failureMessage([] {
                  (void)validateAttemptIdentifier("3f2504e0-4f89-11d3-9a0c-0305e82c3301", std::string(kCanonical));
              }),
              "The privileged tunnel startup request is not valid.");
}

TEST(ObsoleteRuntimeFileName, OnlyTheBareNameAndCanonicalCopies) {
    using PrivilegedHelperContract::isObsoleteRuntimeFileName;
    const std::string upper(kCanonical);
    for (const std::string& obsolete : {std::string("sing-box"), "sing-box-" + upper}) {
        EXPECT_TRUE(isObsoleteRuntimeFileName(obsolete)) << obsolete;
    }
    for (const std::string& kept : std::vector<std::string>{
             "sing-box-3f2504e0-4f89-11d3-9a0c-0305e82c3301", ".sing-box-stage-" + upper, "sing-box-", "sing-box-x",
          "sing-box-" + upper + "\n", "sing-box-" + upper + ".old", "sing-box-{" + upper + "}", "sing-box ",
          "sing-boxes", "Sing-box", "tun.log", "tun-config.json", "tun-state.json", ".sing-box", ""}) {
        EXPECT_FALSE(isObsoleteRuntimeFileName(kept)) << kept;
    }
}

TEST(HelperContractError, MessagesAndEquality) {
    EXPECT_EQ(PrivilegedHelperContractError::invalidConfiguration("mtu must be a bounded integer").message(),
              "Privileged tunnel configuration rejected: mtu must be a bounded integer.");
    EXPECT_EQ(PrivilegedHelperContractError(Case::invalidProxyService).message(),
              "The selected network service name is not valid.");
    EXPECT_EQ(PrivilegedHelperContractError(Case::startupRequestCapacityExceeded).message(),
              "The privileged tunnel startup registry is full.");
    EXPECT_EQ(PrivilegedHelperContractError::invalidConfiguration("a"),
              PrivilegedHelperContractError::invalidConfiguration("a"));
    EXPECT_FALSE(PrivilegedHelperContractError::invalidConfiguration("a") ==
                 PrivilegedHelperContractError::invalidConfiguration("b"));
    EXPECT_EQ(PrivilegedHelperContractError(Case::invalidStartupRequest).typeName(),
              "TarnelDirect.PrivilegedHelperContractError");
}

TEST(ControlCharacters, CategoriesCcAndCfAndIllFormedText) {
    const struct {
        std::string text;
        bool expected;
    } cases[] = {
        {"Wi\tFi", true},
        {"Wi\u200DFi", true},
        {"\u00AD", true},
        {"\u0085", true},
        {std::string("a\0b", 3), true},
        {"\x7F", true},
        {"\uFEFF", true},
        {"x\U000E0041", true},  // tag character
        {"Wi\xFF", true},       // not UTF-8
        {"Wi-Fi 2", false},
        {"USB 10/100/1000 LAN", false},
        {"", false},
        {"Ethernet\u00A0", false},
        {"\u0422\u0435\u0441\u0442 \u20AC", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedHelperContract::containsControlCharacter(c.text), c.expected) << c.text;
    }
}

// tests/fixtures/unicode/control_characters.txt holds every code point's class
// by python3's unicodedata (make_control_characters.py beside it). The
// database of the python3 that made it may predate Unicode versions that
// assigned further format characters; those code points are unassigned there
// and are listed here.
bool formatCharacterAssignedAfterFixture(char32_t scalar) {
    return scalar >= 0x13439 && scalar <= 0x1343F;  // Egyptian hieroglyph format controls, Unicode 15.0
}

TEST(ControlCharacters, AgreeWithPythonsUnicodeDatabaseOnEveryCodePoint) {
    std::istringstream lines(testing::readFixture("unicode/control_characters.txt"));
    std::string line;
    char32_t next = 0;
    std::size_t mismatches = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line.front() == '#') continue;
        std::istringstream fields(line);
        std::string firstText, lastText, klass;
        ASSERT_TRUE(fields >> firstText >> lastText >> klass) << line;
        const auto first = static_cast<char32_t>(std::stoul(firstText, nullptr, 16));
        const auto last = static_cast<char32_t>(std::stoul(lastText, nullptr, 16));
        ASSERT_EQ(first, next) << line;  // the runs cover the code space without gaps
        ASSERT_TRUE(klass == "control" || klass == "surrogate" || klass == "unassigned" || klass == "other") << line;
        for (char32_t scalar = first; scalar <= last; ++scalar) {
            std::string text = "a";
            if (klass == "surrogate") {
                // The three bytes a surrogate would take: never well-formed UTF-8.
                text += static_cast<char>(0xE0 | (scalar >> 12));
                text += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (scalar & 0x3F));
            } else {
                utf8::append(text, scalar);
            }
            text += "b";
            const bool expected = klass == "control" || klass == "surrogate" ||
                                  (klass == "unassigned" && formatCharacterAssignedAfterFixture(scalar));
            if (PrivilegedHelperContract::containsControlCharacter(text) != expected && ++mismatches <= 20) {
                ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(scalar) << " (" << klass << ")";
            }
        }
        next = last + 1;
    }
    EXPECT_EQ(next, 0x110000u);
    EXPECT_EQ(mismatches, 0u);
}

Uuid attempt(int n) {
    Uuid::Bytes bytes{};
    bytes[15] = static_cast<std::uint8_t>(n);
    bytes[14] = static_cast<std::uint8_t>(n >> 8);
    return Uuid(bytes);
}

TEST(ProtectedDNSRoute, OnlyTunnelInterfaceNamesPass) {
    using PrivilegedHelperContract::validateProtectedDNSInterface;
    for (const char* name : {"utun0", "utun4", "utun123"}) {
        EXPECT_NO_THROW(validateProtectedDNSInterface(name)) << name;
    }
    const std::string reason = "Privileged tunnel configuration rejected: protected DNS tunnel interface is invalid.";
    for (const std::string name : {"utun", "utunX", "en0", "utun4 ", " utun4", "utun4\n", "UTUN4", "utun-4", ""}) {
        EXPECT_EQ(failureMessage([&] { validateProtectedDNSInterface(name); }), reason) << name;
        EXPECT_EQ(failureMessage([&] { (void)PrivilegedHelperContract::protectedDNSRouteArguments(name); }), reason);
        // The name is checked before the output is looked at.
        EXPECT_EQ(failureMessage([&] {
                      (void)PrivilegedHelperContract::routeOutputShowsInterface("  interface: " + name + "\n", name);
                  }),
                  reason);
    }
}

TEST(ProtectedDNSRoute, AddArgumentsAreExact) {
    EXPECT_EQ(PrivilegedHelperContract::protectedDNSRouteArguments("utun4"),
              (std::vector<std::string>{"-n", "add", "-host", "172.19.0.2", "-interface", "utun4"}));
}

TEST(ProtectedDNSRoute, RouteOutputShowsTheInterfaceOnlyOnATwoWordLine) {
    const std::string query = "   route to: 172.19.0.2\ndestination: 172.19.0.2\n";
    const struct {
        std::string output;
        bool shows;
    } cases[] = {
        {query + "  interface: utun4\n      flags: <UP,HOST,DONE,STATIC>\n", true},
        {"interface: utun4", true},
        {"\t interface:\tutun4 \t", true},
        {"interface:\u00A0utun4", true},       // a Unicode space separator
        {"interface:\u3000utun4", true},
        {query + "  interface:utun4\n", false},  // one word
        {query + "  interface: utun4 extra\n", false},
        {query + "  interface: utun5\n", false},
        {"  Interface: utun4", false},
        {"  interface: UTUN4", false},
        {"  interface: utun4\u200B", false},  // a zero-width space is part of the word
        {"  interface: utun44", false},
        {"", false},
        {"\xff\xfe interface: utun4", false},
        {"\xff\ninterface: utun4", true},
        // Every line separator ends a line, including the Unicode ones.
        {"route to: x\ninterface: utun4", true},
        {"route to: x\rinterface: utun4\r", true},
        {"route to: x\vinterface: utun4", true},
        {"route to: x\finterface: utun4", true},
        {"route to: x\u0085interface: utun4", true},
        {"route to: x\u2028interface: utun4", true},
        {"route to: x\u2029interface: utun4\u2029", true},
        {"route to: x\r\n\r\ninterface: utun4\r\n", true},
        {"route to: x interface: utun4", false},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(PrivilegedHelperContract::routeOutputShowsInterface(item.output, "utun4"), item.shows) << item.output;
    }
}

TEST(StartRegistry, CancellationLivesForItsLifetimeAndExpiresAtTheBoundary) {
    PrivilegedTunnelStartRegistry registry;
    const Uuid a = attempt(1);
    registry.cancel(a.text(), 10.0);
    EXPECT_TRUE(registry.isCancelled(a, 909.999));
    EXPECT_FALSE(registry.begin(a, 2000.0, 909.999));  // a cancelled attempt stays refused
    EXPECT_FALSE(registry.isCancelled(a, 910.0));      // expiry equal to now: gone
    EXPECT_TRUE(registry.begin(a, 2000.0, 910.0));
}

TEST(StartRegistry, PhasesOfOneAttempt) {
    PrivilegedTunnelStartRegistry registry;
    const Uuid a = attempt(1);
    EXPECT_TRUE(registry.begin(a, 50.0, 0.0));
    EXPECT_FALSE(registry.begin(a, 60.0, 1.0));  // already running
    registry.finish(a, 2.0);
    EXPECT_EQ(registry.entry(a, 2.0), (PrivilegedTunnelStartRegistry::Entry{false, false, 902.0}));
    EXPECT_TRUE(registry.begin(a, 1000.0, 3.0));  // the start after the preparation
    EXPECT_EQ(registry.entry(a, 3.0), (PrivilegedTunnelStartRegistry::Entry{false, true, 1000.0}));
    // A start whose expiry is earlier than the finished preparation's keeps
    // the later one.
    const Uuid c = attempt(3);
    EXPECT_TRUE(registry.begin(c, 50.0, 0.0));
    registry.finish(c, 2.0);
    EXPECT_TRUE(registry.begin(c, 500.0, 3.0));
    EXPECT_EQ(registry.entry(c, 3.0), (PrivilegedTunnelStartRegistry::Entry{false, true, 902.0}));
    registry.cancel(a.text(), 4.0);
    EXPECT_EQ(registry.entry(a, 4.0), (PrivilegedTunnelStartRegistry::Entry{true, true, 1000.0}));
    EXPECT_TRUE(registry.isCancelled(a, 999.0));

    // An active entry past its expiry is dropped; finishing it later does nothing.
    const Uuid b = attempt(2);
    EXPECT_TRUE(registry.begin(b, 10.0, 5.0));
    EXPECT_FALSE(registry.entry(b, 10.0));
    registry.finish(b, 11.0);
    EXPECT_FALSE(registry.entry(b, 11.0));
}

TEST(StartRegistry, CancelAcceptsAnyCaseButNoOtherText) {
    PrivilegedTunnelStartRegistry registry;
    registry.cancel("3f2504e0-4f89-11d3-9a0c-0305e82c3301", 0.0);
    EXPECT_TRUE(registry.isCancelled(*Uuid::parse(kCanonical), 1.0));
    EXPECT_EQ(failureMessage([&] { registry.cancel("not-a-uuid", 0.0); }),
              "The privileged tunnel startup request is not valid.");
}

TEST(StartRegistry, CancelAllMarksEveryHeldEntryAndAddsNone) {
    PrivilegedTunnelStartRegistry registry;
    EXPECT_TRUE(registry.begin(attempt(1), 100.0, 0.0));
    EXPECT_TRUE(registry.begin(attempt(2), 200.0, 0.0));
    registry.finish(attempt(2), 1.0);
    registry.cancelAll(2.0);
    EXPECT_EQ(registry.entry(attempt(1), 2.0), (PrivilegedTunnelStartRegistry::Entry{true, true, 100.0}));
    EXPECT_EQ(registry.entry(attempt(2), 2.0), (PrivilegedTunnelStartRegistry::Entry{true, false, 901.0}));
    EXPECT_FALSE(registry.begin(attempt(2), 300.0, 3.0));  // the start after a cancelled preparation
    EXPECT_FALSE(registry.entry(attempt(3), 2.0));
    EXPECT_TRUE(registry.begin(attempt(3), 100.0, 3.0));  // a later attempt is not cancelled
    EXPECT_FALSE(registry.isCancelled(attempt(3), 3.0));
}

TEST(StartRegistry, CapacityRefusesWhenFullOfActiveEntriesAndEvictsTheEarliestInactive) {
    PrivilegedTunnelStartRegistry registry;
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(registry.begin(attempt(i), 500.0 + i, 0.0));
    }
    EXPECT_FALSE(registry.begin(attempt(100), 600.0, 1.0));
    EXPECT_EQ(failureMessage([&] { registry.cancel(attempt(100).text(), 1.0); }),
              "The privileged tunnel startup registry is full.");
    registry.cancel(attempt(3).text(), 1.0);  // a held attempt can still be cancelled
    EXPECT_TRUE(registry.isCancelled(attempt(3), 1.0));

    // Finish two entries; the one with the smaller expiry is evicted first.
    registry.finish(attempt(7), 2.0);   // expires at 902
    registry.finish(attempt(5), 1.0);   // expires at 901
    EXPECT_TRUE(registry.begin(attempt(100), 600.0, 3.0));
    EXPECT_FALSE(registry.entry(attempt(5), 3.0));
    EXPECT_TRUE(registry.entry(attempt(7), 3.0));
    EXPECT_TRUE(registry.begin(attempt(101), 600.0, 3.0));
    EXPECT_FALSE(registry.entry(attempt(7), 3.0));
    EXPECT_FALSE(registry.begin(attempt(102), 600.0, 3.0));
}

TEST(StartRegistry, EvictionTakesTheSmallestExpiryWhateverTheOrderOfKeysAndFinishes) {
    // Expiries fall as the identifiers rise, and the entries are finished in an
    // order that is neither: only the expiry decides which one goes.
    PrivilegedTunnelStartRegistry registry;
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(registry.begin(attempt(i), 2000.0 - i, 0.0));
    }
    registry.finish(attempt(5), 1.0);  // keeps 1995
    registry.finish(attempt(9), 2.0);  // keeps 1991
    registry.finish(attempt(7), 3.0);  // keeps 1993
    registry.cancel(attempt(200).text(), 4.0);  // evicts 9, then stays inactive until 904
    EXPECT_FALSE(registry.entry(attempt(9), 4.0));
    EXPECT_TRUE(registry.begin(attempt(201), 3000.0, 5.0));  // evicts the pending cancellation
    EXPECT_FALSE(registry.entry(attempt(200), 5.0));
    EXPECT_TRUE(registry.begin(attempt(202), 3000.0, 5.0));  // evicts 7
    EXPECT_FALSE(registry.entry(attempt(7), 5.0));
    EXPECT_TRUE(registry.entry(attempt(5), 5.0));
    EXPECT_TRUE(registry.begin(attempt(203), 3000.0, 5.0));  // evicts 5
    EXPECT_FALSE(registry.entry(attempt(5), 5.0));
    EXPECT_FALSE(registry.begin(attempt(204), 3000.0, 5.0));  // every entry is active
}

TEST(StartRegistry, ConcurrentCallersSeeOneConsistentRegistry) {
    // Eight threads at once, round after round: all begin the same attempt
    // (exactly one may start it) and distinct attempts of their own, twice as
    // many as there is room for (exactly the room left may start); then they
    // cancel, query and finish their own while one of them cancels all. Each
    // round runs 1000 s after the last, when the previous round's entries
    // have expired.
    constexpr int kThreads = 8;
    constexpr int kPerThread = 16;
    constexpr int kRounds = 100;
    PrivilegedTunnelStartRegistry registry;
    std::barrier phase(kThreads);
    std::vector<std::atomic<int>> sharedStarts(kRounds);
    std::vector<std::atomic<int>> ownStarts(kRounds);
    std::atomic<int> wrongAnswers = 0;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < kRounds; ++round) {
                const double t = 1000.0 * round;
                const int first = round * 200;
                phase.arrive_and_wait();
                if (registry.begin(attempt(first), t + 500.0, t)) ++sharedStarts[round];
                std::vector<Uuid> started;
                for (int i = 0; i < kPerThread; ++i) {
                    const Uuid own = attempt(first + 1 + thread * kPerThread + i);
                    if (registry.begin(own, t + 500.0, t)) started.push_back(own);
                }
                ownStarts[round] += static_cast<int>(started.size());
                phase.arrive_and_wait();
                for (const Uuid& own : started) {
                    registry.cancel(own.text(), t + 1.0);
                    if (!registry.isCancelled(own, t + 1.0) || registry.begin(own, t + 500.0, t + 1.0)) ++wrongAnswers;
                    registry.finish(own, t + 2.0);
                }
                if (thread == 0) registry.cancelAll(t + 3.0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(sharedStarts[round], 1);
        EXPECT_EQ(ownStarts[round], 63);
    }
    EXPECT_EQ(wrongAnswers, 0);
}

}  // namespace
}  // namespace tarnel
