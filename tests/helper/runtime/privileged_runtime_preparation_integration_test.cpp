#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <latch>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using Case = PrivilegedRuntimeError::Case;
using Names = std::vector<std::string>;

constexpr double kPreparationBudget = 45.0;

// A clock whose every reading is one second after the last, so that a
// deadline can be placed between any two readings of a preparation.
class SteppingClock final : public Clock {
public:
    explicit SteppingClock(double start) : start_(start) {}
    [[nodiscard]] double uptime() const override { return start_ + static_cast<double>(++readings_); }
    [[nodiscard]] double wallSeconds() const override { return SystemClock::shared().wallSeconds(); }
    void sleepFor(double) const override {}
    [[nodiscard]] int readings() const { return readings_; }

private:
    double start_;
    mutable std::atomic<int> readings_{0};
};

// A file of `size` bytes that holds no data, mode 0755, in place of whatever
// was at `path`.
void writeSparse(const fs::path& path, std::uint64_t size) {
    fs::remove(path);
    files::writeAtomically(path, "", 0755);
    fs::resize_file(path, size);
}

// As `stat -c '%a %u %g %h'` prints it.
std::string statusOf(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return "missing";
    char text[64];
    std::snprintf(text, sizeof text, "%o %u %u %lu", status.st_mode & 07777, status.st_uid, status.st_gid,
                  static_cast<unsigned long>(status.st_nlink));
    return text;
}

// "<stage> <outcome>" of every timing record, in order.
Names timingRecords(const ScopedLogCapture& capture) {
    Names records;
    for (const auto& entry : capture.entries()) {
        if (entry.category != "timing") continue;
        const auto field = [&](std::string_view key) {
            const auto start = entry.text.find(std::string(" ") + std::string(key) + "=") + key.size() + 2;
            return entry.text.substr(start, entry.text.find(' ', start) - start);
        };
        records.push_back(field("stage") + " " + field("outcome"));
    }
    return records;
}

const Names kReuseOnly = {"helper_runtime_reuse started", "helper_runtime_reuse completed"};
const Names kFullPreparation = {"helper_runtime_reuse started",      "helper_runtime_reuse completed",
                                "helper_runtime_validation started", "helper_runtime_validation completed",
                                "helper_runtime_staging started",    "helper_runtime_staging completed"};

class RuntimePreparation : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the runtime directory and its copies must be owned by root";
        base_ = testing::realPath(temporary_.path());
        directory_ = base_ / "runtime";
        files::ensurePrivateDirectory(directory_);
        application_ = testing::buildStandInApplication(base_ / "first");
    }

    // A fresh cache, as a new helper process would have.
    [[nodiscard]] PrivilegedRuntimeEnvironment environment(std::shared_ptr<const Clock> clock = nullptr) const {
        PrivilegedRuntimeEnvironment environment;
        environment.runtimeDirectory = directory_;
        environment.codeSigning = codeSigning_;
        if (clock) environment.clock = std::move(clock);
        environment.preparedRuntimes = std::make_shared<PreparedRuntimeCache>();
        return environment;
    }

    // The runtime of a connection of `application`, validated as admission does.
    [[nodiscard]] PrivilegedRuntime runtimeFor(const testing::FixtureApplication& application,
                                               PrivilegedRuntimeEnvironment environment) const {
        const auto created = codeSigning_->createStaticCode(application.bundle, codesign::flags::none);
        EXPECT_EQ(created.status, codesign::status::success);
        std::string identity = ClientCodeValidator::codeIdentity(*created.value, "application_identity", *codeSigning_);
        return PrivilegedRuntime(std::move(environment), application.bundle, created.value, std::move(identity), 501);
    }

    static std::string prepare(const PrivilegedRuntime& runtime, std::function<bool()> cancelled = [] { return false; },
                               double budget = kPreparationBudget) {
        const double deadline = SystemClock::shared().uptime() + budget;
        return runtime.prepareRuntime({Uuid::random(), deadline}, std::move(cancelled));
    }

    static Case failureOf(const std::function<void()>& work) {
        try {
            work();
        } catch (const PrivilegedRuntimeError& error) {
            return error.errorCase();
        }
        ADD_FAILURE() << "no PrivilegedRuntimeError";
        return Case::unauthorizedClient;
    }

    [[nodiscard]] Names entries() const { return entriesOf(directory_); }
    static Names entriesOf(const fs::path& directory) {
        Names names;
        for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    [[nodiscard]] fs::path copyOf(const std::string& token) const { return directory_ / ("sing-box-" + token); }

    testing::TemporaryDirectory temporary_;
    fs::path base_;
    fs::path directory_;
    std::shared_ptr<const codesign::CodeSigning> codeSigning_ =
        std::make_shared<codesign::LocalCodeSigning>(testing::SigningAuthority::development().codeSigning());
    testing::FixtureApplication application_;
};

