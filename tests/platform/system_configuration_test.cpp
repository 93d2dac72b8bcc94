#include "platform/sysconfig/system_configuration.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::sysconfig {
namespace {

using Array = PropertyList::Array;
using Dictionary = PropertyList::Dictionary;

constexpr std::string_view kClient = "test.client";

// The same contract, checked on the store in files and on the one in memory.
struct Variant {
    std::string name;
    bool inFiles = false;

    friend void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }
};

class SystemConfigurationContract : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (GetParam().inFiles) {
            configuration_ = std::make_shared<FileSystemConfiguration>(directory_ / "root");
        } else {
            configuration_ = std::make_shared<MemorySystemConfiguration>();
        }
    }

    std::unique_ptr<DynamicStore> store() {
        auto opened = configuration_->openDynamicStore(kClient);
        if (!opened) throw std::runtime_error("dynamic store did not open");
        return opened;
    }
    std::unique_ptr<Preferences> preferences() {
        auto opened = configuration_->openPreferences(kClient);
        if (!opened) throw std::runtime_error("preferences did not open");
        return opened;
    }

    testing::TemporaryDirectory directory_;
    std::shared_ptr<StoredSystemConfiguration> configuration_;
};

// Three services in the current set, listed out of identifier order; a fourth
// exists only in another set, and the set names one service that does not exist.
PreferencesDocument threeServices() {
    PreferencesDocument document;
    document.currentSet = "home";
    document.sets["home"] = {"Home", {"C-wifi", "missing", "A-ethernet", "B-bare"}};
    document.sets["work"] = {"Work", {"D-other"}};
    document.services["C-wifi"] = {"Wi-Fi", "en0", {{"DNS", {true, Dictionary{{"ServerAddresses", Array{"9.9.9.9"}}}}}}};
    document.services["A-ethernet"] = {"Ethernet", "en1", {{"DNS", {false, std::nullopt}}}};
    document.services["B-bare"] = {"Bare", std::nullopt, {}};
    document.services["D-other"] = {"Other", "en2", {{"DNS", {true, Dictionary{{"Domain", "x"}}}}}};
    return document;
}

// Arrays inside arrays, `levels` containers in all.
PropertyList nested(int levels) {
    PropertyList value = Array{};
    for (int level = 1; level < levels; ++level) value = Array{value};
    return value;
}

TEST_P(SystemConfigurationContract, DynamicStoreKeepsValuesForEveryConnection) {
    const auto first = store();
    const auto second = store();
    const std::string key = networkServiceEntityKey(names::stateDomain, "S1", names::dns);
    EXPECT_EQ(key, "State:/Network/Service/S1/DNS");
    EXPECT_EQ(first->copyValue(key), std::nullopt);

    const PropertyList value = Dictionary{{"ServerAddresses", Array{"172.19.0.2"}}, {"Order", 100000}};
    ASSERT_TRUE(first->setValue(key, value));
    EXPECT_EQ(second->copyValue(key), value);
    ASSERT_TRUE(second->setValue(key, PropertyList(Array{})));
    EXPECT_EQ(first->copyValue(key), PropertyList(Array{}));
    EXPECT_EQ(configuration_->dynamicStoreValues().size(), 1u);

    EXPECT_TRUE(first->removeValue(key));
    EXPECT_FALSE(second->removeValue(key));
    EXPECT_EQ(second->copyValue(key), std::nullopt);

    // A value a property list cannot hold is refused and nothing changes.
    EXPECT_FALSE(first->setValue(key, PropertyList(std::string("a\0b", 3))));
    EXPECT_FALSE(first->setValue(std::string("k\xff"), PropertyList(1)));
    EXPECT_TRUE(configuration_->dynamicStoreValues().empty());
    // So is one nested deeper than the store can read back: under the store's
    // own dictionary, 63 levels are the most.
    EXPECT_TRUE(first->setValue(key, nested(63)));
    EXPECT_FALSE(first->setValue(key, nested(64)));
    EXPECT_EQ(second->copyValue(key), nested(63));
    EXPECT_TRUE(first->removeValue(key));
    EXPECT_EQ(configuration_->openDynamicStore(""), nullptr);
    EXPECT_EQ(configuration_->openPreferences(""), nullptr);
}

