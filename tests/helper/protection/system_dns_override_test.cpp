#include "helper/protection/system_dns_override.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/base/base64.hpp"
#include "common/base/files.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using sysconfig::PropertyList;
using Array = PropertyList::Array;
using Dictionary = PropertyList::Dictionary;
using ErrorCase = SystemDNSOverrideError::Case;

constexpr std::string_view kResolverKey = "State:/Network/Service/1429A615-C54F-41B0-B7DA-69688D14C9DB/DNS";

// A system configuration in memory that counts and can break what the
// override asks of it.
class ObservedConfiguration final : public sysconfig::SystemConfiguration {
public:
    struct Faults {
        bool openStore = false;
        bool openPreferences = false;
        bool set = false;             // setValue stores nothing and answers false
        bool setReportsFailure = false;  // setValue stores the value but answers false
        std::optional<sysconfig::PropertyList> storedInstead;  // setValue stores this and answers true
        bool remove = false;
        bool setProtocol = false;
        bool commit = false;
        bool apply = false;
    };

    sysconfig::MemorySystemConfiguration memory;
    Faults faults;
    // Runs at every setValue before it reaches the store.
    std::function<void()> beforeSet;
    std::vector<std::string> clientNames;
    int sets = 0;
    int commits = 0;
    int applies = 0;

    std::unique_ptr<sysconfig::DynamicStore> openDynamicStore(std::string_view clientName) override {
        clientNames.emplace_back(clientName);
        if (faults.openStore) return nullptr;
        return std::make_unique<Store>(*this, memory.openDynamicStore(clientName));
    }

    std::unique_ptr<sysconfig::Preferences> openPreferences(std::string_view clientName) override {
        clientNames.emplace_back(clientName);
        if (faults.openPreferences) return nullptr;
        return std::make_unique<Session>(*this, memory.openPreferences(clientName));
    }

private:
    class Store final : public sysconfig::DynamicStore {
    public:
        Store(ObservedConfiguration& owner, std::unique_ptr<sysconfig::DynamicStore> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        std::optional<sysconfig::PropertyList> copyValue(std::string_view key) override { return inner_->copyValue(key); }
        bool setValue(std::string_view key, const sysconfig::PropertyList& value) override {
            ++owner_.sets;
            if (owner_.beforeSet) owner_.beforeSet();
            if (owner_.faults.set) return false;
            if (owner_.faults.storedInstead) return inner_->setValue(key, *owner_.faults.storedInstead);
            const bool stored = inner_->setValue(key, value);
            return stored && !owner_.faults.setReportsFailure;
        }
        bool removeValue(std::string_view key) override { return !owner_.faults.remove && inner_->removeValue(key); }

    private:
        ObservedConfiguration& owner_;
        std::unique_ptr<sysconfig::DynamicStore> inner_;
    };

    class Session final : public sysconfig::Preferences {
    public:
        Session(ObservedConfiguration& owner, std::unique_ptr<sysconfig::Preferences> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        std::optional<std::vector<sysconfig::NetworkService>> currentSetServices() override {
            return inner_->currentSetServices();
        }
        std::optional<sysconfig::NetworkProtocolEntry> protocol(std::string_view service, std::string_view type) override {
            return inner_->protocol(service, type);
        }
        bool setProtocolConfiguration(std::string_view service, std::string_view type,
                                      const std::optional<sysconfig::PropertyList::Dictionary>& configuration) override {
            return !owner_.faults.setProtocol && inner_->setProtocolConfiguration(service, type, configuration);
        }
        bool setProtocolEnabled(std::string_view service, std::string_view type, bool enabled) override {
            return !owner_.faults.setProtocol && inner_->setProtocolEnabled(service, type, enabled);
        }
        bool commitChanges() override {
            ++owner_.commits;
            return !owner_.faults.commit && inner_->commitChanges();
        }
        bool applyChanges() override {
            ++owner_.applies;
            return !owner_.faults.apply && inner_->applyChanges();
        }

    private:
        ObservedConfiguration& owner_;
        std::unique_ptr<sysconfig::Preferences> inner_;
    };
};

using testing::failureOf;

Dictionary resolverFor(const std::string& interfaceName) {
    return Dictionary{
        {"InterfaceName", interfaceName},
        {"ServerAddresses", Array{"172.19.0.2"}},
        {"SupplementalMatchDomains", Array{""}},
        {"SupplementalMatchOrders", Array{100000}},
        {"ConfirmedServiceID", "1429A615-C54F-41B0-B7DA-69688D14C9DB"},
    };
}

sysconfig::NetworkServiceEntry serviceWithDNS(const std::string& interfaceName,
                                              std::optional<Dictionary> configuration, bool enabled = true) {
    return {"Service on " + interfaceName, interfaceName, {{"DNS", {enabled, std::move(configuration)}}}};
}

class SystemDNSOverrideTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the restore record and its directory must be owned by root";
    }