TEST_F(RuntimePreparation, ReusesThePrivateCopyForTheSameBuild) {
    const auto environment = this->environment();
    ScopedLogCapture capture;
    const std::string token = prepare(runtimeFor(application_, environment));
    EXPECT_EQ(timingRecords(capture), kFullPreparation);
    ASSERT_TRUE(Uuid::parse(token));
    EXPECT_EQ(Uuid::parse(token)->text(), token);  // canonical upper-case text

    // A later connection of the same build reuses it, with one lstat.
    capture.sink().clear();
    EXPECT_EQ(prepare(runtimeFor(application_, environment)), token);
    EXPECT_EQ(timingRecords(capture), kReuseOnly);

    EXPECT_EQ(entries(), Names{"sing-box-" + token});
    EXPECT_EQ(statusOf(copyOf(token)), "700 0 0 1");
    EXPECT_EQ(files::readIfExists(copyOf(token), 256 << 20),
              files::readIfExists(testing::developmentSignedStandInRuntime(), 256 << 20));
    const auto cached = runtimeFor(application_, environment).cachedPreparedRuntime(token);
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->binaryURL, copyOf(token));
    EXPECT_EQ(cached->fileIdentity, PrivilegedRuntime::requirePreparedRuntimeFile(copyOf(token)));
    EXPECT_EQ(cached->runtimeIdentity,
              ClientCodeValidator::validateBundledRuntime(application_.bundle, *codeSigning_).codeIdentity);
}

TEST_F(RuntimePreparation, TimesEachStageAgainstTheRequestsDeadline) {
    // Every reading of this clock is one second after the last, from 1001 on.
    const auto attemptWithDeadline = [&](double deadline) {
        const auto runtime = runtimeFor(application_, environment(std::make_shared<SteppingClock>(1000.0)));
        const Uuid attempt = Uuid::random();
        ScopedLogCapture capture;
        try {
            (void)runtime.prepareRuntime({attempt, deadline}, [] { return false; });
        } catch (const PrivilegedRuntimeError&) {
        }
        Names lines;
        const std::string prefix = "attempt=" + attempt.text().substr(0, 8) + " ";
        for (const auto& entry : capture.entries()) {
            if (entry.category != "timing") continue;
            std::string line = entry.text;
            const auto at = line.find(prefix);
            EXPECT_NE(at, std::string::npos) << line;
            if (at != std::string::npos) line.erase(at, prefix.size());
            lines.push_back((entry.level == LogLevel::error ? "E " : "  ") + line);
        }
        return lines;
    };
    const std::string helper = "startup_stage component=helper stage=";
    // The copy looks at the control once more after each 8 MiB but the last.
    const auto copyCheckpoints = static_cast<int>((fs::file_size(application_.runtime) - 1) /
                                                  PrivilegedRuntime::runtimeCopyCheckpointInterval);
    const auto ms = [](int seconds) { return std::to_string(seconds * 1000); };
    const auto half = [](int seconds) { return std::to_string(seconds * 1000 + 500); };
    // Reuse: its start, two checkpoints, its end; validation likewise; staging:
    // its start, six checkpoints of the staging and those of the copy, one
    // after it, its end; then the last checkpoint.
    EXPECT_EQ(attemptWithDeadline(1100.0),
              (Names{"  " + helper + "helper_runtime_reuse outcome=started stage_ms=0 remaining_ms=99000",
                     "  " + helper + "helper_runtime_reuse outcome=completed stage_ms=3000 remaining_ms=96000",
                     "  " + helper + "helper_runtime_validation outcome=started stage_ms=0 remaining_ms=95000",
                     "  " + helper + "helper_runtime_validation outcome=completed stage_ms=3000 remaining_ms=92000",
                     "  " + helper + "helper_runtime_staging outcome=started stage_ms=0 remaining_ms=91000",
                     "  " + helper + "helper_runtime_staging outcome=completed stage_ms=" + ms(8 + copyCheckpoints) +
                         " remaining_ms=" + ms(83 - copyCheckpoints)}));
    for (const auto& name : entries()) fs::remove(directory_ / name);
    // The deadline passes between the seal check and the staged copy's check.
    const int end = 12 + copyCheckpoints;
    EXPECT_EQ(attemptWithDeadline(1000.5 + end),
              (Names{"  " + helper + "helper_runtime_reuse outcome=started stage_ms=0 remaining_ms=" + half(end - 1),
                     "  " + helper + "helper_runtime_reuse outcome=completed stage_ms=3000 remaining_ms=" + half(end - 4),
                     "  " + helper + "helper_runtime_validation outcome=started stage_ms=0 remaining_ms=" + half(end - 5),
                     "  " + helper + "helper_runtime_validation outcome=completed stage_ms=3000 remaining_ms=" + half(end - 8),
                     "  " + helper + "helper_runtime_staging outcome=started stage_ms=0 remaining_ms=" + half(end - 9),
                     "E " + helper + "helper_runtime_staging outcome=failed stage_ms=" + ms(5 + copyCheckpoints) +
                         " remaining_ms=-1500 error_type=TarnelDirect.PrivilegedRuntimeError"}));
    EXPECT_EQ(entries(), Names{});
}

