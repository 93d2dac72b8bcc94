#include <gtest/gtest.h>
#include <stdlib.h>


#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/protection/packet_filter_control.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/protection/sample_inputs.hpp"
#include "tests/support/build_products.hpp"

namespace tarnel {
namespace {

using testing::buildProduct;
using testing::TemporaryDirectory;
using T = TailscaleUnderlayTransport;
using Case = PrivilegedRuntimeError::Case;
using Arguments = std::vector<std::string>;

const std::string kAnchor(packetFilterAnchor);
const Arguments kDryRun = {"-n", "-a", kAnchor, "-f", "-"};
const Arguments kLoad = {"-a", kAnchor, "-f", "-"};

double now() { return SystemClock::shared().uptime(); }

using Call = testing::PfctlCall;

Call call(Arguments arguments, std::optional<std::string> input = std::nullopt) {
    return testing::pfctlCall(std::move(arguments), std::move(input));
}

// The pfctl stand-in in place of the system's tool, its state in a directory
// of the test's own.
class PacketFilterControlIntegration : public ::testing::Test {
protected:
    static void faults(const std::string& json) { testing::PfctlStandIn::faults(json); }
    void stateListing(const std::string& text) const { pf_.stateListing(text); }
    void seed(const std::string& anchorRules, std::uint64_t nextToken, const std::vector<std::uint64_t>& tokens) const {
        pf_.seed(anchorRules, nextToken, tokens);
    }
    [[nodiscard]] std::vector<Call> calls() const { return pf_.calls(); }
    [[nodiscard]] Call lastCall() const { return pf_.lastCall(); }
    [[nodiscard]] std::string anchorRules() const { return pf_.anchorRules(); }
    [[nodiscard]] std::vector<std::uint64_t> tokens() const { return pf_.tokens(); }

