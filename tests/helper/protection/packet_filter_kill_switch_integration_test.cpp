#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/base/log.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/helper/protection/kill_switch_fixture.hpp"

namespace tarnel {
namespace {

using namespace testing;
using State = PacketFilterKillSwitch::State;
using Calls = std::vector<PfctlCall>;
using Tokens = std::vector<std::uint64_t>;
using T = TailscaleUnderlayTransport;

const std::string kUnsafeDirectory = "The privileged runtime directory is not root-owned and private.";
const std::string kTailscaleUnavailable =
    "Tailscale compatibility could not be verified; Tailscale was left untouched.";
const std::string kPolicyRejected = "The system packet filter rejected the kill-switch policy.";
const std::string kNoEnableReference = "The system packet filter did not return an enable reference.";

const PacketFilterKillSwitch::Policy kPlainPolicy{"203.0.113.5", 443, "en0"};

// The plain rules for 203.0.113.5:443, with the tunnel interface when given.
std::string plainRules(std::optional<std::string> tunnelInterface = std::nullopt) {
    PacketFilterRules::AnchorInputs inputs;
    inputs.endpoints = {"203.0.113.5"};
    inputs.endpointPort = 443;
    inputs.tunnelInterface = std::move(tunnelInterface);
    return PacketFilterRules::anchorRules(inputs);
}

using KillSwitch = KillSwitchFixture;

TEST_F(KillSwitch, WithoutARecordStatusIsFalseRenewalFailsAndNothingRuns) {
    const auto killSwitch = this->killSwitch();
    EXPECT_FALSE(killSwitch.isProtectionActive());
    EXPECT_EQ(failureOf([&] { killSwitch.renewLease(); }), kCorrupt);
    {
        const auto guard = PacketFilterKillSwitch::acquireLock();
        killSwitch.expireStaleState();
        EXPECT_EQ(killSwitch.loadState(), std::nullopt);
    }
    EXPECT_TRUE(pf_.calls().empty());
    // Nothing was created on the way.
    EXPECT_FALSE(std::filesystem::exists(runtime_));
}

TEST_F(KillSwitch, RenewalExtendsALiveLeaseAndNothingElse) {
    writeRecord(wantedRecord({12}, 0.001));
    clock_.advance(0.0005);
    killSwitch().renewLease();
    State renewed = wantedRecord({12});
    renewed.leaseExpiresAt = kNow + 0.0005 + 120.0;
    EXPECT_EQ(recordBytes(), renewed.encoded());
    EXPECT_TRUE(pf_.calls().empty());
    EXPECT_TRUE(killSwitch().isProtectionActive());
}

TEST_F(KillSwitch, ALeaseThatEndsExactlyNowHasExpiredAndIsClearedByTheRenewal) {
    applyDNS();
    pf_.seed(plainRules(), 13, {12});
    writeRecord(wantedRecord({12}, 0.0));
    EXPECT_EQ(failureOf([&] { killSwitch().renewLease(); }), kLeaseExpired);
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(dnsApplied());
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(12)}));
    EXPECT_EQ(pf_.anchorRules(), "");
    EXPECT_TRUE(pf_.tokens().empty());
    EXPECT_FALSE(killSwitch().isProtectionActive());
}

