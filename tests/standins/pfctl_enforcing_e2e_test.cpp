// The pfctl stand-in's enforcing mode on real packets: the kill switch's rule
// shapes loaded into a network namespace decide which TCP connections leave it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <tuple>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/child_process.hpp"
#include "tests/support/build_products.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

// Accepts TCP connections on the given address and ports and closes them.
ChildProcess listen(const NetworkNamespace& space, const std::string& address, const std::vector<int>& ports) {
    std::string portList;
    for (const int port : ports) portList += std::to_string(port) + ",";
    const std::string program =
        "import socket, selectors\n"
        "s = selectors.DefaultSelector()\n"
        "for p in (" + portList + "):\n"
        "    l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "    l.bind(('" + address + "', p)); l.listen(16); s.register(l, selectors.EVENT_READ)\n"
        "print('ready', flush=True)\n"
        "while True:\n"
        "    for key, _ in s.select():\n"
        "        c, _ = key.fileobj.accept(); c.close()\n";
    ChildProcess::Options options;
    options.executable = "/usr/bin/python3";
    options.arguments = {"-c", program};
    options.output = ChildProcess::Redirect::null();
    return space.launch(options);
}

class PfctlEnforcing : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        client_.emplace();
        peer_.emplace();
        client_->addVeth("192.168.7.1/24", VethPeer{&*peer_, "eth0", "192.168.7.2/24"});
        for (const auto& [space, device, addresses] :
             {std::tuple{&*client_, "en0", std::vector<std::string>{"203.0.113.1/24", "198.51.100.1/24"}},
              std::tuple{&*peer_, "eth0", std::vector<std::string>{"203.0.113.5/24", "198.51.100.9/24"}}}) {
            for (const auto& address : addresses) space->ip({"address", "add", address, "dev", device});
        }
        peerListener_.emplace(listen(*peer_, "0.0.0.0", {443, 80, 53}));
        loopbackListener_.emplace(listen(*client_, "127.0.0.1", {8080}));
        // Both listeners answer before the first probe.
        ASSERT_TRUE(eventually([&] { return connects("192.168.7.2", 53) && connects("127.0.0.1", 8080); }));
        ::setenv("TARNEL_PFCTL_STATE_DIRECTORY", state_.path().c_str(), 1);
        ::setenv("TARNEL_PFCTL_ENFORCE", "1", 1);
    }
    void TearDown() override {
        ::unsetenv("TARNEL_PFCTL_STATE_DIRECTORY");
        ::unsetenv("TARNEL_PFCTL_ENFORCE");
    }

    template <typename Predicate>
    static bool eventually(Predicate predicate) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (predicate()) return true;
            ::usleep(100'000);
        }
        return false;
    }

    // A TCP connection from the client namespace, as root or as nobody; a
    // dropped connection attempt ends after a second.
    bool connects(const std::string& address, int port, bool asNobody = false) const {
        std::vector<std::string> arguments{"1", "/bin/bash", "-c", "exec 3<>/dev/tcp/" + address + "/" + std::to_string(port)};
        std::filesystem::path program = "/usr/bin/timeout";
        if (asNobody) {
            arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/timeout"});
            program = "/usr/bin/setpriv";
        }
        return client_->run({program, arguments}, 10.0).terminationStatus == 0;
    }

    // pfctl in the client namespace; its exit status.
    int pfctl(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt) const {
        return client_->inside([&] {
            return BoundedCommandRunner::run({buildProduct("standins/pfctl/pfctl"), arguments},
                                             {.standardInput = input, .standardErrorToOutput = true}, 1 << 20,
                                             [](double) {})
                .terminationStatus;
        });
    }

    std::string nftTables() const { return client_->run({"/usr/sbin/nft", {"list", "tables"}}).output; }

    TemporaryDirectory state_;
    std::optional<NetworkNamespace> client_;
    std::optional<NetworkNamespace> peer_;
    std::optional<ChildProcess> peerListener_;
    std::optional<ChildProcess> loopbackListener_;
};

constexpr const char* kAnchor = "com.apple/tarnel-direct";