TEST_F(RuntimePreparation, TheStartFindsTheCopyOnlyByItsCanonicalToken) {
    const auto runtime = runtimeFor(application_, environment());
    const std::string token = prepare(runtime);
    std::string lower = token;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_TRUE(runtime.cachedPreparedRuntime(token));
    EXPECT_TRUE(runtime.cachedPreparedRuntime(std::nullopt));
    for (const std::string& other : {lower, "{" + token + "}", Uuid::random().text(), std::string(), token + " "}) {
        EXPECT_FALSE(runtime.cachedPreparedRuntime(other)) << other;
    }
}

TEST_F(RuntimePreparation, AChangedCopyIsPreparedAgainUnderANewToken) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;
        bool oldCopyStays;
    } cases[] = {
        {"touched", [](const fs::path& copy) { ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), nullptr, 0), 0); }, true},
        {"replaced by another root-owned 0700 file",
         [](const fs::path& copy) {
             const auto other = copy.parent_path() / "other";
             files::copyToNewFile(copy, other, 0700);
             fs::rename(other, copy);
         },
         true},
        {"deleted", [](const fs::path& copy) { fs::remove(copy); }, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto runtime = runtimeFor(application_, environment());
        const std::string first = prepare(runtime);
        // File times come from a coarse clock: let it move on first.
        SystemClock::shared().sleepFor(0.05);
        testCase.change(copyOf(first));
        ScopedLogCapture capture;
        const std::string second = prepare(runtime);
        EXPECT_NE(second, first);
        EXPECT_EQ(timingRecords(capture), kFullPreparation);
        EXPECT_EQ(statusOf(copyOf(second)), "700 0 0 1");
        // Earlier copies stay until the tunnel start clears them.
        EXPECT_EQ(fs::exists(copyOf(first)), testCase.oldCopyStays);
        fs::remove(copyOf(first));
        fs::remove(copyOf(second));
    }
}

TEST_F(RuntimePreparation, AnUnsafeCopyFailsUntilItIsRemoved) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;
    } cases[] = {
        {"mode 0755", [](const fs::path& copy) { fs::permissions(copy, fs::perms(0755)); }},
        {"mode 0600", [](const fs::path& copy) { fs::permissions(copy, fs::perms(0600)); }},
        {"another owner", [](const fs::path& copy) { ASSERT_EQ(::lchown(copy.c_str(), 65534, 0), 0); }},
        {"another group", [](const fs::path& copy) { ASSERT_EQ(::lchown(copy.c_str(), 0, 65534), 0); }},
        {"a second link", [](const fs::path& copy) { fs::create_hard_link(copy, copy.parent_path() / "link"); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto runtime = runtimeFor(application_, environment());
        const std::string token = prepare(runtime);
        testCase.change(copyOf(token));
        const Names before = entries();
        ScopedLogCapture capture;
        try {
            (void)prepare(runtime);
            ADD_FAILURE() << "the unsafe copy was accepted";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), Case::unsafeStagedRuntime);
            EXPECT_EQ(error.message(), "The staged tunnel runtime is not a root-owned private executable.");
        }
        EXPECT_EQ(timingRecords(capture), (Names{"helper_runtime_reuse started", "helper_runtime_reuse failed"}));
        EXPECT_EQ(entries(), before);  // nothing was staged again

        for (const auto& name : before) fs::remove(directory_ / name);
        EXPECT_NE(prepare(runtime), token);
        for (const auto& name : entries()) fs::remove(directory_ / name);
    }
}