TEST_P(SystemConfigurationContract, PreferencesListTheCurrentSetsServicesInItsOrder) {
    // Without preferences: one set without services.
    EXPECT_EQ(preferences()->currentSetServices(), std::vector<NetworkService>{});

    configuration_->replacePreferences(threeServices());
    const auto session = preferences();
    EXPECT_EQ(session->currentSetServices(),
              (std::vector<NetworkService>{{"C-wifi", "en0"}, {"A-ethernet", "en1"}, {"B-bare", std::nullopt}}));
    EXPECT_EQ(session->protocol("C-wifi", names::dns),
              (NetworkProtocolEntry{true, Dictionary{{"ServerAddresses", Array{"9.9.9.9"}}}}));
    EXPECT_EQ(session->protocol("A-ethernet", names::dns), (NetworkProtocolEntry{false, std::nullopt}));
    EXPECT_EQ(session->protocol("B-bare", names::dns), std::nullopt);
    EXPECT_EQ(session->protocol("nobody", names::dns), std::nullopt);
    EXPECT_FALSE(session->setProtocolConfiguration("B-bare", names::dns, Dictionary{}));
    EXPECT_FALSE(session->setProtocolEnabled("nobody", names::dns, true));

    auto document = threeServices();
    document.currentSet = std::nullopt;
    configuration_->replacePreferences(document);
    EXPECT_EQ(preferences()->currentSetServices(), std::nullopt);
    document.currentSet = "gone";
    configuration_->replacePreferences(document);
    EXPECT_EQ(preferences()->currentSetServices(), std::nullopt);
}

TEST_P(SystemConfigurationContract, CommitWritesTheSessionUnlessAnotherWriterCameFirst) {
    configuration_->replacePreferences(threeServices());
    const auto editing = preferences();
    ASSERT_TRUE(editing->setProtocolConfiguration("C-wifi", names::dns, std::nullopt));
    ASSERT_TRUE(editing->setProtocolEnabled("A-ethernet", names::dns, true));
    ASSERT_TRUE(editing->setProtocolConfiguration("A-ethernet", names::dns, Dictionary{{"Domain", "lan"}}));
    EXPECT_FALSE(editing->setProtocolConfiguration("A-ethernet", names::dns, Dictionary{{"Domain", "\xff"}}));
    // A configuration is the sixth level of the preferences, so 58 more are
    // the most it can hold.
    EXPECT_FALSE(editing->setProtocolConfiguration("A-ethernet", names::dns, Dictionary{{"Deep", nested(59)}}));
    EXPECT_EQ(editing->protocol("A-ethernet", names::dns)->configuration, (Dictionary{{"Domain", "lan"}}));
    // Uncommitted changes are the session's own.
    EXPECT_EQ(preferences()->protocol("C-wifi", names::dns)->configuration,
              (Dictionary{{"ServerAddresses", Array{"9.9.9.9"}}}));

    const auto late = preferences();
    ASSERT_TRUE(editing->commitChanges());
    const auto committed = preferences();
    EXPECT_EQ(committed->protocol("C-wifi", names::dns), (NetworkProtocolEntry{true, std::nullopt}));
    EXPECT_EQ(committed->protocol("A-ethernet", names::dns), (NetworkProtocolEntry{true, Dictionary{{"Domain", "lan"}}}));

    // A session opened before that commit would overwrite it: refused.
    ASSERT_TRUE(late->setProtocolEnabled("C-wifi", names::dns, false));
    EXPECT_FALSE(late->commitChanges());
    EXPECT_TRUE(preferences()->protocol("C-wifi", names::dns)->enabled);
    // The committing session goes on from what it wrote.
    ASSERT_TRUE(editing->setProtocolEnabled("C-wifi", names::dns, false));
    EXPECT_TRUE(editing->commitChanges());
    EXPECT_FALSE(preferences()->protocol("C-wifi", names::dns)->enabled);
}

TEST_P(SystemConfigurationContract, ApplyPublishesTheStoredPreferencesInTheSetupDomain) {
    const auto dynamic = store();
    const std::string stale = networkServiceEntityKey(names::setupDomain, "old", names::dns);
    const std::string state = networkServiceEntityKey(names::stateDomain, "C-wifi", names::dns);
    ASSERT_TRUE(dynamic->setValue(stale, PropertyList(Dictionary{})));
    ASSERT_TRUE(dynamic->setValue(state, PropertyList(Dictionary{{"kept", true}})));
    configuration_->replacePreferences(threeServices());

    const auto session = preferences();
    ASSERT_TRUE(session->setProtocolConfiguration("A-ethernet", names::dns, Dictionary{{"Domain", "lan"}}));
    ASSERT_TRUE(session->applyChanges());
    // Only what was committed counts: A-ethernet is disabled and has no
    // configuration in the store; D-other is not in the current set.
    EXPECT_EQ(configuration_->dynamicStoreValues(), (std::map<std::string, PropertyList>{
                             {"Setup:/Network/Service/C-wifi/DNS", Dictionary{{"ServerAddresses", Array{"9.9.9.9"}}}},
                             {state, Dictionary{{"kept", true}}},
                         }));
}