// The kill switch's plain rule text for the endpoint 203.0.113.5:443, with one
// line for processes of root only.
constexpr const char* kRules =
    "pass out quick on lo0 all keep state\n"
    "pass out quick proto { tcp, udp } to { 203.0.113.5 } port 443 keep state\n"
    "pass out quick proto tcp to { 198.51.100.9 } port 80 user root keep state\n"
    "block drop out quick proto { tcp, udp } to any port { 53, 853 }\n"
    "pass out quick to { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16, 224.0.0.0/4, "
    "255.255.255.255/32, fc00::/7, ff00::/8, fe80::/10 } keep state\n"
    "block drop out quick all\n";

TEST_F(PfctlEnforcing, TheLoadedRulesDecideWhichConnectionsLeaveOnlyWhileAReferenceIsHeld) {
    if (IsSkipped()) return;
    struct Probe {
        const char* name;
        const char* address;
        int port;
        bool asNobody;
        bool passesWhileEnforced;
    };
    const std::vector<Probe> probes{
        {"endpoint", "203.0.113.5", 443, false, true},
        {"endpoint, another port", "203.0.113.5", 80, false, false},
        {"internet", "198.51.100.9", 443, false, false},
        {"LAN", "192.168.7.2", 443, false, true},
        {"DNS on the LAN", "192.168.7.2", 53, false, false},
        {"loopback", "127.0.0.1", 8080, false, true},
        {"root only, as root", "198.51.100.9", 80, false, true},
        {"root only, as nobody", "198.51.100.9", 80, true, false},
    };
    const auto table = [&](bool enforced) {
        std::ostringstream mismatches;
        for (const auto& probe : probes) {
            const bool expected = !enforced || probe.passesWhileEnforced;
            const bool actual = connects(probe.address, probe.port, probe.asNobody);
            if (actual != expected) mismatches << probe.name << (actual ? " passed; " : " was blocked; ");
        }
        return mismatches.str();
    };

    EXPECT_EQ(table(false), "") << "with no rules loaded";
    ASSERT_EQ(pfctl({"-a", kAnchor, "-f", "-"}, kRules), 0);
    EXPECT_EQ(table(false), "") << "loaded, no reference held";
    ASSERT_EQ(pfctl({"-E"}), 0);
    EXPECT_EQ(table(true), "") << "enforced";
    ASSERT_EQ(pfctl({"-a", kAnchor, "-F", "all"}), 0);
    EXPECT_EQ(table(false), "") << "flushed";
    ASSERT_EQ(pfctl({"-a", kAnchor, "-f", "-"}, kRules), 0);
    EXPECT_EQ(table(true), "") << "loaded again while enabled";
    ASSERT_EQ(pfctl({"-X", "1"}), 0);
    EXPECT_EQ(table(false), "") << "the last reference released";
    EXPECT_EQ(nftTables(), "");
}

TEST_F(PfctlEnforcing, RuleTextItCannotEnforceFailsTheCallAndChangesNothing) {
    if (IsSkipped()) return;
    ASSERT_EQ(pfctl({"-E"}), 0);
    ASSERT_EQ(pfctl({"-a", kAnchor, "-f", "-"}, kRules), 0);
    const std::string before = files::readIfExists(state_.path() / "pf.json").value_or("");
    EXPECT_EQ(pfctl({"-n", "-a", kAnchor, "-f", "-"}, "pass out quick proto icmp all\n"), 1);
    EXPECT_EQ(pfctl({"-a", kAnchor, "-f", "-"}, "pass out quick proto icmp all\n"), 1);
    EXPECT_EQ(files::readIfExists(state_.path() / "pf.json").value_or(""), before);
    EXPECT_FALSE(connects("198.51.100.9", 443)) << "the rules loaded before still hold";
}

TEST(PfctlEnforcingOutsideANamespace, RefusesAndTouchesNothing) {
    // In the machine's own namespace: the guard refuses before anything else.
    const TemporaryDirectory state;
    ChildProcess::Options options;
    options.executable = buildProduct("standins/pfctl/pfctl");
    options.arguments = {"-E"};
    options.environment = {"TARNEL_PFCTL_ENFORCE=1", "TARNEL_PFCTL_STATE_DIRECTORY=" + state.path().string()};
    options.error = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    ASSERT_TRUE(child.waitForExit(30.0));
    EXPECT_EQ(child.exitStatus()->terminationStatus(), 2);
    EXPECT_TRUE(std::filesystem::is_empty(state.path())) << "no lock, no state, no record";
}

}  // namespace
}  // namespace tarnel::testing