    [[nodiscard]] std::filesystem::path recordPath() const { return runtime_ / "dns-state.json"; }
    [[nodiscard]] bool hasRecord() const {
        struct stat status {};
        return ::lstat(recordPath().c_str(), &status) == 0;
    }
    void writeRecord(const std::string& text, mode_t mode = 0600, uid_t owner = 0) {
        files::ensurePrivateDirectory(runtime_);
        files::writeAtomically(recordPath(), text, mode);
        if (::chown(recordPath().c_str(), owner, 0) != 0) throw std::runtime_error("chown");
    }
    [[nodiscard]] std::optional<PropertyList> resolverEntry() const {
        const auto values = configuration_->memory.dynamicStoreValues();
        const auto found = values.find(std::string(kResolverKey));
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    void setResolverEntry(const std::string& interfaceName) {
        ASSERT_TRUE(configuration_->memory.openDynamicStore("seed")->setValue(kResolverKey, resolverFor(interfaceName)));
    }
    // One service whose DNS still holds the tunnel address alone, which every
    // sweep must clear.
    void addStaleService() {
        auto document = configuration_->memory.preferences();
        document.sets.at(*document.currentSet).services.push_back("STALE");
        document.services["STALE"] = serviceWithDNS("en9", Dictionary{{"ServerAddresses", Array{"172.19.0.2"}}});
        configuration_->memory.replacePreferences(document);
    }
    [[nodiscard]] bool staleServiceSwept() const {
        const auto protocol = configuration_->memory.openPreferences("check")->protocol("STALE", "DNS");
        return protocol && !protocol->configuration;
    }
    void resetCounts() {
        configuration_->clientNames.clear();
        configuration_->sets = configuration_->commits = configuration_->applies = 0;
    }

    testing::TemporaryDirectory directory_;
    std::filesystem::path runtime_ = directory_ / "runtime";
    std::shared_ptr<ObservedConfiguration> configuration_ = std::make_shared<ObservedConfiguration>();
    SystemDNSOverride override_{runtime_, configuration_};
};

TEST(SystemDNSOverrideError, MessagesAndTheResolverDictionary) {
    const struct {
        ErrorCase errorCase;
        const char* message;
    } cases[] = {
        {ErrorCase::networkServiceUnavailable, "The protected tunnel DNS service could not be identified."},
        {ErrorCase::configurationFailed, "The protected DNS configuration could not be applied or restored."},
        {ErrorCase::corruptState, "The protected DNS recovery state is invalid."},
        {ErrorCase::unsafeRuntimeDirectory, "The protected DNS runtime directory is unsafe."},
    };
    for (const auto& item : cases) EXPECT_EQ(SystemDNSOverrideError(item.errorCase).message(), item.message);
    EXPECT_EQ(SystemDNSOverrideError(ErrorCase::corruptState).typeName(), "TarnelDirect.SystemDNSOverrideError");

    EXPECT_EQ(SystemDNSOverride::resolverKey(), kResolverKey);
    EXPECT_EQ(PrivilegedHelperContract::protectedDNSResolverConfiguration("utun7"), resolverFor("utun7"));
    EXPECT_EQ(failureOf([] { (void)PrivilegedHelperContract::protectedDNSResolverConfiguration("utun7 "); }),
              "Privileged tunnel configuration rejected: protected DNS tunnel interface is invalid.");
}

TEST_F(SystemDNSOverrideTest, ApplyTwiceLeavesOneResolverAndARecordOfTheSecondInterface) {
    override_.apply("utun5");
    override_.apply("utun6");
    EXPECT_EQ(configuration_->memory.dynamicStoreValues(),
              (std::map<std::string, PropertyList>{{std::string(kResolverKey), resolverFor("utun6")}}));
    EXPECT_EQ(files::readIfExists(recordPath()), R"({"schema":2,"interfaceName":"utun6"})");
    struct stat status {};
    ASSERT_EQ(::lstat(recordPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 0u);
    ASSERT_EQ(::lstat(runtime_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(std::get<SystemDNSOverride::ResolverState>(override_.loadState()).interfaceName, "utun6");
    for (const auto& name : configuration_->clientNames) EXPECT_EQ(name, "app.tarnel.direct.helper.dns");
}

TEST_F(SystemDNSOverrideTest, TheRecordIsWrittenBeforeTheStoreIsChanged) {
    std::optional<std::string> recordAtSet;
    configuration_->beforeSet = [&] { recordAtSet = files::readIfExists(recordPath()); };
    override_.apply("utun3");
    EXPECT_EQ(recordAtSet, R"({"schema":2,"interfaceName":"utun3"})");
}

TEST_F(SystemDNSOverrideTest, ApplyRefusesAnInvalidNameAfterRestoringAndNoNameBeforeAnything) {
    override_.apply("utun5");
    EXPECT_EQ(failureOf([&] { override_.apply("en0"); }),
              "Privileged tunnel configuration rejected: protected DNS tunnel interface is invalid.");
    EXPECT_FALSE(resolverEntry());
    EXPECT_FALSE(hasRecord());

    override_.apply("utun5");
    resetCounts();
    EXPECT_EQ(failureOf([&] { override_.apply(std::nullopt); }), "The protected tunnel DNS service could not be identified.");
    EXPECT_TRUE(configuration_->clientNames.empty());
    EXPECT_EQ(resolverEntry(), PropertyList(resolverFor("utun5")));
    EXPECT_TRUE(hasRecord());
}

TEST_F(SystemDNSOverrideTest, ApplyUndoesAStoreThatDidNotTakeTheResolver) {
    Dictionary altered = resolverFor("utun5");
    altered.erase("SupplementalMatchOrders");
    const struct {
        const char* name;
        std::function<void(ObservedConfiguration::Faults&)> fault;
    } cases[] = {
        {"read back differs", [&](auto& faults) { faults.storedInstead = PropertyList(altered); }},
        {"read back is not a dictionary", [](auto& faults) { faults.storedInstead = PropertyList(Array{}); }},
        {"set stored nothing", [](auto& faults) { faults.set = true; }},
        {"set reported failure", [](auto& faults) { faults.setReportsFailure = true; }},
    };
    for (const auto& item : cases) {
        configuration_->faults = {};
        item.fault(configuration_->faults);
        EXPECT_EQ(failureOf([&] { override_.apply("utun5"); }),
                  "The protected DNS configuration could not be applied or restored.")
            << item.name;
        EXPECT_FALSE(resolverEntry()) << item.name;
        EXPECT_FALSE(hasRecord()) << item.name;
    }

    // A stored value that cannot be removed again keeps the record, and the
    // next restore finishes the job.
    configuration_->faults = {};
    configuration_->faults.storedInstead = PropertyList(altered);
    configuration_->faults.remove = true;
    EXPECT_EQ(failureOf([&] { override_.apply("utun5"); }),
              "The protected DNS configuration could not be applied or restored.");
    EXPECT_TRUE(resolverEntry());
    EXPECT_TRUE(hasRecord());
    configuration_->faults = {};
    override_.restore();
    EXPECT_FALSE(resolverEntry());
    EXPECT_FALSE(hasRecord());
}

TEST_F(SystemDNSOverrideTest, ApplyChangesNothingWhenTheStoreOrTheDirectoryIsUnusable) {
    configuration_->faults.openStore = true;
    EXPECT_EQ(failureOf([&] { override_.apply("utun5"); }),
              "The protected DNS configuration could not be applied or restored.");
    EXPECT_FALSE(hasRecord());

    configuration_->faults = {};
    files::ensurePrivateDirectory(runtime_);
    ASSERT_EQ(::chmod(runtime_.c_str(), 0755), 0);
    EXPECT_EQ(failureOf([&] { override_.apply("utun5"); }), "The protected DNS runtime directory is unsafe.");
    EXPECT_EQ(configuration_->sets, 0);
    EXPECT_FALSE(hasRecord());
}

TEST_F(SystemDNSOverrideTest, RestoreWithAnUnreadableRecordSweepsAndDeletesIt) {
    const std::string valid = R"({"schema":2,"interfaceName":"utun5"})";
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"schema 3", [&] { writeRecord(R"({"schema":3,"interfaceName":"utun5"})"); }},
        {"not JSON", [&] { writeRecord("{"); }},
        {"mode 0644", [&] { writeRecord(valid, 0644); }},
        {"owner 65534", [&] { writeRecord(valid, 0600, 65534); }},
        {"not a tunnel interface", [&] { writeRecord(R"({"schema":2,"interfaceName":"en0"})"); }},
        {"schema as text", [&] { writeRecord(R"({"schema":"2","interfaceName":"utun5"})"); }},
        {"legacy without its service", [&] { writeRecord(R"({"schema":1,"interfaceName":"en0","wasEnabled":true})"); }},
        {"legacy configuration not Base64",
         [&] {
             writeRecord(R"({"schema":1,"serviceIdentifier":"S","interfaceName":"en0","wasEnabled":true,"configuration":"%%"})");
         }},
        {"a link to a valid record",
         [&] {
             files::writeAtomically(directory_ / "elsewhere.json", valid);
             std::filesystem::create_symlink(directory_ / "elsewhere.json", recordPath());
         }},
        {"a directory", [&] { std::filesystem::create_directories(recordPath()); }},
        // Opened without waiting for a writer that never comes.
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(recordPath().c_str(), 0600), 0); }},
        {"in a directory others may write",
         [&] {
             writeRecord(valid);
             ASSERT_EQ(::chmod(runtime_.c_str(), 0757), 0);
         }},
    };
    for (const auto& item : cases) {
        files::ensurePrivateDirectory(runtime_);
        addStaleService();
        setResolverEntry("utun5");
        item.make();
        EXPECT_EQ(failureOf([&] { override_.restore(); }), "no error") << item.name;
        EXPECT_FALSE(hasRecord()) << item.name;
        EXPECT_FALSE(resolverEntry()) << item.name;
        EXPECT_TRUE(staleServiceSwept()) << item.name;
        std::filesystem::remove_all(runtime_);
    }
}