TEST_F(RuntimePreparation, RefusesARuntimeDirectoryThatIsNotRootPrivate) {
    const auto elsewhere = base_ / "elsewhere";
    files::ensurePrivateDirectory(elsewhere);
    const struct {
        const char* name;
        std::function<void()> make;
        Case expected;
    } cases[] = {
        {"a symbolic link to a private directory", [&] { fs::create_directory_symlink(elsewhere, directory_); },
         Case::unsafeRuntimeDirectory},
        {"owned by 65534",
         [&] {
             files::ensurePrivateDirectory(directory_);
             ASSERT_EQ(::chown(directory_.c_str(), 65534, 0), 0);
         },
         Case::unsafeRuntimeDirectory},
        {"mode 0750",
         [&] {
             files::ensurePrivateDirectory(directory_);
             fs::permissions(directory_, fs::perms(0750));
         },
         Case::unsafeRuntimeDirectory},
        {"a regular file", [&] { files::writeAtomically(directory_, "x", 0700); }, Case::unsafeRuntimeDirectory},
        {"below a regular file",
         [&] {
             files::writeAtomically(base_ / "file", "x", 0600);
             fs::remove_all(directory_);
             directory_ = base_ / "file" / "runtime";
         },
         Case::runtimeStorageUnavailable},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        directory_ = base_ / "runtime";
        fs::remove_all(directory_);
        testCase.make();
        const auto runtime = runtimeFor(application_, environment());
        ScopedLogCapture capture;
        try {
            (void)prepare(runtime);
            ADD_FAILURE() << "prepared in an unsafe directory";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), testCase.expected);
            if (testCase.expected == Case::unsafeRuntimeDirectory) {
                EXPECT_EQ(error.message(), "The privileged runtime directory is not root-owned and private.");
            }
        }
        EXPECT_EQ(timingRecords(capture),
                  (Names{"helper_runtime_reuse started", "helper_runtime_reuse completed",
                         "helper_runtime_validation started", "helper_runtime_validation failed"}));
        EXPECT_EQ(entriesOf(elsewhere), Names{});  // nothing written through the link
        fs::remove_all(base_ / "file");
    }
    directory_ = base_ / "runtime";
}

TEST_F(RuntimePreparation, CreatesAMissingDirectoryAndTightensAPrivateOne) {
    fs::remove_all(directory_);
    directory_ = base_ / "missing" / "runtime";
    const std::string token = prepare(runtimeFor(application_, environment()));
    EXPECT_EQ(statusOf(base_ / "missing"), "700 0 0 3");
    EXPECT_EQ(statusOf(directory_), "700 0 0 2");
    EXPECT_EQ(entries(), Names{"sing-box-" + token});

    // Without group or other bits it is private enough, and is set to 0700.
    fs::permissions(directory_, fs::perms(0500));
    fs::remove(copyOf(token));
    (void)prepare(runtimeFor(application_, environment()));
    EXPECT_EQ(statusOf(directory_), "700 0 0 2");
}

TEST_F(RuntimePreparation, AnotherBuildOfTheApplicationNeverReusesTheCopy) {
    const auto environment = this->environment();
    const auto second = testing::buildStandInApplication(base_ / "second");  // signed anew: another identity
    const std::string first = prepare(runtimeFor(application_, environment));
    const std::string other = prepare(runtimeFor(second, environment));
    EXPECT_NE(other, first);
    EXPECT_FALSE(runtimeFor(application_, environment).cachedPreparedRuntime(std::nullopt));
    EXPECT_EQ(prepare(runtimeFor(second, environment)), other);

    // The launch-recovery runtime has no application and cannot use the cache.
    const auto recovery = PrivilegedRuntime::forLaunchRecovery(environment);
    EXPECT_EQ(failureOf([&] { (void)recovery.cachedPreparedRuntime(std::nullopt); }), Case::invalidCodeSignature);
    EXPECT_EQ(failureOf([&] { (void)prepare(recovery); }), Case::invalidCodeSignature);
}

