#include "platform/keychain/file_keychain.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const KeychainItem kItem{"app.tarnel.direct.subscription", "stored-access-v1"};
constexpr const char* kItemFile = "app.tarnel.direct.subscription#stored-access-v1";

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

// Every entry under `root`, as lstat sees it, with a file's bytes and a
// link's target: what an operation that must touch nothing leaves alone.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &status), 0);
        std::string description = std::to_string(status.st_mode) + " uid " + std::to_string(status.st_uid);
        if (S_ISREG(status.st_mode)) description += " " + files::readIfExists(entry.path()).value_or("?");
        if (S_ISLNK(status.st_mode)) description += " -> " + fs::read_symlink(entry.path()).string();
        entries[fs::relative(entry.path(), root).string()] = description;
    }
    return entries;
}

class FileKeychainTest : public ::testing::Test {
protected:
    void SetUp() override { savedUmask_ = ::umask(022); }
    void TearDown() override { ::umask(savedUmask_); }

    testing::TemporaryDirectory home_;
    FileKeychain keychain_{home_.path() / "data"};
    mode_t savedUmask_ = 0;
};

TEST_F(FileKeychainTest, KeepsEachItemInAPrivateFileAndAnswersAsAKeychain) {
    // Reading, replacing or deleting what is not there creates nothing.
    EXPECT_EQ(keychain_.copy(kItem).status, keychainItemNotFound);
    EXPECT_EQ(keychain_.update(kItem, "x"), keychainItemNotFound);
    EXPECT_EQ(keychain_.remove(kItem), keychainItemNotFound);
    EXPECT_FALSE(fs::exists(home_.path() / "data"));

    const std::string value = "{\"subscription\":\"https://h/x\"}\n\0binary"s;
    ASSERT_EQ(keychain_.add(kItem, value, KeychainAccessibility::afterFirstUnlockThisDeviceOnly), keychainSuccess);
    EXPECT_EQ(keychain_.directory(), home_.path() / "data" / "keychain");
    EXPECT_EQ(modeOf(keychain_.directory()), 0700u);
    EXPECT_EQ(modeOf(keychain_.directory() / kItemFile), 0600u);
    EXPECT_EQ(files::readIfExists(keychain_.directory() / kItemFile), value);
    const KeychainCopyResult copied = keychain_.copy(kItem);
    EXPECT_EQ(copied.status, keychainSuccess);
    EXPECT_EQ(copied.data, value);

    EXPECT_EQ(keychain_.add(kItem, "other", KeychainAccessibility::afterFirstUnlockThisDeviceOnly),
              keychainDuplicateItem);
    EXPECT_EQ(keychain_.copy(kItem).data, value);
    EXPECT_EQ(keychain_.copy({kItem.service, "other-account"}).status, keychainItemNotFound);

    EXPECT_EQ(keychain_.update(kItem, ""), keychainSuccess);
    EXPECT_EQ(keychain_.copy(kItem).data, "");
    EXPECT_EQ(modeOf(keychain_.directory() / kItemFile), 0600u);

    EXPECT_EQ(keychain_.remove(kItem), keychainSuccess);
    EXPECT_EQ(keychain_.copy(kItem).status, keychainItemNotFound);
    EXPECT_EQ(keychain_.remove(kItem), keychainItemNotFound);
    // No temporary file is left behind.
    EXPECT_TRUE(fs::is_empty(keychain_.directory()));
}

TEST_F(FileKeychainTest, SetsItsOwnDirectoryAndItemsBackToPrivateModes) {
    ASSERT_EQ(keychain_.add(kItem, "v", KeychainAccessibility::afterFirstUnlockThisDeviceOnly), keychainSuccess);
    fs::permissions(keychain_.directory(), fs::perms(0755));
    fs::permissions(keychain_.directory() / kItemFile, fs::perms(0644));
    EXPECT_EQ(keychain_.copy(kItem).data, "v");
    EXPECT_EQ(modeOf(keychain_.directory()), 0700u);
    EXPECT_EQ(modeOf(keychain_.directory() / kItemFile), 0600u);
}