TEST_F(KillSwitch, TheExpiryCheckClearsStaleAndUnwantedRecordsAndRefusesAWantedOneOfAnotherSchema) {
    struct Case {
        const char* name;
        State record;
        Calls calls;
    };
    State otherBoot = wantedRecord({12});
    otherBoot.bootTimeSeconds = kBoot - 10000;
    State unwantedOldSchema = wantedRecord({12});
    unwantedOldSchema.schema = 2;
    unwantedOldSchema.desiredActive = false;
    const std::vector<Case> cases = {
        // References of another boot are never released: they may name
        // another holder's reference now.
        {"another boot", otherBoot, {flushCall()}},
        // The schema of a record nobody wants is not looked at.
        {"unwanted, schema 2", unwantedOldSchema, {flushCall(), releaseCall(12)}},
        {"lease over", wantedRecord({12}, -1.0), {flushCall(), releaseCall(12)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pf_.seed(plainRules(), 13, {12});
        pf_.clearCalls();
        applyDNS();
        writeRecord(c.record);
        EXPECT_FALSE(killSwitch().isProtectionActive());
        EXPECT_FALSE(hasRecord());
        EXPECT_FALSE(dnsApplied());
        EXPECT_EQ(pf_.calls(), c.calls);
    }

    // A wanted record of another schema is invalid and stays as it is.
    pf_.clearCalls();
    State wantedOldSchema = wantedRecord({12});
    wantedOldSchema.schema = 2;
    writeRecord(wantedOldSchema);
    EXPECT_EQ(failureOf([&] { (void)killSwitch().isProtectionActive(); }), kCorrupt);
    EXPECT_EQ(failureOf([&] { killSwitch().renewLease(); }), kCorrupt);
    EXPECT_EQ(recordBytes(), wantedOldSchema.encoded());
    EXPECT_TRUE(pf_.calls().empty());
}

TEST_F(KillSwitch, TeardownKeepsTheReferencesWhoseReleaseFailedAndTheNextCheckRetriesThem) {
    pf_.seed(plainRules(), 8, {3, 5, 7});
    writeRecord(wantedRecord({3, 5, 7}, -1.0));
    PfctlStandIn::faults(R"([{"arguments":["-X","5"],"exit_code":1}])");
    EXPECT_FALSE(killSwitch().isProtectionActive());
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(3), releaseCall(5), releaseCall(7)}));
    State pending = wantedRecord({5}, -1.0);
    pending.desiredActive = false;
    EXPECT_EQ(record(), pending);
    EXPECT_EQ(pf_.tokens(), Tokens{5});

    PfctlStandIn::clearFaults();
    pf_.clearCalls();
    EXPECT_FALSE(killSwitch().isProtectionActive());
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(5)}));
    EXPECT_FALSE(hasRecord());
    EXPECT_TRUE(pf_.tokens().empty());
}

TEST_F(KillSwitch, RecordsThatAreNotPrivateRegularFilesOfRootAreInvalid) {
    const std::string valid = wantedRecord({12}).encoded();
    const auto outside = directory_ / "outside.json";
    files::writeAtomically(outside, valid);
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"mode 0644", [&] { writeRecord(valid, 0644); }},
        {"owned by user 1", [&] { writeRecord(valid, 0600, 1); }},
        {"a link to a valid record", [&] { std::filesystem::create_symlink(outside, recordPath()); }},
        {"a dangling link", [&] { std::filesystem::create_symlink(directory_ / "gone", recordPath()); }},
        {"a directory", [&] { std::filesystem::create_directory(recordPath()); }},
        {"not JSON", [&] { writeRecord("{\"schema\":3,"); }},
        {"a token beyond 64 bits",
         [&] { writeRecord(R"({"schema":3,"desiredActive":true,"bootTimeSeconds":1699990000,"leaseExpiresAt":1e10,)"
                           R"("endpointAddresses":[],"endpointPort":443,"directAddresses":[],)"
                           R"("physicalAddresses":[],"enableTokens":[18446744073709551616]})"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        files::ensurePrivateDirectory(runtime_);
        c.make();
        EXPECT_EQ(failureOf([&] { (void)killSwitch().isProtectionActive(); }), kCorrupt);
        EXPECT_EQ(failureOf([&] { killSwitch().renewLease(); }), kCorrupt);
        EXPECT_TRUE(hasRecord());
        std::filesystem::remove_all(recordPath());
    }
    EXPECT_TRUE(pf_.calls().empty());
}

TEST_F(KillSwitch, TheRuntimeDirectoryMustBeRootsAlone) {
    const auto killSwitch = this->killSwitch();
    // A missing directory is made private on the first save, and the record
    // is private from the start.
    killSwitch.saveState(wantedRecord({12}));
    struct stat status {};
    ASSERT_EQ(::stat(runtime_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(recordPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(killSwitch.loadState(), wantedRecord({12}));

    ASSERT_EQ(::chmod(runtime_.c_str(), 0755), 0);
    EXPECT_EQ(failureOf([&] { (void)killSwitch.loadState(); }), kUnsafeDirectory);
    EXPECT_EQ(failureOf([&] { killSwitch.saveState(wantedRecord({12})); }), kUnsafeDirectory);
    // Without a record there is nothing to load, wherever it would lie.
    std::filesystem::remove(recordPath());
    EXPECT_EQ(killSwitch.loadState(), std::nullopt);
    EXPECT_EQ(failureOf([&] { killSwitch.saveState(wantedRecord({12})); }), kUnsafeDirectory);
    EXPECT_FALSE(hasRecord());

    // A link to a private directory is no directory.
    ASSERT_EQ(::chmod(runtime_.c_str(), 0700), 0);
    const PacketFilterKillSwitch linked(directory_ / "linked", dns_);
    std::filesystem::create_directory_symlink(runtime_, directory_ / "linked");
    EXPECT_EQ(failureOf([&] { linked.saveState(wantedRecord({12})); }), kUnsafeDirectory);

    // Without a boot there is no record to make.
    boot_.setBoot(std::nullopt);
    EXPECT_EQ(failureOf([&] { (void)killSwitch.currentBootTimeSeconds(); }),
              "The privileged runtime storage is unavailable.");
}

// ---- Activation ----

TEST_F(KillSwitch, APlainActivationLoadsTheRulesTakesAReferenceAndKillsTheStatesOfThePhysicalAddresses) {
    pf_.seed("", 12, {});
    killSwitch().activate(kPlainPolicy);
    const std::string rules = plainRules();
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), killCall("192.168.1.20")}));
    EXPECT_EQ(recordBytes(),
              R"({"schema":3,"desiredActive":true,"bootTimeSeconds":1699990000,"leaseExpiresAt":1700000120.25,)"
              R"("endpointAddresses":["203.0.113.5"],"endpointPort":443,"directAddresses":[],)"
              R"("physicalAddresses":["192.168.1.20"],"enableTokens":[12]})");
    EXPECT_EQ(pf_.anchorRules(), rules);
    EXPECT_EQ(pf_.tokens(), Tokens{12});
    EXPECT_TRUE(killSwitch().isProtectionActive());

    // Without a pinned interface every en interface counts (distinct,
    // ascending as text); other interfaces do not.
    interfaces_.add("en1", "10.0.0.7");
    interfaces_.add("en1", "fe80::2");
    interfaces_.add("en1", "10.0.0.7");
    interfaces_.add("utun3", "100.64.0.1");
    pf_.clearCalls();
    killSwitch().activate({"203.0.113.5", 443, std::nullopt});
    EXPECT_EQ(record().physicalAddresses, (std::vector<std::string>{"10.0.0.7", "192.168.1.20", "fe80::2"}));
    const auto calls = pf_.calls();
    EXPECT_EQ(Calls(calls.begin() + 3, calls.end()),
              (Calls{killCall("10.0.0.7"), killCall("192.168.1.20"), killCall("fe80::2"), releaseCall(12)}));
}