TEST_F(RuntimePreparation, RefusesACopyThatIsNotTheApplicationsSealedRuntime) {
    // A validly signed runtime of the same team, put in place after the
    // application was sealed: its own signature holds, the seal does not.
    testing::copyFile(testing::developmentSignedTestProgram(), application_.runtime);
    ScopedLogCapture capture;
    EXPECT_EQ(failureOf([&] { (void)prepare(runtimeFor(application_, environment())); }), Case::invalidCodeSignature);
    EXPECT_EQ(timingRecords(capture).back(), "helper_runtime_staging failed");
    const auto entries = capture.entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry& entry) {
        return entry.text.starts_with("client_validation stage=runtime_resource_seal status=");
    }));
    EXPECT_EQ(this->entries(), Names{});
}

TEST_F(RuntimePreparation, ConcurrentPreparationsCopyOnce) {
    const auto environment = this->environment();
    ScopedLogCapture capture;
    std::latch ready(2);
    const auto attempt = [&] {
        const auto runtime = runtimeFor(application_, environment);
        ready.arrive_and_wait();
        return prepare(runtime);
    };
    auto first = std::async(std::launch::async, attempt);
    auto second = std::async(std::launch::async, attempt);
    const std::string token = first.get();
    EXPECT_EQ(second.get(), token);
    const Names records = timingRecords(capture);
    EXPECT_EQ(std::count(records.begin(), records.end(), "helper_runtime_staging started"), 1);
    EXPECT_EQ(entries(), Names{"sing-box-" + token});
}

TEST_F(RuntimePreparation, AWaiterEndsOnItsOwnCancellationOrDeadline) {
    const auto environment = this->environment();
    const struct {
        const char* name;
        std::function<bool(double started)> cancelled;
        double budget;
        Case expected;
        const char* message;
    } waiters[] = {
        {"cancelled after 50 ms",
         [](double started) { return SystemClock::shared().uptime() - started >= 0.05; }, kPreparationBudget,
         Case::tunnelStartupCancelled, "The tunnel startup was cancelled."},
        {"deadline 100 ms ahead", [](double) { return false; }, 0.1, Case::runtimePreparationDeadlineExceeded,
         "Preparing the signed tunnel runtime exceeded its deadline."},
    };
    for (const auto& waiter : waiters) {
        SCOPED_TRACE(waiter.name);
        // The first preparation holds its admission until it is released.
        std::promise<void> admitted;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> firstQuery{true};
        auto first = std::async(std::launch::async, [&] {
            return prepare(runtimeFor(application_, environment), [&] {
                if (firstQuery.exchange(false)) {
                    admitted.set_value();
                    released.wait();
                }
                return false;
            });
        });
        admitted.get_future().wait();

        const double started = SystemClock::shared().uptime();
        try {
            (void)prepare(runtimeFor(application_, environment), [&] { return waiter.cancelled(started); },
                          waiter.budget);
            ADD_FAILURE() << "the waiter was admitted";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), waiter.expected);
            EXPECT_EQ(error.message(), waiter.message);
        }
        const double waited = SystemClock::shared().uptime() - started;
        EXPECT_GE(waited, 0.05);
        EXPECT_LT(waited, 10.0);
        EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

        release.set_value();
        const std::string token = first.get();
        EXPECT_EQ(entries(), Names{"sing-box-" + token});
        fs::remove(copyOf(token));
    }
}