    TemporaryDirectory directory_;
    testing::PfctlStandIn pf_{directory_ / "pf"};
    PacketFilterControl control_;
};

template <typename Body>
std::optional<Case> runtimeFailure(Body body) {
    try {
        body();
    } catch (const PrivilegedRuntimeError& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

TEST_F(PacketFilterControlIntegration, RulesAreCheckedByADryRunAndThenLoadedOnStandardInput) {
    const auto inputs = testing::workedExampleInputs();
    const std::string rules = PacketFilterRules::anchorRules(inputs);
    control_.loadAnchorRules(inputs);
    EXPECT_EQ(calls(), (std::vector<Call>{call(kDryRun, rules), call(kLoad, rules)}));
    EXPECT_EQ(anchorRules(), rules);

    // Inputs the rules refuse run nothing.
    auto invalid = inputs;
    invalid.endpointPort = 0;
    EXPECT_THROW(control_.loadAnchorRules(invalid), PrivilegedHelperContractError);
    EXPECT_EQ(calls().size(), 2u);

    control_.flushAnchor();
    EXPECT_EQ(lastCall(), call({"-a", kAnchor, "-F", "all"}));
    EXPECT_EQ(anchorRules(), "");
}

TEST_F(PacketFilterControlIntegration, AFailedDryRunLoadsNothing) {
    seed("previous rules\n", 1, {});
    faults(R"([{"arguments":["-n","-a","com.apple/tarnel-direct","-f","-"],"exit_code":1,"output":"syntax error\n"}])");
    EXPECT_EQ(runtimeFailure([&] { control_.loadAnchorRules(testing::workedExampleInputs()); }), Case::packetFilterCommandFailed);
    EXPECT_EQ(anchorRules(), "previous rules\n");
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0].arguments, kDryRun);

    // A failed load after a good dry run reports the same error.
    faults(R"([{"arguments":["-a","com.apple/tarnel-direct","-f","-"],"exit_code":1}])");
    EXPECT_EQ(runtimeFailure([&] { control_.loadAnchorRules(testing::workedExampleInputs()); }), Case::packetFilterCommandFailed);
    EXPECT_EQ(anchorRules(), "previous rules\n");
}

TEST_F(PacketFilterControlIntegration, EnableReadsTheTokenFromStandardErrorInTheOneOutput) {
    seed("", 42, {7});
    EXPECT_EQ(control_.enablePacketFilter(), 42u);
    EXPECT_EQ(tokens(), (std::vector<std::uint64_t>{7, 42}));
    // The whole output, both streams, reaches the caller.
    EXPECT_EQ(control_.runPacketFilterControl({"-E"}),
              "No ALTQ support in kernel\nALTQ related functions disabled\npf already enabled\nToken : 43\n");

    for (const char* output : {"pf enabled\\nToken : 18446744073709551616\\n", "pf enabled\\n", "Token : \\n"}) {
        SCOPED_TRACE(output);
        faults(std::string(R"([{"arguments":["-E"],"output":")") + output + R"("}])");
        EXPECT_EQ(runtimeFailure([&] { (void)control_.enablePacketFilter(); }), Case::packetFilterEnableFailed);
    }
    faults(R"([{"arguments":["-E"],"exit_code":1,"output":"Token : 5\n"}])");
    EXPECT_EQ(runtimeFailure([&] { (void)control_.enablePacketFilter(); }), Case::packetFilterCommandFailed);
}

TEST_F(PacketFilterControlIntegration, ReleaseRunsEachTokenOnceAscendingAndKeepsTheFailures) {
    seed("", 10, {3, 5, 9});
    faults(R"([{"arguments":["-X","5"],"exit_code":1}])");
    EXPECT_EQ(control_.releaseEnableTokens({5, 3, 5}), std::vector<std::uint64_t>{5});
    EXPECT_EQ(calls(), (std::vector<Call>{call({"-X", "3"}), call({"-X", "5"})}));
    EXPECT_EQ(tokens(), (std::vector<std::uint64_t>{5, 9}));

    // A token the filter does not hold fails its release like any other.
    ::unsetenv("TARNEL_PFCTL_FAULTS");
    EXPECT_EQ(control_.releaseEnableTokens({18446744073709551615ULL, 9, 4}),
              (std::vector<std::uint64_t>{4, 18446744073709551615ULL}));
    EXPECT_EQ(tokens(), (std::vector<std::uint64_t>{5}));
    EXPECT_TRUE(control_.releaseEnableTokens({}).empty());
}

TEST_F(PacketFilterControlIntegration, StatesAreKilledPerAddressOrByThePlansPairs) {
    control_.killStates({"192.168.1.20", "fe80::1"}, std::nullopt);
    EXPECT_EQ(calls(), (std::vector<Call>{call({"-k", "192.168.1.20"}), call({"-k", "fe80::1"})}));

    // The first failure ends the kills.
    faults(R"([{"arguments":["-k","10.0.0.1"],"exit_code":1}])");
    EXPECT_EQ(runtimeFailure([&] { control_.killStates({"10.0.0.1", "10.0.0.2"}, std::nullopt); }),
              Case::packetFilterCommandFailed);
    EXPECT_EQ(lastCall(), call({"-k", "10.0.0.1"}));
    ::unsetenv("TARNEL_PFCTL_FAULTS");

    // Tailscale mode: the listing, then each pair of the plan in its order.
    const std::vector<TailscaleUnderlayEndpoint> underlay = {{"198.51.100.7", 443, T::tcp}};
    stateListing("ALL tcp 192.168.1.20:5000 -> 198.51.100.7:443 ESTABLISHED:ESTABLISHED\n"
                 "ALL udp 192.168.1.20:5353 -> 203.0.113.9:53 MULTIPLE:MULTIPLE\n"
                 "ALL tcp 192.168.1.20:5001 -> 198.51.100.70:443 ESTABLISHED:ESTABLISHED\n");
    const std::size_t before = calls().size();
    control_.killStates({"192.168.1.20"}, underlay);
    const auto all = calls();
    EXPECT_EQ(std::vector<Call>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              (std::vector<Call>{call({"-q", "-s", "states"}), call({"-k", "192.168.1.20", "-k", "198.51.100.70"}),
                                 call({"-k", "192.168.1.20", "-k", "203.0.113.9"})}));

    // The planner's errors pass unchanged and nothing is killed.
    stateListing("ALL tcp 192.168.1.20:5000 198.51.100.7:443\n");
    try {
        control_.killStates({"192.168.1.20"}, underlay);
        ADD_FAILURE() << "planned";
    } catch (const PrivilegedHelperContractError& error) {
        EXPECT_EQ(error.reason(), "PF state table format is unsupported");
    }
    EXPECT_EQ(lastCall(), call({"-q", "-s", "states"}));
    // A present but empty underlay list is Tailscale mode, and the planner refuses it.
    EXPECT_THROW(control_.killStates({"192.168.1.20"}, std::vector<TailscaleUnderlayEndpoint>{}),
                 PrivilegedHelperContractError);
}

TEST_F(PacketFilterControlIntegration, AToolThatExitsWithoutReadingItsInputFailsAndThisProcessLivesOn) {
    const std::string input(200 * 1024, 'x');
    for (const char* code : {"1", "0"}) {
        SCOPED_TRACE(code);
        faults(std::string(R"([{"exit_before_input":true,"exit_code":)") + code + "}]");
        const double start = now();
        EXPECT_EQ(runtimeFailure([&] { (void)control_.runPacketFilterControl(kDryRun, input); }),
                  Case::packetFilterCommandFailed);
        EXPECT_LT(now() - start, 5.0);
        EXPECT_EQ(lastCall(), call(kDryRun));
    }
    faults(R"([{"exit_before_input":true,"exit_code":1}])");
    try {
        control_.loadAnchorRules(testing::workedExampleInputs());
        ADD_FAILURE() << "loaded";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.message(), "The system packet filter rejected the kill-switch policy.");
    }
}

TEST_F(PacketFilterControlIntegration, RunsAreBoundedInTimeAndOutput) {
    // A tool that hangs is stopped at the deadline (long enough for the
    // stand-in to record its call on a busy machine).
    faults(R"([{"arguments":["-E"],"sleep_seconds":120}])");
    const PacketFilterControl impatient(SystemClock::shared(), 4.0);
    const double start = now();
    EXPECT_EQ(runtimeFailure([&] { (void)impatient.enablePacketFilter(); }), Case::packetFilterCommandFailed);
    EXPECT_GE(now() - start, 4.0);
    EXPECT_LT(now() - start, 30.0);
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_TRUE(testing::waitUntilGone(recorded.back().pid, 5.0));
    ::unsetenv("TARNEL_PFCTL_FAULTS");

    // Output above the cap fails the run; a listing above the planner's limit
    // but under the cap reaches the planner, which refuses it by its size.
    const std::vector<TailscaleUnderlayEndpoint> underlay = {{"198.51.100.7", 443, T::tcp}};
    stateListing(std::string(PacketFilterControl::defaultOutputLimit + 1, '\n'));
    EXPECT_EQ(runtimeFailure([&] { control_.killStates({"192.168.1.20"}, underlay); }),
              Case::packetFilterCommandFailed);
    stateListing(std::string(PacketFilterControl::defaultOutputLimit, '\n'));
    try {
        control_.killStates({"192.168.1.20"}, underlay);
        ADD_FAILURE() << "planned";
    } catch (const PrivilegedHelperContractError& error) {
        EXPECT_EQ(error.reason(), "PF state cleanup input is invalid");
    }

    // A tool that cannot be started.
    SystemTools::map(SystemTools::pfctl, directory_ / "missing");
    EXPECT_EQ(runtimeFailure([&] { (void)control_.runPacketFilterControl({"-E"}); }), Case::packetFilterCommandFailed);
}

TEST_F(PacketFilterControlIntegration, StandInAcceptsOnlyTheCallsTheSystemMakes) {
    const auto status = [](const Arguments& arguments) {
        return BoundedCommandRunner::run(BoundedCommandInvocation{std::string(SystemTools::pfctl), arguments},
                                         BoundedCommandStreams{std::string(), true}, 65536,
                                         testing::withinSeconds(10))
            .terminationStatus;
    };
    for (const Arguments& refused : std::vector<Arguments>{{},
                                                           {"-E", "-E"},
                                                           {"-a", "other", "-F", "all"},
                                                           {"-a", kAnchor, "-F", "rules"},
                                                           {"-n", "-a", kAnchor, "-f", "rules.conf"},
                                                           {"-f", "-"},
                                                           {"-s", "states"},
                                                           {"-X", "05"},
                                                           {"-X", "-5"},
                                                           {"-X", "18446744073709551616"},
                                                           {"-k", "host.example.net"},
                                                           {"-k", "192.0.2.1", "192.0.2.2"},
                                                           {"-k", "192.0.2.1", "-k"}}) {
        EXPECT_EQ(status(refused), 2) << ::testing::PrintToString(refused);
    }
    for (const Arguments& accepted : std::vector<Arguments>{
             kDryRun, {"-E"}, {"-q", "-s", "states"}, {"-k", "2001:db8::1", "-k", "192.0.2.2"}}) {
        EXPECT_EQ(status(accepted), 0) << ::testing::PrintToString(accepted);
    }
    EXPECT_EQ(status({"-X", "99"}), 1);
    // Every call is recorded, refused ones too.
    EXPECT_EQ(calls().size(), 18u);

    // A fault the stand-in cannot carry out is its own failure, never a
    // success: an exit code the system cannot report, a sleep beyond bounds.
    for (const char* fault : {R"([{"exit_code":256}])", R"([{"exit_code":-1}])",
                              R"([{"exit_before_input":true,"exit_code":512}])", R"([{"sleep_seconds":1e300}])",
                              R"([{"sleep_seconds":-1}])"}) {
        faults(fault);
        EXPECT_EQ(status({"-E"}), 1) << fault;
    }
}

TEST_F(PacketFilterControlIntegration, DiagnosticsToolPrintsWhatThePureFunctionsGive) {
    const auto tool = buildProduct("tools/pf-diagnostics/tarnel-pf-diagnostics");
    const auto run = [&](Arguments arguments, std::optional<std::string> input = std::nullopt) {
        return BoundedCommandRunner::run(BoundedCommandInvocation{tool, std::move(arguments)},
                                         BoundedCommandStreams{std::move(input), true}, 65536,
                                         testing::withinSeconds(10));
    };
    EXPECT_EQ(run({"anchor-rules", "--endpoint", "203.0.113.5", "--port", "443", "--tunnel", "utun5",
                   "--tailscale-tunnel", "utun3", "--physical-interface", "en0", "--source", "192.168.1.20",
                   "--underlay", "tcp,198.51.100.7,443", "--underlay", "udp,198.51.100.7,3478", "--underlay",
                   "udp,192.0.2.9,41641"}),
              (BoundedCommandResult{0, PacketFilterRules::anchorRules(testing::workedExampleInputs())}));
    EXPECT_EQ(run({"anchor-rules", "--endpoint", "203.0.113.5", "--port", "0"}),
              (BoundedCommandResult{1, "TarnelDirectHelper.PrivilegedHelperContractError: Privileged tunnel "
                                       "configuration rejected: kill-switch endpoint port is invalid.\n"}));
    EXPECT_EQ(run({"state-plan", "--address", "192.168.1.20", "--underlay", "tcp,198.51.100.7,443"},
                  "ALL udp 192.168.1.20:1 -> 2001:db8::1[53] M\n"),
              (BoundedCommandResult{0, "192.168.1.20 2001:db8::1\n"}));
    EXPECT_EQ(run({"tailscale-request"}, R"({"schema":2.5,"derp_region_ids":[1,9],"relay_region_id":9.0})"),
              (BoundedCommandResult{0, "regions 1 9\nrelay 9\n"}));
    EXPECT_EQ(run({"enable-token"}, "pf enabled\nToken : 42\n"), (BoundedCommandResult{0, "42\n"}));
    EXPECT_EQ(run({"underlay", "--underlay", "udp,10.0.0.2,80", "--underlay", "tcp,10.0.0.1,443"}),
              (BoundedCommandResult{0, "tcp 10.0.0.1 443\nudp 10.0.0.2 80\n"}));
    EXPECT_EQ(run({"anchor-rules", "--bogus", "x"}).terminationStatus, 2);
    EXPECT_EQ(run({"anchor-rules", "--endpoint", "203.0.113.5", "--port", "443", "--", "x"}).terminationStatus, 2);
}

}  // namespace
}  // namespace tarnel