TEST_F(KillSwitch, ActivationReleasesThePreviousReferencesAndKeepsThoseThatStayHeld) {
    const struct {
        const char* faults;
        Tokens recorded;
    } cases[] = {{"[]", {12}}, {R"([{"arguments":["-X","9"],"exit_code":1}])", {12, 9}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        pf_.seed("", 12, {7, 9});
        pf_.clearCalls();
        writeRecord(wantedRecord({7, 9}));
        PfctlStandIn::faults(c.faults);
        killSwitch().activate(kPlainPolicy);
        const std::string rules = plainRules();
        EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), killCall("192.168.1.20"),
                                      releaseCall(7), releaseCall(9)}));
        EXPECT_EQ(record().enableTokens, c.recorded);
    }

    // A recorded reference that equals the new one (a number from an earlier
    // boot) is the reference now held and is never released.
    PfctlStandIn::clearFaults();
    pf_.seed("", 12, {});
    pf_.clearCalls();
    State earlierBoot = wantedRecord({12, 4});
    earlierBoot.bootTimeSeconds = kBoot - 1;
    writeRecord(earlierBoot);
    killSwitch().activate(kPlainPolicy);
    EXPECT_EQ(pf_.calls().back(), releaseCall(4));
    EXPECT_EQ(record().enableTokens, (Tokens{12, 4}));
    EXPECT_EQ(pf_.tokens(), Tokens{12});
}