TEST_F(SystemDNSOverrideTest, RestoreKeepsTheRecordWhenTheResolverCannotBeRemoved) {
    override_.apply("utun5");
    configuration_->faults.remove = true;
    EXPECT_EQ(failureOf([&] { override_.restore(); }),
              "The protected DNS configuration could not be applied or restored.");
    EXPECT_TRUE(hasRecord());
    configuration_->faults = {};
    configuration_->faults.openPreferences = true;
    // The resolver goes, and the record with it; the sweep is not needed then.
    override_.restore();
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(resolverEntry());
    // Without a record the sweep runs, and its failure is restore's.
    EXPECT_EQ(failureOf([&] { override_.restore(); }),
              "The protected DNS configuration could not be applied or restored.");
    configuration_->faults = {};
    override_.restore();
}

TEST_F(SystemDNSOverrideTest, TheSweepRemovesOnlyALoneTunnelServerAndCommitsOnce) {
    auto document = configuration_->memory.preferences();
    const Dictionary lone{{"ServerAddresses", Array{"172.19.0.2"}}};
    const Dictionary loneWithDomain{{"ServerAddresses", Array{"172.19.0.2"}}, {"SearchDomains", Array{"lan"}}};
    const Dictionary two{{"ServerAddresses", Array{"172.19.0.2", "1.1.1.1"}}};
    const Dictionary other{{"ServerAddresses", Array{"1.1.1.1"}}};
    const Dictionary asText{{"ServerAddresses", "172.19.0.2"}};
    const Dictionary asData{{"ServerAddresses", Array{PropertyList::Data{"172.19.0.2"}}}};
    document.sets.at(*document.currentSet).services = {"A", "B", "C", "D", "E", "F", "G", "H"};
    document.services["A"] = serviceWithDNS("en0", lone);
    document.services["B"] = serviceWithDNS("en1", loneWithDomain, false);
    document.services["C"] = serviceWithDNS("en2", two);
    document.services["D"] = serviceWithDNS("en3", other);
    document.services["E"] = serviceWithDNS("en4", asText);
    document.services["F"] = serviceWithDNS("en5", asData);
    document.services["G"] = serviceWithDNS("en6", std::nullopt);
    document.services["H"] = {"No DNS", "en7", {}};
    document.services["X"] = serviceWithDNS("en8", lone);  // not in the current set
    configuration_->memory.replacePreferences(document);

    override_.restore();
    EXPECT_EQ(configuration_->commits, 1);
    EXPECT_EQ(configuration_->applies, 1);
    auto expected = document;
    expected.services["A"] = serviceWithDNS("en0", std::nullopt);
    expected.services["B"] = serviceWithDNS("en1", Dictionary{{"SearchDomains", Array{"lan"}}}, false);
    EXPECT_EQ(configuration_->memory.preferences(), expected);
    // Applied: the Setup domain shows what remains in force.
    const auto values = configuration_->memory.dynamicStoreValues();
    EXPECT_FALSE(values.contains("Setup:/Network/Service/A/DNS"));
    EXPECT_EQ(values.at("Setup:/Network/Service/C/DNS"), PropertyList(two));

    resetCounts();
    override_.restore();
    EXPECT_EQ(configuration_->commits, 0);
    EXPECT_EQ(configuration_->applies, 0);
}