TEST_P(SystemConfigurationContract, PreferencesDocumentsAreReadStrictly) {
    const auto document = threeServices();
    EXPECT_EQ(PreferencesDocument::fromPropertyList(document.toPropertyList()), document);

    const auto refused = [](const std::function<void(Dictionary&)>& edit) {
        PropertyList value = threeServices().toPropertyList();
        edit(*value.get<Dictionary>());
        try {
            (void)PreferencesDocument::fromPropertyList(value);
        } catch (const SystemConfigurationError& error) {
            return error.message() == "The network preferences are invalid.";
        }
        return false;
    };
    EXPECT_TRUE(refused([](Dictionary& top) { top.insert_or_assign("Extra", 1); }));
    EXPECT_TRUE(refused([](Dictionary& top) { top.erase("Sets"); }));
    EXPECT_TRUE(refused([](Dictionary& top) { top.insert_or_assign("CurrentSet", 1); }));
    EXPECT_TRUE(refused([](Dictionary& top) {
        top.at("Services").get<Dictionary>()->insert_or_assign(
            "B-bare", Dictionary{{"Name", "x"}, {"Protocols", Dictionary{}}, {"Proxy", 1}});
    }));
    EXPECT_TRUE(refused([](Dictionary& top) {
        top.at("Sets").get<Dictionary>()->insert_or_assign("home", Dictionary{{"Name", "Home"}, {"Services", Array{1}}});
    }));
    EXPECT_TRUE(refused([](Dictionary& top) {
        auto& service = *top.at("Services").get<Dictionary>()->at("A-ethernet").get<Dictionary>();
        service.insert_or_assign("Protocols", Dictionary{{"DNS", Dictionary{{"Enabled", 1}}}});
    }));
    EXPECT_FALSE(refused([](Dictionary&) {}));
}

INSTANTIATE_TEST_SUITE_P(Stores, SystemConfigurationContract,
                         ::testing::Values(Variant{"memory", false}, Variant{"files", true}),
                         [](const auto& parameter) { return parameter.param.name; });

TEST(FileSystemConfiguration, KeepsPrivateFilesAndReportsAStoreItCannotRead) {
    testing::TemporaryDirectory directory;
    const auto root = directory / "nested" / "root";
    FileSystemConfiguration configuration(root);
    const auto store = configuration.openDynamicStore(kClient);
    ASSERT_TRUE(store);
    struct stat status {};
    ASSERT_EQ(::stat(root.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_TRUE(store->setValue("State:/x", PropertyList(1)));
    ASSERT_EQ(::stat((root / "dynamic-store.plist").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(parsePropertyList(*files::readIfExists(root / "dynamic-store.plist")),
              PropertyList(Dictionary{{"State:/x", 1}}));

    // A broken store never reads as an absent key, and is not overwritten.
    files::writeAtomically(root / "dynamic-store.plist", "not a property list");
    try {
        (void)store->copyValue("State:/x");
        ADD_FAILURE() << "read";
    } catch (const SystemConfigurationError& error) {
        EXPECT_EQ(error.message(), "The system configuration store could not be read.");
    }
    EXPECT_FALSE(store->setValue("State:/y", PropertyList(2)));
    EXPECT_FALSE(store->removeValue("State:/x"));
    EXPECT_EQ(files::readIfExists(root / "dynamic-store.plist"), "not a property list");

    // Preferences that cannot be read open no session.
    files::writeAtomically(root / "preferences.plist", writeBinaryPropertyList(PropertyList(Array{})));
    EXPECT_EQ(configuration.openPreferences(kClient), nullptr);

    // A root that is not a directory opens nothing.
    FileSystemConfiguration misplaced(root / "dynamic-store.plist");
    EXPECT_EQ(misplaced.openDynamicStore(kClient), nullptr);
}

}  // namespace
}  // namespace tarnel::sysconfig