TEST_F(KillSwitch, AnActivationWithoutAnEnableReferenceIsRolledBack) {
    PfctlStandIn::faults(R"([{"arguments":["-E"],"output":"pf enabled\n"}])");
    const std::string rules = plainRules();

    // Without a previous record: DNS restored, the anchor flushed, no record.
    applyDNS();
    pf_.seed("", 12, {});
    EXPECT_EQ(failureOf([&] { killSwitch().activate(kPlainPolicy); }), kNoEnableReference);
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), flushCall()}));
    EXPECT_FALSE(dnsApplied());
    EXPECT_FALSE(hasRecord());
    EXPECT_EQ(pf_.anchorRules(), "");

    // With one: its rules come back and its record stands as it was; DNS, in
    // force for the previous tunnel, is left alone.
    State previous = wantedRecord({7});
    previous.endpointAddresses = {"198.51.100.20"};
    previous.endpointPort = 8443;
    previous.tunnelInterface = "utun5";
    pf_.seed(rulesOf(previous), 12, {7});
    pf_.clearCalls();
    writeRecord(previous);
    applyDNS();
    EXPECT_EQ(failureOf([&] { killSwitch().activate(kPlainPolicy); }), kNoEnableReference);
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), dryRunCall(rulesOf(previous)),
                                  loadCall(rulesOf(previous))}));
    EXPECT_EQ(recordBytes(), previous.encoded());
    EXPECT_EQ(pf_.anchorRules(), rulesOf(previous));
    EXPECT_TRUE(dnsApplied());
}

TEST_F(KillSwitch, AFailureAfterTheNewReferenceReleasesIt) {
    pf_.seed("", 12, {7});
    State previous = wantedRecord({7});
    writeRecord(previous);
    PfctlStandIn::faults(R"([{"arguments":["-k","192.168.1.20"],"exit_code":1}])");
    EXPECT_EQ(failureOf([&] { killSwitch().activate({"198.51.100.20", 443, "en0"}); }), kPolicyRejected);
    const auto calls = pf_.calls();
    EXPECT_EQ(Calls(calls.end() - 4, calls.end()),
              (Calls{killCall("192.168.1.20"), dryRunCall(rulesOf(previous)), loadCall(rulesOf(previous)),
                     releaseCall(12)}));
    EXPECT_EQ(recordBytes(), previous.encoded());
    EXPECT_EQ(pf_.tokens(), Tokens{7});

    // A new reference that cannot be released stays with the record it was
    // rolled back to.
    PfctlStandIn::faults(R"([{"arguments":["-k","192.168.1.20"],"exit_code":1},)"
                         R"({"arguments":["-X","13"],"exit_code":1}])");
    EXPECT_EQ(failureOf([&] { killSwitch().activate({"198.51.100.20", 443, "en0"}); }), kPolicyRejected);
    EXPECT_EQ(record().enableTokens, (Tokens{7, 13}));
}

TEST_F(KillSwitch, RollbackFallbacksAreLogged) {
    ScopedLogCapture capture;
    PfctlStandIn::faults(R"([{"arguments":["-E"],"output":"pf enabled\n"}])");

    // Previous rules that cannot be loaded again: protection is cleared, and
    // the previous record's references go with it.
    State previous = wantedRecord({7});
    previous.endpointPort = 0;
    pf_.seed("", 12, {7});
    writeRecord(previous);
    applyDNS();
    EXPECT_EQ(failureOf([&] { killSwitch().activate(kPlainPolicy); }), kNoEnableReference);
    const auto calls = pf_.calls();
    EXPECT_EQ(Calls(calls.end() - 2, calls.end()), (Calls{flushCall(), releaseCall(7)}));
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(dnsApplied());
    EXPECT_EQ(capture.entries(),
              (std::vector<LogEntry>{{"app.tarnel.direct.helper", "kill-switch", LogLevel::error,
                                      "kill_switch_previous_state_restore_failed clearing_protection=true"}}));

    // Clearing that fails leaves the record for a later expiry check; the
    // caller still gets the failure that started it all.
    capture.sink().clear();
    pf_.clearCalls();
    breakDNS();
    EXPECT_EQ(failureOf([&] { killSwitch().activate(kPlainPolicy); }), kNoEnableReference);
    EXPECT_EQ(capture.sink().lines(),
              std::vector<std::string>{"kill_switch_activation_rollback_failed lease_recovery_required=true"});
    EXPECT_TRUE(record().desiredActive);
    EXPECT_EQ(pf_.anchorRules(), plainRules());
}

