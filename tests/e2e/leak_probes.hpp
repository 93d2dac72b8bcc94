#pragma once

// What a leak would use, probed from the client namespace of
// tunnel_topology.hpp, for the end-to-end tests of the protection:
//
//   TunnelTopology topology;
//   LeakHosts hosts(topology);                  // the echo hosts, answering
//   LeakRow row = runLeakRow(topology.client());
//   EXPECT_EQ(row.compare("before Connect", LeakColumn::off), "");
//
//   LeakWatch watch(topology.client(), helper.pf());
//   ... // switch the protection on, stamp X on the monotonic clock
//   EXPECT_EQ(watch.violationsFromFirstRules(X), "");
//
// The internet host stands for any address on the internet and the LAN host
// for a host of the local network: each answers TCP and UDP with the source
// address it saw, so a probe's line tells whether it went out directly, went
// through the tunnel or was blocked. Every stamp is CLOCK_MONOTONIC in seconds
// (SystemClock::uptime(), Python's time.monotonic()).

#include <array>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/process/child_process.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// The protection states whose cells the probes have, each a column:
//   off            nothing runs: every probe's positive control (the tunnel's
//                  resolver answers unprotected too, the server being the
//                  client's router)
//   offRuntime     the runtime started directly, without a kill switch
//   connecting     the kill switch on for 203.0.113.5:7000 before any tunnel
//   underGate      the kill switch on for 203.0.113.6:7000, where nothing
//                  answers, promoted to that route's tunnel while its checks
//                  run: only the LAN host passes (the tunnel's resolver, routed
//                  into that tunnel, gets no answer)
//   active         the tunnel to 203.0.113.5:7000 up and protected
//   leaseExpired   the runtime still up, the protection taken down
//   disconnected   after the application's disconnect
enum class LeakColumn { off, offRuntime, connecting, underGate, active, leaseExpired, disconnected };
inline constexpr std::size_t kLeakColumnCount = 7;
[[nodiscard]] std::string_view leakColumnName(LeakColumn column);

// One probe, and the prefix of its line in each column.
struct LeakProbe {
    const char* name;
    const char* kind;  // "tcp", "udp" (a DNS query, the peer's text back), "dns" (an A answer) or "icmp"
    const char* address;
    int port;
    const char* device;  // bound to this interface (outside the tunnel), or nullptr
    std::array<const char*, kLeakColumnCount> expected;

    [[nodiscard]] const char* cell(LeakColumn column) const { return expected.at(static_cast<std::size_t>(column)); }
};

// Every probe, in the order of a row's lines. A line is "pass <what the peer
// answered>", "pass refused" (a TCP connection refused by the host, which it
// reached) or "block <why>".
[[nodiscard]] const std::vector<LeakProbe>& leakProbes();
// The probe of that name; throws std::out_of_range.
[[nodiscard]] const LeakProbe& leakProbe(std::string_view name);

// Starts the echo hosts in the internet and LAN namespaces of `topology` and
// waits until every listener is bound (the topology's tunnel server, with its
// resolver, is ready once the topology is made). Declare it after the
// topology: its hosts stop first. Throws std::runtime_error.
class LeakHosts {
public:
    explicit LeakHosts(const TunnelTopology& topology);

private:
    TemporaryDirectory directory_;
    std::optional<ChildProcess> internet_;
    std::optional<ChildProcess> lan_;
};

// The configuration the application would send for a route to `endpoint`
// port 7000 (the tunnel server's by default): the pinned-interface fixture
// pointed there.
[[nodiscard]] std::string pinnedTunnelConfiguration(const std::string& endpoint = TunnelTopology::kEndpointAddress);

// One run of every probe at once.
struct LeakRow {
    std::vector<std::string> lines;  // one a probe of leakProbes(), in order
    double start = 0.0;              // taken before the first probe started
    double end = 0.0;                // taken after the last probe ended

    // Prints the row as a table under `title`, marking each cell that does not
    // start with the column's; gives those cells ("<title>: <probe> gave
    // "<line>"; " each), empty when every cell matches.
    [[nodiscard]] std::string compare(const std::string& title, LeakColumn column) const;
};

// Runs every probe at once from `client`; a blocked probe gives up after
// `timeout` seconds (an answer takes milliseconds), so the row takes about
// that long when anything is blocked. Throws std::runtime_error.
[[nodiscard]] LeakRow runLeakRow(const NetworkNamespace& client, double timeout = 3.0);

// One sample of the watch.
struct LeakSample {
    double start = 0.0;  // taken before the first rules reading, before the probes started
    double end = 0.0;    // taken after the probes ended and the second rules reading
    bool rulesAtStart = false;
    bool rulesAtEnd = false;
    std::vector<std::string> lines;  // the lines of LeakWatch::probes(), in order

    // The kill switch held rules at both readings.
    [[nodiscard]] bool rules() const { return rulesAtStart && rulesAtEnd; }
    // Some probe outside the tunnel passed.
    [[nodiscard]] bool outsidePass() const;
    [[nodiscard]] std::string describe() const;
};

// Watches the protection from `client` until stopped: every kPeriod seconds a
// sample starts that reads whether the kill switch's anchor holds rules (the
// pfctl stand-in's state: anchor rules loaded and a reference held, which is
// when the enforcing stand-in enforces them), runs the probes "internet TCP,
// outside the tunnel" and "DNS 53, outside the tunnel" side by side (each
// giving up after kProbeTimeout), and reads the rules again. Samples overlap
// while probes are blocked. One Python process does it all, writing a JSON
// line a sample in the order the samples started. Declare the watch after the
// namespace: it stops first.
//
// A sample counts in a window [from, until] when it started at or after
// `from` and ended at or before `until`; samples that straddle either bound do
// not count. A window holds when every sample in it had rules at both
// readings and no probe of it passed. The checks wait, while the watch runs,
// until a sample has started after `until`, so that every sample that can
// count has been written.
class LeakWatch {
public:
    static constexpr double kPeriod = 0.2;
    static constexpr double kProbeTimeout = 1.0;

    LeakWatch(const NetworkNamespace& client, const PfctlStandIn& pf);
    ~LeakWatch();
    LeakWatch(const LeakWatch&) = delete;
    LeakWatch& operator=(const LeakWatch&) = delete;

    // The probes of each sample.
    [[nodiscard]] static const std::vector<const LeakProbe*>& probes();

    // Ends the watch process; the samples written so far stay.
    void stop();

    // Every sample written so far, in the order they started.
    [[nodiscard]] std::vector<LeakSample> samples() const;

    // The window from the first sample with rules that started at or after
    // `since` to `until`: a description of every sample in it without rules
    // or with a probe that passed, empty when it holds. Fails (a description)
    // when no sample with rules lies in the window at all.
    [[nodiscard]] std::string violationsFromFirstRules(double until,
                                                       double since = -std::numeric_limits<double>::infinity()) const;
    // The same over the window [from, until].
    [[nodiscard]] std::string violationsBetween(double from, double until) const;

    // Waits up to `seconds` until a sample that started after `stamp` has been
    // written; false when none came.
    bool waitForSampleAfter(double stamp, double seconds = 15.0) const;

private:
    [[nodiscard]] std::string violationsIn(double from, double until, const std::vector<LeakSample>& all) const;

    TemporaryDirectory directory_;
    std::filesystem::path output_;
    std::optional<ChildProcess> process_;
};

}  // namespace tarnel::testing