TEST_F(FileKeychainTest, RefusesNamesOutsideTheAlphabetWithoutTouchingAnything) {
    const KeychainItem refused[] = {
        {"", "account"}, {"service", ""}, {"a/b", "account"}, {"..", "../x"},
        {"a#b", "account"}, {"service", "a b"}, {"s\xc3\xa9rvice", "account"}, {"service", std::string("a\0b", 3)},
    };
    for (const KeychainItem& item : refused) {
        EXPECT_EQ(keychain_.add(item, "v", KeychainAccessibility::afterFirstUnlockThisDeviceOnly),
                  keychainParameterError)
            << item.service << "#" << item.account;
        EXPECT_EQ(keychain_.copy(item).status, keychainParameterError);
        EXPECT_EQ(keychain_.update(item, "v"), keychainParameterError);
        EXPECT_EQ(keychain_.remove(item), keychainParameterError);
    }
    EXPECT_FALSE(fs::exists(home_.path() / "data"));
    // Every character of the alphabet is a name, dots alone too.
    const KeychainItem accepted{"Az09._-", ".."};
    EXPECT_EQ(keychain_.add(accepted, "v", KeychainAccessibility::afterFirstUnlockThisDeviceOnly), keychainSuccess);
    EXPECT_EQ(files::readIfExists(keychain_.directory() / "Az09._-#.."), "v");
}

TEST_F(FileKeychainTest, AFailedReplacementKeepsTheOldBytes) {
    ASSERT_EQ(keychain_.add(kItem, "old", KeychainAccessibility::afterFirstUnlockThisDeviceOnly), keychainSuccess);
    // A file-size limit makes the writing of the new value fail part way.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction savedAction {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &savedAction), 0);
    rlimit savedLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &savedLimit), 0);
    rlimit small = savedLimit;
    small.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const KeychainStatus status = keychain_.update(kItem, "a much longer new value");
    ::setrlimit(RLIMIT_FSIZE, &savedLimit);
    ::sigaction(SIGXFSZ, &savedAction, nullptr);

    EXPECT_NE(status, keychainSuccess);
    EXPECT_NE(status, keychainItemNotFound);
    EXPECT_EQ(keychain_.copy(kItem).data, "old");
    // Only the item is in the directory: the partial temporary file is gone.
    EXPECT_EQ(snapshot(keychain_.directory()).size(), 1u);
}

// A keychain, or an item of it, that is not the user's own private entry:
// every operation fails with a status other than "not found" and touches
// nothing, neither there nor where a link points.
TEST_F(FileKeychainTest, RefusesWhatIsNotItsOwnAndLeavesItAlone) {
    const fs::path data = home_.path() / "data";
    const fs::path directory = data / "keychain";
    const fs::path elsewhere = home_.path() / "elsewhere";
    const auto makeOwnDirectory = [&] {
        fs::create_directories(directory);
        fs::permissions(directory, fs::perms(0700));
    };
    const auto makeElsewhere = [&] {
        fs::create_directories(elsewhere);
        files::writeAtomically(elsewhere / kItemFile, "secret", 0644);
    };
    struct Case {
        const char* name;
        bool needsRoot;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"the keychain is a regular file", false,
         [&] {
             fs::create_directories(data);
             files::writeAtomically(directory, "not a directory", 0644);
         }},
        {"the keychain is a link to a directory", false,
         [&] {
             makeElsewhere();
             fs::create_directories(data);
             fs::create_directory_symlink(elsewhere, directory);
         }},
        {"the item is a link", false,
         [&] {
             makeElsewhere();
             makeOwnDirectory();
             fs::create_symlink(elsewhere / kItemFile, directory / kItemFile);
         }},
        {"the item is a directory", false,
         [&] {
             makeOwnDirectory();
             fs::create_directory(directory / kItemFile);
         }},
        {"the keychain is another user's", true,
         [&] {
             makeOwnDirectory();
             files::writeAtomically(directory / kItemFile, "secret", 0600);
             ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
             fs::permissions(directory, fs::perms(0755));
         }},
        {"the item is another user's", true,
         [&] {
             makeOwnDirectory();
             files::writeAtomically(directory / kItemFile, "secret", 0644);
             ASSERT_EQ(::chown((directory / kItemFile).c_str(), 65534, 65534), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::cout << "skipped (needs root to give an entry to another user): " << c.name << "\n";
            continue;
        }
        std::error_code ignored;
        fs::remove_all(data, ignored);
        fs::remove_all(elsewhere, ignored);
        c.arrange();
        const auto before = snapshot(home_.path());

        const KeychainCopyResult copied = keychain_.copy(kItem);
        EXPECT_NE(copied.status, keychainSuccess);
        EXPECT_NE(copied.status, keychainItemNotFound);
        EXPECT_EQ(copied.data, std::nullopt);
        for (const KeychainStatus status :
             {keychain_.update(kItem, "new"), keychain_.remove(kItem),
              keychain_.add(kItem, "new", KeychainAccessibility::afterFirstUnlockThisDeviceOnly)}) {
            EXPECT_NE(status, keychainSuccess);
            EXPECT_NE(status, keychainItemNotFound);
        }
        EXPECT_EQ(snapshot(home_.path()), before);
    }
}

}  // namespace
}  // namespace tarnel