TEST_F(SystemDNSOverrideTest, TheSweepFailsWithoutCommittingWhenAChangeIsRefused) {
    addStaleService();
    const struct {
        const char* name;
        std::function<void(ObservedConfiguration::Faults&)> fault;
        int commits;
    } cases[] = {
        {"store refused", [](auto& faults) { faults.setProtocol = true; }, 0},
        {"commit refused", [](auto& faults) { faults.commit = true; }, 1},
        {"preferences closed", [](auto& faults) { faults.openPreferences = true; }, 0},
        // Last: the commit went through, only its application failed.
        {"apply refused", [](auto& faults) { faults.apply = true; }, 1},
    };
    for (const auto& item : cases) {
        resetCounts();
        configuration_->faults = {};
        item.fault(configuration_->faults);
        EXPECT_EQ(failureOf([&] { override_.restore(); }),
                  "The protected DNS configuration could not be applied or restored.")
            << item.name;
        EXPECT_EQ(configuration_->commits, item.commits) << item.name;
        EXPECT_EQ(staleServiceSwept(), configuration_->faults.apply) << item.name;
    }

    configuration_->faults = {};
    auto document = configuration_->memory.preferences();
    document.currentSet = std::nullopt;
    configuration_->memory.replacePreferences(document);
    EXPECT_EQ(failureOf([&] { override_.restore(); }),
              "The protected DNS configuration could not be applied or restored.");
}