TEST_F(KillSwitch, AnUnreleasedPreviousRecordIsNotPutBackInForce) {
    // A record kept only for a reference whose release failed: its rules are
    // flushed already and must not return with a rollback.
    State pending = wantedRecord({7});
    pending.desiredActive = false;
    pf_.seed("", 12, {7});
    writeRecord(pending);
    PfctlStandIn::faults(R"([{"arguments":["-E"],"output":"pf enabled\n"}])");
    EXPECT_EQ(failureOf([&] { killSwitch().activate(kPlainPolicy); }), kNoEnableReference);
    const std::string rules = plainRules();
    EXPECT_EQ(pf_.calls(),
              (Calls{dryRunCall(rules), loadCall(rules), enableCall(), flushCall(), releaseCall(7)}));
    EXPECT_FALSE(hasRecord());
}

TEST_F(KillSwitch, IncompleteTailscaleInputsChangeNothing) {
    const std::vector<TailscaleUnderlayEndpoint> underlay = {{"198.51.100.7", 443, T::tcp}};
    using Tailscale = PacketFilterKillSwitch::Tailscale;
    const struct {
        const char* name;
        PacketFilterKillSwitch::Policy policy;
        Tailscale tailscale;
    } cases[] = {
        {"regions without endpoints", kPlainPolicy, Tailscale{std::vector<std::int64_t>{1}, 1, std::nullopt, "utun3"}},
        {"endpoints without regions", kPlainPolicy, Tailscale{std::nullopt, 0, underlay, "utun3"}},
        {"no pinned interface", {"203.0.113.5", 443, std::nullopt}, Tailscale{std::vector<std::int64_t>{1}, 1, underlay, "utun3"}},
        {"a pinned interface without addresses", {"203.0.113.5", 443, "en7"},
         Tailscale{std::vector<std::int64_t>{1}, 1, underlay, "utun3"}},
        {"an empty endpoint list", kPlainPolicy,
         Tailscale{std::vector<std::int64_t>{1}, 1, std::vector<TailscaleUnderlayEndpoint>{}, "utun3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf([&] { killSwitch().activate(c.policy, c.tailscale); }), kTailscaleUnavailable);
    }
    EXPECT_TRUE(pf_.calls().empty());
    EXPECT_FALSE(std::filesystem::exists(runtime_));
}

TEST_F(KillSwitch, ATailscaleActivationRecordsItsInputsAndKillsOnlyThePlannedStates) {
    pf_.seed("", 12, {});
    pf_.stateListing("ALL tcp 192.168.1.20:5000 -> 198.51.100.7:443 ESTABLISHED:ESTABLISHED\n"
                     "ALL udp 192.168.1.20:5353 -> 203.0.113.9:53 MULTIPLE:MULTIPLE\n");
    const std::vector<TailscaleUnderlayEndpoint> underlay = {{"198.51.100.7", 443, T::tcp}};
    killSwitch().activate(kPlainPolicy, {std::vector<std::int64_t>{1, 9}, 9, underlay, "utun3"});
    State expected = wantedTailscaleRecord({12});
    expected.leaseExpiresAt = kNow + 120.0;
    EXPECT_EQ(record(), expected);
    const std::string rules = rulesOf(expected);
    EXPECT_NE(rules.find("pass out quick on utun3 all"), std::string::npos);
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), pfctlCall({"-q", "-s", "states"}),
                                  pfctlCall({"-k", "192.168.1.20", "-k", "203.0.113.9"})}));
}

TEST_F(KillSwitch, TheServerNameIsResolvedOnlyWhenItIsNoLiteral) {
    pf_.seed("", 12, {});
    killSwitch().activate({"2001:db8::5", 443, "en0"});
    EXPECT_TRUE(resolved_.empty());
    EXPECT_EQ(record().endpointAddresses, std::vector<std::string>{"2001:db8::5"});

    answers_["vpn.example.test"] = {ipv4("203.0.113.6"), ipv6("2001:db8::6"), ipv4("203.0.113.6")};
    killSwitch().activate({"vpn.example.test", 443, "en0"});
    EXPECT_EQ(record().endpointAddresses, (std::vector<std::string>{"2001:db8::6", "203.0.113.6"}));

    const auto before = recordBytes();
    pf_.clearCalls();
    EXPECT_EQ(failureOf([&] { killSwitch().activate({"unknown.example.test", 443, "en0"}); }),
              "The protected tunnel endpoint could not be resolved.");
    EXPECT_EQ(recordBytes(), before);
    EXPECT_TRUE(pf_.calls().empty());
}