// Whatever reading of the clock the deadline passes at, or whichever look at
// the cancellation query answers yes, the preparation fails with that error
// and leaves no file of the attempt behind.
TEST_F(RuntimePreparation, AnAttemptEndedAtAnyStepLeavesNoFile) {
    const double start = 1000.0;
    int readings = 0;
    int queries = 0;
    {
        const auto clock = std::make_shared<SteppingClock>(start);
        std::atomic<int> counted{0};
        const auto runtime = runtimeFor(application_, environment(clock));
        (void)runtime.prepareRuntime({Uuid::random(), std::numeric_limits<double>::infinity()},
                                     [&] {
                                         ++counted;
                                         return false;
                                     });
        readings = clock->readings();
        queries = counted;
        for (const auto& name : entries()) fs::remove(directory_ / name);
    }
    ASSERT_GT(readings, 10);
    ASSERT_GT(queries, 10);

    int endedInStaging = 0;
    const auto run = [&](double deadline, std::function<bool()> cancelled, Case expected, bool succeeds) {
        const auto runtime = runtimeFor(application_, environment(std::make_shared<SteppingClock>(start)));
        ScopedLogCapture capture;
        if (succeeds) {
            const std::string token = runtime.prepareRuntime({Uuid::random(), deadline}, cancelled);
            EXPECT_EQ(entries(), Names{"sing-box-" + token});
            for (const auto& name : entries()) fs::remove(directory_ / name);
            return;
        }
        EXPECT_EQ(failureOf([&] { (void)runtime.prepareRuntime({Uuid::random(), deadline}, cancelled); }), expected);
        EXPECT_EQ(entries(), Names{});
        const Names records = timingRecords(capture);
        endedInStaging += std::count(records.begin(), records.end(), "helper_runtime_staging failed");
    };
    for (int passing = 0; passing <= readings; ++passing) {
        SCOPED_TRACE("deadline after reading " + std::to_string(passing));
        // Readings 1...passing lie before the deadline.
        run(start + passing + 0.5, [] { return false; }, Case::runtimePreparationDeadlineExceeded,
            passing == readings);
    }
    for (int cancelledAt = 1; cancelledAt <= queries + 1; ++cancelledAt) {
        SCOPED_TRACE("cancelled at query " + std::to_string(cancelledAt));
        auto count = std::make_shared<int>(0);
        run(std::numeric_limits<double>::infinity(), [=] { return ++*count >= cancelledAt; },
            Case::tunnelStartupCancelled, cancelledAt > queries);
    }
    EXPECT_GT(endedInStaging, 8);  // several of them inside the staging itself
}

TEST_F(RuntimePreparation, StagingNeverReplacesAnEntryAtTheTarget) {
    const auto runtime = runtimeFor(application_, environment());
    const auto validated = ClientCodeValidator::validateBundledRuntime(application_.bundle, *codeSigning_);
    const PrivilegedRuntimePreparationControl control({Uuid::random(), SystemClock::shared().uptime() + 45},
                                                      [] { return false; });
    const Uuid token = Uuid::random();
    const auto target = copyOf(token.text());
    const struct {
        const char* name;
        std::function<void()> make;
        Case expected;
    } cases[] = {
        {"a proper runtime file", [&] { files::writeAtomically(target, "kept", 0700); }, Case::runtimeStorageUnavailable},
        {"a symbolic link", [&] { fs::create_symlink(application_.runtime, target); }, Case::unsafeStagedRuntime},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        testCase.make();
        const auto before = statusOf(target);
        EXPECT_EQ(failureOf([&] { (void)runtime.stageRuntime(validated, token, control); }), testCase.expected);
        EXPECT_EQ(statusOf(target), before);
        EXPECT_EQ(entries(), Names{target.filename()});
        fs::remove(target);
    }
    const auto staged = runtime.stageRuntime(validated, token, control);
    EXPECT_EQ(staged.binaryURL, target);
    EXPECT_EQ(staged.token, token);
    EXPECT_EQ(entries(), Names{target.filename()});
}