class LegacyRestoreTest : public SystemDNSOverrideTest {
protected:
    void SetUp() override {
        SystemDNSOverrideTest::SetUp();
        if (IsSkipped()) return;
        auto document = configuration_->memory.preferences();
        document.sets.at(*document.currentSet).services = {"WIFI", "BARE"};
        document.services["WIFI"] = serviceWithDNS("en0", Dictionary{{"ServerAddresses", Array{"172.19.0.2"}}}, true);
        document.services["BARE"] = {"Without DNS", "en2", {}};
        configuration_->memory.replacePreferences(document);
    }

    [[nodiscard]] sysconfig::NetworkProtocolEntry wifiDNS() const {
        return *configuration_->memory.openPreferences("check")->protocol("WIFI", "DNS");
    }
};

TEST_F(LegacyRestoreTest, ARecordWithoutConfigurationRemovesItAndRestoresTheEnabledFlag) {
    writeRecord(R"({"schema":1,"serviceIdentifier":"WIFI","interfaceName":"en0","wasEnabled":false,"extra":[1]})");
    const auto loaded = std::get<SystemDNSOverride::LegacyState>(override_.loadState());
    EXPECT_EQ(loaded, (SystemDNSOverride::LegacyState{1, "WIFI", "en0", false, std::nullopt}));
    override_.restore();
    EXPECT_EQ(wifiDNS(), (sysconfig::NetworkProtocolEntry{false, std::nullopt}));
    EXPECT_FALSE(hasRecord());
    EXPECT_EQ(configuration_->commits, 1);
    EXPECT_EQ(configuration_->applies, 1);
}