TEST_F(KillSwitch, AnInvalidRecordIsReplacedByTheActivation) {
    pf_.seed("old rules\n", 12, {});
    writeRecord("not a record");
    applyDNS();
    killSwitch().activate(kPlainPolicy);
    const std::string rules = plainRules();
    EXPECT_EQ(pf_.calls(),
              (Calls{flushCall(), dryRunCall(rules), loadCall(rules), enableCall(), killCall("192.168.1.20")}));
    EXPECT_FALSE(dnsApplied());
    EXPECT_EQ(record().enableTokens, Tokens{12});
}

// ---- Promotion, reconciliation, deactivation, clearing ----

TEST_F(KillSwitch, PromotionLetsTheTunnelOutAndRenewsTheLease) {
    pf_.seed("", 12, {});
    killSwitch().activate(kPlainPolicy);
    clock_.advance(30.0);
    pf_.clearCalls();
    killSwitch().promote("utun5");
    const std::string rules = plainRules("utun5");
    EXPECT_NE(rules.find("pass out quick on utun5 all keep state\n"), std::string::npos);
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules)}));
    State promoted = wantedRecord({12});
    promoted.tunnelInterface = "utun5";
    promoted.leaseExpiresAt = kNow + 30.0 + 120.0;
    EXPECT_EQ(recordBytes(), promoted.encoded());

    // A rule load that fails leaves the record as it was.
    PfctlStandIn::faults(R"([{"arguments":["-a","com.apple/tarnel-direct","-f","-"],"exit_code":1}])");
    EXPECT_EQ(failureOf([&] { killSwitch().promote("utun6"); }), kPolicyRejected);
    EXPECT_EQ(recordBytes(), promoted.encoded());
    PfctlStandIn::clearFaults();

    // After the lease: cleared, and the start learns why.
    clock_.advance(120.0);
    pf_.clearCalls();
    EXPECT_EQ(failureOf([&] { killSwitch().promote("utun5"); }), kLeaseExpired);
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(12)}));
    EXPECT_FALSE(hasRecord());
}

TEST_F(KillSwitch, ReconciliationReappliesALiveProtectionWithAFreshReference) {
    State promoted = wantedRecord({12});
    promoted.tunnelInterface = "utun5";

    // The tunnel's interface is gone: its rule goes, the rest stays.
    pf_.seed(rulesOf(promoted), 13, {12});
    writeRecord(promoted);
    killSwitch().restoreAfterLaunch();
    const std::string rules = plainRules();
    EXPECT_EQ(pf_.calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(), killCall("192.168.1.20"),
                                  releaseCall(12)}));
    EXPECT_EQ(recordBytes(), wantedRecord({13}).encoded());
    EXPECT_EQ(pf_.tokens(), Tokens{13});

    // While it exists, its rule stays.
    interfaces_.add("utun5");
    writeRecord(promoted);
    pf_.seed("", 14, {12});
    pf_.clearCalls();
    killSwitch().restoreAfterLaunch();
    EXPECT_EQ(pf_.calls().front(), dryRunCall(plainRules("utun5")));
    promoted.enableTokens = {14};
    EXPECT_EQ(recordBytes(), promoted.encoded());
}

TEST_F(KillSwitch, ReconciliationThatFailsPutsTheOldReferencesBackAndKeepsANewOneItCannotRelease) {
    pf_.seed("", 13, {12});
    writeRecord(wantedRecord({12}));
    PfctlStandIn::faults(R"([{"arguments":["-k","192.168.1.20"],"exit_code":1}])");
    EXPECT_EQ(failureOf([&] { killSwitch().restoreAfterLaunch(); }), kPolicyRejected);
    EXPECT_EQ(pf_.calls().back(), releaseCall(13));
    EXPECT_EQ(recordBytes(), wantedRecord({12}).encoded());

    PfctlStandIn::faults(R"([{"arguments":["-k","192.168.1.20"],"exit_code":1},)"
                         R"({"arguments":["-X","14"],"exit_code":1}])");
    EXPECT_EQ(failureOf([&] { killSwitch().restoreAfterLaunch(); }), kPolicyRejected);
    EXPECT_EQ(record().enableTokens, (Tokens{12, 14}));
    EXPECT_EQ(pf_.tokens(), (Tokens{12, 14}));
}