TEST_F(RuntimePreparation, TheFileIdentityAcceptsOnlyAPrivateRootExecutable) {
    const auto file = directory_ / "sing-box-file";
    const struct {
        const char* name;
        std::function<void()> make;
        std::optional<Case> expected;  // nothing: accepted
    } cases[] = {
        {"a non-empty 0700 file of root", [&] { files::writeAtomically(file, "x", 0700); }, std::nullopt},
        {"mode 0755", [&] { files::writeAtomically(file, "x", 0755); }, Case::unsafeStagedRuntime},
        {"mode 0500", [&] { files::writeAtomically(file, "x", 0500); }, Case::unsafeStagedRuntime},
        {"empty", [&] { files::writeAtomically(file, "", 0700); }, Case::unsafeStagedRuntime},
        {"a second link",
         [&] {
             files::writeAtomically(file, "x", 0700);
             fs::create_hard_link(file, directory_ / "link");
         },
         Case::unsafeStagedRuntime},
        {"owner 65534",
         [&] {
             files::writeAtomically(file, "x", 0700);
             ASSERT_EQ(::lchown(file.c_str(), 65534, 0), 0);
         },
         Case::unsafeStagedRuntime},
        {"group 65534",
         [&] {
             files::writeAtomically(file, "x", 0700);
             ASSERT_EQ(::lchown(file.c_str(), 0, 65534), 0);
         },
         Case::unsafeStagedRuntime},
        {"a link to a proper file",
         [&] {
             files::writeAtomically(directory_ / "target", "x", 0700);
             fs::create_symlink(directory_ / "target", file);
         },
         Case::unsafeStagedRuntime},
        {"a directory",
         [&] {
             fs::create_directory(file);
             fs::permissions(file, fs::perms(0700));
         },
         Case::unsafeStagedRuntime},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        testCase.make();
        if (testCase.expected) {
            EXPECT_EQ(failureOf([&] { (void)PrivilegedRuntime::preparedRuntimeFileIdentity(file); }), *testCase.expected);
            EXPECT_EQ(failureOf([&] { (void)PrivilegedRuntime::requirePreparedRuntimeFile(file); }), *testCase.expected);
        } else {
            struct stat status {};
            ASSERT_EQ(::lstat(file.c_str(), &status), 0);
            const auto identity = PrivilegedRuntime::requirePreparedRuntimeFile(file);
            EXPECT_EQ(identity, PrivilegedRuntime::preparedRuntimeFileIdentity(file));
            EXPECT_EQ(identity.device, status.st_dev);
            EXPECT_EQ(identity.inode, status.st_ino);
            EXPECT_EQ(identity.size, 1u);
            EXPECT_EQ(identity.mode, status.st_mode);
            EXPECT_EQ(identity.linkCount, 1u);
            EXPECT_EQ(identity.modificationSeconds, status.st_mtim.tv_sec);
            EXPECT_EQ(identity.modificationNanoseconds, status.st_mtim.tv_nsec);
            EXPECT_EQ(identity.statusChangeSeconds, status.st_ctim.tv_sec);
            EXPECT_EQ(identity.statusChangeNanoseconds, status.st_ctim.tv_nsec);
        }
        fs::remove_all(file);
        fs::remove(directory_ / "link");
        fs::remove(directory_ / "target");
    }
    EXPECT_EQ(PrivilegedRuntime::preparedRuntimeFileIdentity(file), std::nullopt);
    EXPECT_EQ(failureOf([&] { (void)PrivilegedRuntime::requirePreparedRuntimeFile(file); }), Case::unsafeStagedRuntime);
    // A path that cannot be looked at is not a missing file.
    files::writeAtomically(directory_ / "plain", "x", 0600);
    EXPECT_EQ(failureOf([&] { (void)PrivilegedRuntime::preparedRuntimeFileIdentity(directory_ / "plain" / "x"); }),
              Case::runtimeStorageUnavailable);
}

TEST_F(RuntimePreparation, ObsoleteCopiesGoButTheCachedAndStagingOnesStay) {
    const auto environment = this->environment();
    const std::string token = prepare(runtimeFor(application_, environment));
    const auto inFlight = directory_ / ("sing-box-" + Uuid::random().text());
    const auto obsolete = directory_ / ("sing-box-" + Uuid::random().text());
    files::writeAtomically(inFlight, "staging", 0700);
    files::writeAtomically(obsolete, "old", 0700);
    PreparedRuntimeCache& cache = *environment.preparedRuntimes;
    cache.setInFlight(inFlight);

    cache.removeObsoleteRuntime(directory_ / "." / ("sing-box-" + token));  // the same path, standardized
    cache.removeObsoleteRuntime(directory_ / "x" / ".." / inFlight.filename());
    cache.removeObsoleteRuntime(obsolete);
    cache.removeObsoleteRuntime(directory_ / "never-there");
    Names kept{"sing-box-" + token, inFlight.filename()};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(), kept);

    // The preparation's end releases the copy it was staging.
    cache.finishPreparation();
    cache.removeObsoleteRuntime(inFlight);
    EXPECT_EQ(entries(), Names{"sing-box-" + token});
}

