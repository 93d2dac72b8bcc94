#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/protection/packet_filter_rules.hpp"
#include "helper/protection/system_dns_override.hpp"
#include "platform/boot_clock.hpp"
#include "platform/network_interfaces.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/protection/socket_addresses.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

inline constexpr double kNow = 1700000000.25;
inline constexpr std::int64_t kBoot = 1699990000;
inline const std::string kAnchor(packetFilterAnchor);

inline PfctlCall dryRunCall(const std::string& rules) { return pfctlCall({"-n", "-a", kAnchor, "-f", "-"}, rules); }
inline PfctlCall loadCall(const std::string& rules) { return pfctlCall({"-a", kAnchor, "-f", "-"}, rules); }
inline PfctlCall flushCall() { return pfctlCall({"-a", kAnchor, "-F", "all"}); }
inline PfctlCall enableCall() { return pfctlCall({"-E"}); }
inline PfctlCall releaseCall(std::uint64_t token) { return pfctlCall({"-X", std::to_string(token)}); }
inline PfctlCall killCall(const std::string& address) { return pfctlCall({"-k", address}); }

// A wanted plain record of this boot: server 203.0.113.5:443, the physical
// address 192.168.1.20, a lease that ends `leaseLeft` seconds after kNow.
inline PacketFilterKillSwitch::State wantedRecord(std::vector<std::uint64_t> tokens, double leaseLeft = 60.0) {
    PacketFilterKillSwitch::State state;
    state.desiredActive = true;
    state.bootTimeSeconds = kBoot;
    state.leaseExpiresAt = kNow + leaseLeft;
    state.endpointAddresses = {"203.0.113.5"};
    state.endpointPort = 443;
    state.physicalAddresses = {"192.168.1.20"};
    state.enableTokens = std::move(tokens);
    return state;
}

// The same record in Tailscale mode beside Tailscale's utun3 on en0.
inline PacketFilterKillSwitch::State wantedTailscaleRecord(std::vector<std::uint64_t> tokens) {
    auto state = wantedRecord(std::move(tokens));
    state.tailscaleUnderlayEndpoints = {{"198.51.100.7", 443, TailscaleUnderlayTransport::tcp}};
    state.tailscaleRegionIDs = {1, 9};
    state.tailscaleRelayRegionID = 9;
    state.tailscalePhysicalInterface = "en0";
    state.tailscaleTunnelInterface = "utun3";
    return state;
}

inline std::string rulesOf(const PacketFilterKillSwitch::State& state) {
    return PacketFilterRules::anchorRules(PacketFilterKillSwitch::anchorInputs(state));
}

inline const std::string kCorrupt = "The protected kill-switch state is invalid.";
inline const std::string kLeaseExpired = "The kill-switch safety lease expired; reconnect to enable protection again.";
inline const std::string kDNSFailed = "The protected DNS configuration could not be applied or restored.";

// A kill switch over a runtime directory of the test's own, with the pfctl
// stand-in, a file-backed system configuration, a wall clock at kNow, the
// boot kBoot, en0 with 192.168.1.20, and a resolver of the test's own.
class KillSwitchFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the kill switch's record and its directory must be owned by root";
        interfaces_.add("lo", "127.0.0.1");
        interfaces_.add("en0", "192.168.1.20");
    }

    [[nodiscard]] PacketFilterKillSwitch killSwitch() const {
        PacketFilterKillSwitch::Services services;
        services.wallClock = &clock_;
        services.bootClock = &boot_;
        services.interfaces = &interfaces_;
        services.resolver = [this](const std::string& host) { return resolve(host); };
        return PacketFilterKillSwitch(runtime_, dns_, std::move(services));
    }

    [[nodiscard]] std::filesystem::path recordPath() const { return runtime_ / "kill-switch-state.json"; }
    [[nodiscard]] bool hasRecord() const {
        struct stat status {};
        return ::lstat(recordPath().c_str(), &status) == 0;
    }
    [[nodiscard]] std::optional<std::string> recordBytes() const { return files::readIfExists(recordPath()); }
    [[nodiscard]] PacketFilterKillSwitch::State record() const {
        const auto bytes = recordBytes();
        if (!bytes) throw std::runtime_error("no record");
        return PacketFilterKillSwitch::State::decode(*bytes);
    }
    void writeRecord(const std::string& text, mode_t mode = 0600, uid_t owner = 0) const {
        files::ensurePrivateDirectory(runtime_);
        files::writeAtomically(recordPath(), text, mode);
        if (::chown(recordPath().c_str(), owner, 0) != 0) throw std::runtime_error("chown");
    }
    void writeRecord(const PacketFilterKillSwitch::State& state) const { writeRecord(state.encoded()); }

    // The DNS override in force for utun5, as a started tunnel leaves it.
    void applyDNS() const { dns_->apply("utun5"); }
    [[nodiscard]] bool dnsApplied() const {
        return configuration_->openDynamicStore("check")->copyValue(SystemDNSOverride::resolverKey()).has_value();
    }
    // Every later DNS restore fails: the store can no longer be read.
    void breakDNS() const {
        std::filesystem::create_directories(directory_ / "sysconfig");
        files::writeAtomically(directory_ / "sysconfig" / "dynamic-store.plist", "broken");
    }

    // The resolver's answers, by name; every other name fails.
    std::map<std::string, std::vector<sockaddr_storage>> answers_;
    mutable std::vector<std::string> resolved_;

    TemporaryDirectory directory_;
    std::filesystem::path runtime_ = directory_ / "runtime";
    PfctlStandIn pf_{directory_ / "pf"};
    FakeClock clock_{1000.0, kNow};
    FakeBootClock boot_{kBoot};
    FakeNetworkInterfaceLookup interfaces_;
    std::shared_ptr<sysconfig::FileSystemConfiguration> configuration_ =
        std::make_shared<sysconfig::FileSystemConfiguration>(directory_ / "sysconfig");
    std::shared_ptr<SystemDNSOverride> dns_ = std::make_shared<SystemDNSOverride>(runtime_, configuration_);

private:
    [[nodiscard]] std::optional<std::vector<sockaddr_storage>> resolve(const std::string& host) const {
        resolved_.push_back(host);
        const auto found = answers_.find(host);
        if (found == answers_.end()) return std::nullopt;
        return found->second;
    }
};

}  // namespace tarnel::testing