TEST_F(KillSwitch, ReconciliationClearsStaleRecordsAndRefusesALostTailscaleTunnel) {
    // Tailscale's interface is gone: nothing changes.
    writeRecord(wantedTailscaleRecord({12}));
    EXPECT_EQ(failureOf([&] { killSwitch().restoreAfterLaunch(); }), kTailscaleUnavailable);
    EXPECT_EQ(recordBytes(), wantedTailscaleRecord({12}).encoded());
    EXPECT_TRUE(pf_.calls().empty());

    // An invalid record is reported, not cleared.
    writeRecord("{}");
    EXPECT_EQ(failureOf([&] { killSwitch().restoreAfterLaunch(); }), kCorrupt);
    EXPECT_EQ(recordBytes(), "{}");
    EXPECT_TRUE(pf_.calls().empty());

    // A lapsed lease is cleared instead of being applied again.
    pf_.seed("rules\n", 13, {12});
    writeRecord(wantedRecord({12}, -0.5));
    killSwitch().restoreAfterLaunch();
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(12)}));
    EXPECT_FALSE(hasRecord());

    // Without a record: DNS restored and the anchor flushed all the same.
    applyDNS();
    pf_.clearCalls();
    killSwitch().restoreAfterLaunch();
    EXPECT_EQ(pf_.calls(), Calls{flushCall()});
    EXPECT_FALSE(dnsApplied());
}

TEST_F(KillSwitch, DeactivationAlwaysGivesBackTheDirectPath) {
    // Every recorded reference is released, whatever boot the record is of.
    pf_.seed("rules\n", 13, {7});
    State otherBoot = wantedRecord({7});
    otherBoot.bootTimeSeconds = kBoot + 1;
    writeRecord(otherBoot);
    applyDNS();
    killSwitch().deactivate();
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(7)}));
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(dnsApplied());

    // A record that cannot be read is repaired, and the call succeeds.
    for (const bool withRecord : {true, false}) {
        SCOPED_TRACE(withRecord);
        if (withRecord) writeRecord("{\"schema\":", 0644);
        applyDNS();
        pf_.clearCalls();
        killSwitch().deactivate();
        EXPECT_EQ(pf_.calls(), Calls{flushCall()});
        EXPECT_FALSE(hasRecord());
        EXPECT_FALSE(dnsApplied());
    }

    // A DNS restore that fails fails the call.
    breakDNS();
    EXPECT_EQ(failureOf([&] { killSwitch().deactivate(); }), kDNSFailed);
}

TEST_F(KillSwitch, ForcedClearingFlushesEvenWhenDNSCannotBeRestored) {
    pf_.seed("rules\n", 13, {12});
    writeRecord(wantedRecord({12}));
    applyDNS();
    killSwitch().clearState();
    // The file is not read: its references are not released.
    EXPECT_EQ(pf_.calls(), Calls{flushCall()});
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(dnsApplied());
    EXPECT_EQ(pf_.tokens(), Tokens{12});

    pf_.seed("rules\n", 13, {12});
    pf_.clearCalls();
    writeRecord(wantedRecord({12}, -1.0));
    breakDNS();
    EXPECT_EQ(failureOf([&] { killSwitch().clearState(); }), kDNSFailed);
    EXPECT_EQ(pf_.calls(), Calls{flushCall()});
    EXPECT_EQ(pf_.anchorRules(), "");
    EXPECT_TRUE(hasRecord());
}

// ---- The lock ----

TEST_F(KillSwitch, OneLockSerialisesEveryInstanceOfTheProcess) {
    pf_.seed("", 1, {});
    std::future<bool> status;
    {
        const auto guard = PacketFilterKillSwitch::acquireLock();
        status = std::async(std::launch::async, [this] { return killSwitch().isProtectionActive(); });
        EXPECT_EQ(status.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    }
    EXPECT_FALSE(status.get());

    // Activations and renewals racing from instances of their own never
    // leave a reference that no record names.
    std::vector<std::thread> threads;
    std::atomic<int> failures = 0;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 3; ++round) {
                try {
                    killSwitch().activate({thread % 2 == 0 ? "203.0.113.5" : "198.51.100.20", 443, "en0"});
                    killSwitch().renewLease();
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(record().enableTokens, pf_.tokens());
    EXPECT_EQ(pf_.tokens().size(), 1u);
    EXPECT_EQ(pf_.anchorRules(), rulesOf(record()));
}

}  // namespace
}  // namespace tarnel