// A bundled runtime past 256 MiB is refused for its size before a byte of it
// is hashed, read or copied; one of exactly 256 MiB is looked at.
TEST_F(RuntimePreparation, ARuntimeOverTheSizeBoundIsRefusedBeforeItIsRead) {
    const std::uint64_t maximum = ClientCodeValidator::maximumRuntimeSize;
    const struct {
        const char* name;
        std::uint64_t size;
        Case expected;
    } cases[] = {
        {"256 MiB, refused for its signature", maximum, Case::invalidCodeSignature},
        {"one byte more", maximum + 1, Case::invalidBundledBinary},
        {"3 GiB", std::uint64_t{3} << 30, Case::invalidBundledBinary},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        writeSparse(application_.runtime, testCase.size);
        auto environment = this->environment();
        const auto counting = std::make_shared<testing::CountingCodeSigning>(codeSigning_);
        environment.codeSigning = counting;
        ScopedLogCapture capture;
        EXPECT_EQ(failureOf([&] { (void)prepare(runtimeFor(application_, environment)); }), testCase.expected);
        EXPECT_EQ(counting->calls() == 0, testCase.expected == Case::invalidBundledBinary);
        EXPECT_EQ(timingRecords(capture).back(), "helper_runtime_validation failed");
        EXPECT_EQ(entries(), Names{});
    }
}

// The copy is taken from the file that was checked, never from its path
// again: another runtime of the team renamed over the path afterwards, as the
// application's owner may do, is not what is copied.
TEST_F(RuntimePreparation, TheCopyIsTakenFromTheFileThatWasChecked) {
    const auto runtime = runtimeFor(application_, environment());
    const auto validated = ClientCodeValidator::validateBundledRuntime(application_.bundle, *codeSigning_);
    const auto genuine = files::readIfExists(application_.runtime, 256 << 20);
    const fs::path other = application_.runtime.parent_path() / "other";
    testing::SigningAuthority::development().signCopy(testing::testProgram(), other, "sing-box");
    fs::rename(other, application_.runtime);

    const PrivilegedRuntimePreparationControl control({Uuid::random(), SystemClock::shared().uptime() + 45},
                                                      [] { return false; });
    const auto staged = runtime.stageRuntime(validated, Uuid::random(), control);
    EXPECT_EQ(files::readIfExists(staged.binaryURL, 256 << 20), genuine);
    EXPECT_EQ(staged.runtimeIdentity, validated.codeIdentity);
    EXPECT_EQ(entries(), Names{staged.binaryURL.filename()});
}

// The copy looks at the cancellation and the deadline after every 8 MiB, and
// a copy that ends there, or finds its file shorter than when it was checked,
// leaves no file behind.
TEST_F(RuntimePreparation, TheCopyEndsAtItsCancellationOrDeadlineAndLeavesNothing) {
    // What the copy reads comes before any check of it: 64 MiB of nothing.
    const std::uint64_t size = std::uint64_t{64} << 20;
    const fs::path source = base_ / "large";
    writeSparse(source, size);
    const struct {
        const char* name;
        std::uint64_t checkedSize;
        double deadline;    // on a clock whose readings are 1001, 1002, ...
        int cancelledFrom;  // the first query that answers yes; 0: none
        Case expected;
        int queries;  // the staging's first checkpoint, then the copy's after 8, 16, ... MiB
    } cases[] = {
        {"cancelled at the copy's second checkpoint", size, 2000.0, 3, Case::tunnelStartupCancelled, 3},
        {"a deadline that passes at the copy's first checkpoint", size, 1001.5, 0,
         Case::runtimePreparationDeadlineExceeded, 2},
        // Read to its end: eight checkpoints on the way, the last before the byte that is missing.
        {"a file shorter than when it was checked", size + 1, 2000.0, 0, Case::invalidBundledBinary, 9},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ClientCodeValidator::ValidatedRuntime validated;
        validated.sourceURL = source;
        validated.file = std::make_shared<const UniqueFd>(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        validated.size = testCase.checkedSize;
        const auto clock = std::make_shared<SteppingClock>(1000.0);
        const auto runtime = runtimeFor(application_, environment(clock));
        int queries = 0;
        const PrivilegedRuntimePreparationControl control(
            {Uuid::random(), testCase.deadline},
            [&] { return ++queries >= testCase.cancelledFrom && testCase.cancelledFrom > 0; }, *clock);
        EXPECT_EQ(failureOf([&] { (void)runtime.stageRuntime(validated, Uuid::random(), control); }),
                  testCase.expected);
        EXPECT_EQ(queries, testCase.queries);
        EXPECT_EQ(entries(), Names{});
    }
}

}  // namespace
}  // namespace tarnel