TEST_F(LegacyRestoreTest, ARecordWithConfigurationPutsTheSavedPropertyListBack) {
    const std::string bytes = testing::readFixture("plist/dns-configuration.bin");
    writeRecord(R"({"schema":1,"serviceIdentifier":"WIFI","interfaceName":"en0","wasEnabled":true,"configuration":")" +
                base64Encode(bytes) + "\"}");
    override_.restore();
    EXPECT_EQ(wifiDNS(),
              (sysconfig::NetworkProtocolEntry{true, *sysconfig::parsePropertyList(bytes).get<Dictionary>()}));
    EXPECT_FALSE(hasRecord());
}

TEST_F(LegacyRestoreTest, ARecordThatCanNeverBeRestoredEndsInTheSweep) {
    const auto record = [](const std::string& service, const std::string& interfaceName,
                           const std::optional<std::string>& configuration) {
        std::string text = R"({"schema":1,"serviceIdentifier":")" + service + R"(","interfaceName":")" +
                           interfaceName + R"(","wasEnabled":false)";
        if (configuration) text += R"(,"configuration":")" + base64Encode(*configuration) + "\"";
        return text + "}";
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"service gone", record("GONE", "en0", std::nullopt)},
        {"service without DNS", record("BARE", "en2", std::nullopt)},
        {"interface renamed", record("WIFI", "en1", std::nullopt)},
        {"configuration not a dictionary", record("WIFI", "en0", testing::readFixture("plist/array.bin"))},
        {"configuration not a property list", record("WIFI", "en0", std::string("bplist00\x01", 9))},
    };
    for (const auto& item : cases) {
        writeRecord(item.text);
        EXPECT_EQ(failureOf([&] { override_.restore(); }), "no error") << item.name;
        EXPECT_FALSE(hasRecord()) << item.name;
        // The sweep cleared the lone tunnel server, and nothing else changed.
        EXPECT_EQ(wifiDNS(), (sysconfig::NetworkProtocolEntry{true, std::nullopt})) << item.name;
        configuration_->memory.replacePreferences([&] {
            auto document = configuration_->memory.preferences();
            document.services["WIFI"] = serviceWithDNS("en0", Dictionary{{"ServerAddresses", Array{"172.19.0.2"}}});
            return document;
        }());
    }
}

TEST_F(LegacyRestoreTest, AFailedLegacyRestoreKeepsTheRecord) {
    writeRecord(R"({"schema":1,"serviceIdentifier":"WIFI","interfaceName":"en0","wasEnabled":false})");
    configuration_->faults.commit = true;
    EXPECT_EQ(failureOf([&] { override_.restore(); }),
              "The protected DNS configuration could not be applied or restored.");
    EXPECT_TRUE(hasRecord());
    EXPECT_EQ(wifiDNS(), (sysconfig::NetworkProtocolEntry{true, Dictionary{{"ServerAddresses", Array{"172.19.0.2"}}}}));
}

}  // namespace
}  // namespace tarnel
