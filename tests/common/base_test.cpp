#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <limits>
#include <memory>
#include <thread>
#include <vector>
#include <fstream>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/base/utf8.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {
namespace {

TEST(Uuid, ParsesEitherCaseAndPrintsCanonicalUpperCase) {
    const auto parsed = Uuid::parse("3f2504e0-4f89-11d3-9a0c-0305e82c3301");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->text(), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    for (const char* bad : {"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", "3F2504E04F8911D39A0C0305E82C3301",
                            " 3F2504E0-4F89-11D3-9A0C-0305E82C3301", "3F2504E0-4F89-11D3-9A0C-0305E82C330G",
                            "3F2504E0-4F89-11D3-9A0C0-305E82C3301", ""}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
    const auto random = Uuid::random();
    EXPECT_NE(random, Uuid::random());
    EXPECT_EQ(Uuid::parse(random.text()), random);
    EXPECT_EQ(random.text()[14], '4');
}

TEST(Utf8, DecodesScalarsAndRefusesIllFormedSequences) {
    EXPECT_TRUE(utf8::isValid("plain \xE2\x82\xAC \xF0\x9F\x98\x80"));
    for (const char* bad : {"\x80", "\xC3", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFE"}) {
        EXPECT_FALSE(utf8::isValid(bad)) << bad;
    }
    std::string encoded;
    utf8::append(encoded, U'\u20AC');
    utf8::append(encoded, U'\U0001F600');
    std::size_t offset = 0;
    EXPECT_EQ(utf8::decodeNext(encoded, offset), U'\u20AC');
    EXPECT_EQ(utf8::decodeNext(encoded, offset), U'\U0001F600');
    EXPECT_EQ(offset, encoded.size());
}

TEST(Utf8, NonEmptyPiecesBetweenLineBreaks) {
    using Pieces = std::vector<std::string_view>;
    EXPECT_EQ(utf8::nonEmptyPieces("a\r\nb\vc\fd\u0085e\u2028f\u2029g\n", utf8::isLineBreak),
              (Pieces{"a", "b", "c", "d", "e", "f", "g"}));
    EXPECT_EQ(utf8::nonEmptyPieces("\n\n x \n", utf8::isLineBreak), (Pieces{" x "}));
    // An ill-formed byte belongs to its piece and never ends one.
    EXPECT_EQ(utf8::nonEmptyPieces("a\xC2\nb\xE2\x80", utf8::isLineBreak), (Pieces{"a\xC2", "b\xE2\x80"}));
    EXPECT_TRUE(utf8::nonEmptyPieces("", utf8::isLineBreak).empty());
    EXPECT_FALSE(utf8::isLineBreak(U'\t'));
    EXPECT_FALSE(utf8::isLineBreak(U' '));
}

TEST(Clock, FakeClockAdvancesOnSleepAndSystemUptimeIsMonotonic) {
    FakeClock clock(100.0, 1'000.0);
    clock.sleepFor(2.5);
    clock.sleepFor(-1.0);
    EXPECT_EQ(clock.uptime(), 102.5);
    EXPECT_EQ(clock.wallSeconds(), 1'002.5);

    const auto& system = SystemClock::shared();
    const double before = system.uptime();
    system.sleepFor(0.01);
    EXPECT_GE(system.uptime() - before, 0.01);
}

TEST(Clock, AnEndlessSleepDoesNotReturnAtOnce) {
    // The sleeping thread is left behind; the process ends with the test.
    auto woke = std::make_shared<std::atomic<bool>>(false);
    std::thread([woke] {
        SystemClock::shared().sleepFor(std::numeric_limits<double>::infinity());
        woke->store(true);
    }).detach();
    SystemClock::shared().sleepFor(0.2);
    EXPECT_FALSE(woke->load());
}

TEST(Errors, TypeNamesAreQualifiedByTheProgramModule) {
    const SystemError error("open /x", ENOENT);
    EXPECT_EQ(error.typeName(), "TarnelDirect.SystemError");
    EXPECT_EQ(errorMessage(error), "open /x: No such file or directory");
    setProgramModule(kHelperModule);
    EXPECT_EQ(errorTypeName(error), "TarnelDirectHelper.SystemError");
    setProgramModule(kApplicationModule);
    EXPECT_EQ(errorTypeName(std::runtime_error("x")), "std.runtime_error");
}

TEST(Errors, ProgramModuleOutlivesTheTextItWasSetFromAndRefusesOtherNames) {
    setProgramModule(std::string("TarnelDirect") + "Helper");  // a temporary that ends here
    EXPECT_EQ(programModule(), "TarnelDirectHelper");
    EXPECT_THROW(setProgramModule("TarnelDirectHelper "), std::invalid_argument);
    EXPECT_EQ(programModule(), "TarnelDirectHelper");
    setProgramModule(kApplicationModule);
    EXPECT_EQ(programModule(), "TarnelDirect");
}

class PrivateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() / ("tarnel-files-" + Uuid::random().text());
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    static mode_t modeOf(const std::filesystem::path& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0);
        return status.st_mode & 07777;
    }
    std::filesystem::path root_;
};

TEST_F(PrivateFiles, WritesAtomicallyWithPrivateModes) {
    const auto directory = root_ / "a" / "b";
    const mode_t previous = ::umask(0);
    files::ensurePrivateDirectory(directory);
    const auto file = directory / "state.json";
    files::writeAtomically(file, "first");
    files::writeAtomically(file, "second");
    ::umask(previous);

    EXPECT_EQ(modeOf(root_ / "a"), 0700u);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(files::readIfExists(file), "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);  // no temporaries left

    std::filesystem::permissions(directory, std::filesystem::perms::owner_all | std::filesystem::perms::group_read);
    files::ensurePrivateDirectory(directory);
    EXPECT_EQ(modeOf(directory), 0700u);

    EXPECT_FALSE(files::readIfExists(directory / "missing"));
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    EXPECT_THROW((void)files::readIfExists(directory / "fifo"), SystemError);  // refused, never waited on
    files::removeIfExists(file);
    files::removeIfExists(file);
    EXPECT_FALSE(files::readIfExists(file));
    EXPECT_THROW(files::writeAtomically(root_ / "missing-dir" / "x", "y"), SystemError);
}

TEST_F(PrivateFiles, AFailedWriteLeavesTheTargetAndNoTemporary) {
    files::ensurePrivateDirectory(root_);
    // A wider file in the way is replaced by a private one.
    const auto wide = root_ / "wide.json";
    std::ofstream(wide) << "old";
    std::filesystem::permissions(wide, std::filesystem::perms(0644));
    files::writeAtomically(wide, "new");
    EXPECT_EQ(modeOf(wide), 0600u);

    // A directory in the target's place cannot be renamed over.
    const auto blocked = root_ / "blocked";
    std::filesystem::create_directory(blocked);
    try {
        files::writeAtomically(blocked, "x");
        ADD_FAILURE() << "wrote over a directory";
    } catch (const SystemError& error) {
        EXPECT_EQ(error.errnoValue(), EISDIR);
        EXPECT_EQ(error.message(), "rename " + blocked.string() + ": Is a directory");
    }
    EXPECT_TRUE(std::filesystem::is_directory(blocked));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"blocked", "wide.json"}));
}

TEST_F(PrivateFiles, EnsuresADirectoryPrivateToRootAsEachCallerAsks) {
    if (::geteuid() != 0) GTEST_SKIP() << "a directory private to root must be owned by root";
    using State = files::RootPrivateDirectory;
    std::vector<State> refusals;
    const auto refuse = [&](State state) {
        refusals.push_back(state);
        return std::runtime_error("refused");
    };
    const auto directory = root_ / "a" / "state";

    EXPECT_THROW(files::ensureRootPrivateDirectory(directory, {.createWhenMissing = false}, refuse),
                 std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(root_));
    files::ensureRootPrivateDirectory(directory, {}, refuse);
    EXPECT_EQ(modeOf(root_ / "a"), 0700u);
    EXPECT_EQ(modeOf(directory), 0700u);

    // Private without being 0700: set to 0700 only when the caller asks.
    std::filesystem::permissions(directory, std::filesystem::perms(0500));
    files::ensureRootPrivateDirectory(directory, {}, refuse);
    EXPECT_EQ(modeOf(directory), 0500u);
    files::ensureRootPrivateDirectory(directory, {.tighten = true}, refuse);
    EXPECT_EQ(modeOf(directory), 0700u);

    const auto expectRefused = [&](const std::filesystem::path& path) {
        EXPECT_THROW(files::ensureRootPrivateDirectory(path, {.tighten = true}, refuse), std::runtime_error) << path;
    };
    std::filesystem::permissions(directory, std::filesystem::perms(0750));
    expectRefused(directory);
    EXPECT_EQ(modeOf(directory), 0750u);  // never tightened once refused
    std::filesystem::permissions(directory, std::filesystem::perms(0700));
    ASSERT_EQ(::chown(directory.c_str(), 65534, 0), 0);
    expectRefused(directory);
    ASSERT_EQ(::chown(directory.c_str(), 0, 0), 0);
    std::filesystem::create_directory_symlink(directory, root_ / "link");
    expectRefused(root_ / "link");
    files::writeAtomically(root_ / "file", "x");
    expectRefused(root_ / "file");
    expectRefused(root_ / "file" / "below");
    EXPECT_EQ(refusals, (std::vector<State>{State::missing, State::unsafe, State::unsafe, State::unsafe, State::unsafe,
                                            State::unreadable}));
}

TEST_F(PrivateFiles, CopiesToANewFileAndRenamesWithoutReplacing) {
    files::ensurePrivateDirectory(root_);
    const auto source = root_ / "source";
    const auto copy = root_ / "copy";
    std::string bytes(3 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    files::writeAtomically(source, bytes);

    const mode_t previous = ::umask(077);
    files::copyToNewFile(source, copy, 0750);
    ::umask(previous);
    EXPECT_EQ(modeOf(copy), 0750u);  // exactly the mode asked for
    EXPECT_EQ(files::readIfExists(copy), bytes);

    const auto expectFailure = [](int expected, const std::function<void()>& work) {
        try {
            work();
            ADD_FAILURE() << "no failure";
        } catch (const SystemError& error) {
            EXPECT_EQ(error.errnoValue(), expected);
        }
    };
    files::writeAtomically(root_ / "taken", "kept");
    expectFailure(EEXIST, [&] { files::copyToNewFile(source, root_ / "taken", 0700); });
    std::filesystem::create_symlink(source, root_ / "link");
    expectFailure(ELOOP, [&] { files::copyToNewFile(root_ / "link", root_ / "from-link", 0700); });
    ASSERT_EQ(::mkfifo((root_ / "fifo").c_str(), 0600), 0);
    expectFailure(EINVAL, [&] { files::copyToNewFile(root_ / "fifo", root_ / "from-fifo", 0700); });
    expectFailure(EEXIST, [&] { files::renameWithoutReplacing(copy, root_ / "taken"); });
    EXPECT_EQ(files::readIfExists(root_ / "taken"), "kept");
    files::renameWithoutReplacing(copy, root_ / "moved");
    EXPECT_EQ(files::readIfExists(root_ / "moved"), bytes);

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fifo", "link", "moved", "source", "taken"}));
}

TEST(Log, CaptureSinkRecordsSubsystemCategoryLevelAndText) {
    ScopedLogCapture capture;
    const Log log("app.tarnel.direct.startup", "timing");
    log.notice("stage=a");
    log.error("stage=b");
    const std::vector<LogEntry> expected{
        {"app.tarnel.direct.startup", "timing", LogLevel::standard, "stage=a"},
        {"app.tarnel.direct.startup", "timing", LogLevel::error, "stage=b"},
    };
    EXPECT_EQ(capture.entries(), expected);
}

}  // namespace
}  // namespace tarnel
