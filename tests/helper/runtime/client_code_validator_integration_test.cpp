#include "helper/runtime/client_code_validator.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::ClientCodeValidator {
namespace {

namespace fs = std::filesystem;
using codesign::CodeSigning;
using codesign::Result;
using codesign::StaticCode;
using Case = PrivilegedRuntimeError::Case;
using testing::FixtureApplication;
using testing::FixtureApplicationOptions;
using testing::SigningAuthority;

using Lines = std::vector<std::string>;

// The real service, with one answer or another replaced: for the statuses that
// real files and processes cannot produce.
class FaultyCodeSigning final : public CodeSigning {
public:
    explicit FaultyCodeSigning(const CodeSigning& real) : real_(real) {}

    std::optional<Result<std::shared_ptr<const codesign::Code>>> guest;
    std::optional<Result<std::shared_ptr<const StaticCode>>> staticCopy;
    std::optional<Result<std::optional<fs::path>>> path;
    std::optional<Result<std::shared_ptr<const StaticCode>>> created;
    std::optional<Result<std::shared_ptr<const codesign::Requirement>>> designated;
    std::optional<Result<std::optional<codesign::SigningInformation>>> information;
    bool requirementsFailToCompile = false;
    // Counts the compiles; from this one on (1 is the first), they fail.
    mutable int compiles = 0;
    std::optional<int> failFromCompile;

    Result<std::shared_ptr<const codesign::Code>> copyGuest(std::int32_t pid, std::uint32_t flags) const override {
        return guest ? *guest : real_.copyGuest(pid, flags);
    }
    codesign::Status checkValidity(const codesign::Code& code, std::uint32_t flags,
                                   const codesign::Requirement* requirement) const override {
        return real_.checkValidity(code, flags, requirement);
    }
    Result<std::shared_ptr<const StaticCode>> copyStaticCode(const codesign::Code& code,
                                                             std::uint32_t flags) const override {
        return staticCopy ? *staticCopy : real_.copyStaticCode(code, flags);
    }
    Result<std::optional<fs::path>> copyPath(const StaticCode& code, std::uint32_t flags) const override {
        return path ? *path : real_.copyPath(code, flags);
    }
    Result<std::shared_ptr<const StaticCode>> createStaticCode(const fs::path& file,
                                                               std::uint32_t flags) const override {
        return created ? *created : real_.createStaticCode(file, flags);
    }
    // `created` answers for a static code made from a path or from a file.
    Result<std::shared_ptr<const StaticCode>> createStaticCodeFromFile(int file, const fs::path& name,
                                                                       std::uint32_t flags) const override {
        return created ? *created : real_.createStaticCodeFromFile(file, name, flags);
    }
    codesign::Status checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                         const codesign::Requirement* requirement) const override {
        return real_.checkStaticValidity(code, flags, requirement);
    }
    Result<std::shared_ptr<const codesign::Requirement>> copyDesignatedRequirement(const StaticCode& code,
                                                                                   std::uint32_t flags) const override {
        return designated ? *designated : real_.copyDesignatedRequirement(code, flags);
    }
    Result<std::optional<codesign::SigningInformation>> copySigningInformation(const StaticCode& code,
                                                                               std::uint32_t flags) const override {
        return information ? *information : real_.copySigningInformation(code, flags);
    }
    codesign::Status validateFileResource(const StaticCode& code, std::string_view relativePath,
                                          std::string_view bytes, std::uint32_t flags) const override {
        return real_.validateFileResource(code, relativePath, bytes, flags);
    }
    Result<std::shared_ptr<const codesign::Requirement>> createRequirement(std::string_view text,
                                                                           std::uint32_t flags) const override {
        ++compiles;
        if (requirementsFailToCompile || (failFromCompile && compiles >= *failFromCompile)) {
            return {codesign::status::invalidRequirement, nullptr};
        }
        return real_.createRequirement(text, flags);
    }

private:
    const CodeSigning& real_;
};

// The outcome of one check: the error case it threw, if any, and its log lines.
struct Outcome {
    std::optional<Case> error;
    Lines lines;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    out << (outcome.error ? PrivilegedRuntimeError(*outcome.error).message() : std::string("no error"));
    for (const auto& line : outcome.lines) out << " | " << line;
    return out;
}

Outcome outcomeOf(const std::function<void()>& check) {
    ScopedLogCapture capture;
    Outcome outcome;
    try {
        check();
    } catch (const PrivilegedRuntimeError& error) {
        outcome.error = error.errorCase();
    }
    for (const LogEntry& entry : capture.entries()) {
        EXPECT_EQ(entry.subsystem, "app.tarnel.direct.helper");
        EXPECT_EQ(entry.category, "client-validation");
        EXPECT_EQ(entry.level, LogLevel::error);
        outcome.lines.push_back(entry.text);
    }
    return outcome;
}

std::string line(const std::string& stage, std::optional<codesign::Status> status = std::nullopt) {
    return "client_validation stage=" + stage + (status ? " status=" + std::to_string(*status) : "");
}

class ClientCodeValidation : public ::testing::Test {
protected:
    testing::TemporaryDirectory temporary_;
    // /proc reports resolved paths, and paths are compared as texts.
    const fs::path root_ = testing::realPath(temporary_.path());
    const SigningAuthority authority_ = SigningAuthority::generate();
    const codesign::LocalCodeSigning service_ = authority_.codeSigning();

    FixtureApplication application(const std::string& folder, const FixtureApplicationOptions& options = {}) {
        fs::create_directories(root_ / folder);
        return testing::buildFixtureApplication(root_ / folder, authority_, options);
    }

    std::string staticIdentity(const fs::path& path) const {
        const auto code = service_.createStaticCode(path, codesign::flags::none);
        return service_.copySigningInformation(*code.value, codesign::flags::none).value->unique;
    }
};

// --- The application --------------------------------------------------------

TEST_F(ClientCodeValidation, AdmitsAProcessOfTheSignedApplicationAndChecksAgainEveryTime) {
    const auto app = application("good");
    auto child = testing::startProgram(app.executable);
    ValidatedApplication validated;
    EXPECT_EQ(outcomeOf([&] { validated = validateApplication(child.pid(), service_); }), Outcome{});
    EXPECT_EQ(validated.url, app.bundle);
    EXPECT_EQ(validated.codeIdentity.size(), 32u);
    EXPECT_EQ(validated.codeIdentity, staticIdentity(app.bundle));
    EXPECT_EQ(service_.copyPath(*validated.staticCode, codesign::flags::none).value, app.bundle);

    // Checked from several threads at once, it gives the same answer.
    std::vector<std::future<std::string>> checks;
    for (int index = 0; index < 4; ++index) {
        checks.push_back(std::async(std::launch::async, [&] {
            return validateApplication(child.pid(), service_).codeIdentity;
        }));
    }
    for (auto& check : checks) EXPECT_EQ(check.get(), validated.codeIdentity);

    // Nothing is remembered: a bundle changed since is judged as it is now.
    files::writeAtomically(app.infoPlist, "<plist/>", 0644);
    EXPECT_EQ(outcomeOf([&] { (void)validateApplication(child.pid(), service_); }),
              (Outcome{Case::unauthorizedClient, {line("live_requirement", codesign::status::codeModified)}}));
}

TEST_F(ClientCodeValidation, RefusesCallersThatAreNotTheSignedApplication) {
    const auto stranger = SigningAuthority::generate();
    const struct {
        const char* what;
        std::function<fs::path(const fs::path& folder)> make;  // gives the executable to start
        Outcome expected;
    } cases[] = {
        {"another bundle identifier in the Info.plist",
         [&](const fs::path& folder) {
             FixtureApplicationOptions options;
             options.bundleIdentifier = "app.tarnel.other";
             options.signingIdentifier = "app.tarnel.direct";
             return testing::buildFixtureApplication(folder, authority_, options).executable;
         },
         {Case::unauthorizedClient, {line("bundle_identifier")}}},
        {"no Info.plist",
         [&](const fs::path& folder) {
             const auto app = testing::buildFixtureApplication(folder, authority_);
             fs::remove(app.infoPlist);
             return app.executable;
         },
         {Case::unauthorizedClient, {line("live_requirement", codesign::status::codeModified)}}},
        {"outside any .app",
         [&](const fs::path& folder) {
             authority_.signCopy(testing::testProgram(), folder / "Tarnel Direct", "app.tarnel.direct");
             return folder / "Tarnel Direct";
         },
         {Case::unauthorizedClient, {}}},
        {"in Good.APP",
         [&](const fs::path& folder) {
             FixtureApplicationOptions options;
             options.bundleName = "Good.APP";
             return testing::buildFixtureApplication(folder, authority_, options).executable;
         },
         {Case::unauthorizedClient, {}}},
        {"unsigned",
         [&](const fs::path& folder) {
             FixtureApplicationOptions options;
             options.signBundle = false;
             return testing::buildFixtureApplication(folder, authority_, options).executable;
         },
         {Case::unauthorizedClient, {line("live_requirement", codesign::status::notSigned)}}},
        {"signed under another anchor",
         [&](const fs::path& folder) { return testing::buildFixtureApplication(folder, stranger).executable; },
         {Case::unauthorizedClient, {line("live_requirement", codesign::status::requirementFailed)}}},
        {"signed as another identifier",
         [&](const fs::path& folder) {
             FixtureApplicationOptions options;
             options.signingIdentifier = "app.tarnel.directx";
             return testing::buildFixtureApplication(folder, authority_, options).executable;
         },
         {Case::unauthorizedClient, {line("live_requirement", codesign::status::requirementFailed)}}},
        {"signed by another team",
         [&](const fs::path& folder) {
             return testing::buildFixtureApplication(folder, authority_.withTeam("OTHERTEAM1")).executable;
         },
         {Case::unauthorizedClient, {line("live_requirement", codesign::status::requirementFailed)}}},
        {"an executable signed on its own inside the bundle",
         [&](const fs::path& folder) {
             FixtureApplicationOptions options;
             options.signBundle = false;
             const auto app = testing::buildFixtureApplication(folder, authority_, options);
             authority_.signCopy(testing::testProgram(), app.executable, "app.tarnel.direct");
             return app.executable;
         },
         {Case::unauthorizedClient, {line("application_static_path", 0)}}},
        {"an executable signed on its own deeper in the bundle",
         [&](const fs::path& folder) {
             const auto app = testing::buildFixtureApplication(folder, authority_);
             fs::create_directories(app.bundle / "Contents" / "Helpers");
             authority_.signCopy(testing::testProgram(), app.bundle / "Contents" / "Helpers" / "helper",
                                 "app.tarnel.direct");
             return app.bundle / "Contents" / "Helpers" / "helper";
         },
         {Case::unauthorizedClient, {line("application_static_path", 0)}}},
    };
    int index = 0;
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        const fs::path folder = root_ / std::to_string(index++);
        fs::create_directories(folder);
        auto child = testing::startProgram(example.make(folder));
        EXPECT_EQ(outcomeOf([&] { (void)validateApplication(child.pid(), service_); }), example.expected);
    }

    // A process that has exited.
    const auto app = application("exited");
    auto child = testing::startProgram(app.executable);
    ASSERT_TRUE(child.stop(1.0, 1.0));
    EXPECT_EQ(outcomeOf([&] { (void)validateApplication(child.pid(), service_); }),
              (Outcome{Case::unauthorizedClient, {line("guest_code", codesign::status::noSuchProcess)}}));
}

// --- The runtime in the bundle ----------------------------------------------

TEST_F(ClientCodeValidation, TheBundledRuntimeIsAnExecutableFileSignedByTheTeam) {
    const auto app = application("good");
    ValidatedRuntime runtime;
    // Redundant components of the application path are standardized away.
    EXPECT_EQ(outcomeOf([&] {
                  runtime = validateBundledRuntime(app.bundle / "Contents" / ".." / ".", service_);
              }),
              Outcome{});
    EXPECT_EQ(runtime.sourceURL, app.runtime);
    EXPECT_EQ(runtime.codeIdentity, staticIdentity(app.runtime));
    EXPECT_EQ(runtime.designatedRequirement->text(),
              R"(identifier "sing-box" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");

    const auto stranger = SigningAuthority::generate();
    const struct {
        const char* what;
        std::function<void(const FixtureApplication&)> change;
        Outcome expected;
    } cases[] = {
        // Refused for its place and kind before any signature is read.
        {"a link to a signed runtime",
         [](const FixtureApplication& a) {
             fs::rename(a.runtime, a.bundle.parent_path() / "sing-box");
             fs::create_symlink(a.bundle.parent_path() / "sing-box", a.runtime);
         },
         {Case::invalidBundledBinary, {}}},
        {"mode 0644", [](const FixtureApplication& a) { fs::permissions(a.runtime, fs::perms(0644)); },
         {Case::invalidBundledBinary, {}}},
        {"a directory",
         [](const FixtureApplication& a) {
             fs::remove(a.runtime);
             fs::create_directory(a.runtime);
         },
         {Case::invalidBundledBinary, {}}},
        {"missing", [](const FixtureApplication& a) { fs::remove(a.runtime); }, {Case::invalidBundledBinary, {}}},
        // Refused for its signature.
        {"unsigned", [](const FixtureApplication& a) { testing::copyFile(testing::testProgram(), a.runtime); },
         {Case::invalidCodeSignature, {line("runtime_static", codesign::status::notSigned)}}},
        {"changed", [](const FixtureApplication& a) { testing::flipByte(a.runtime, 0); },
         {Case::invalidCodeSignature, {line("runtime_static", codesign::status::codeModified)}}},
        {"signed under another anchor",
         [&](const FixtureApplication& a) { stranger.signCopy(testing::testProgram(), a.runtime, "sing-box"); },
         {Case::invalidCodeSignature, {line("runtime_static", codesign::status::requirementFailed)}}},
        {"signed by another team",
         [&](const FixtureApplication& a) {
             authority_.withTeam("OTHERTEAM1").signCopy(testing::testProgram(), a.runtime, "sing-box");
         },
         {Case::invalidCodeSignature, {line("runtime_static", codesign::status::requirementFailed)}}},
    };
    int index = 0;
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        const auto changed = application("case" + std::to_string(index++));
        example.change(changed);
        EXPECT_EQ(outcomeOf([&] { (void)validateBundledRuntime(changed.bundle, service_); }), example.expected);
    }
    EXPECT_EQ(PrivilegedRuntimeError(Case::invalidBundledBinary).message(),
              "The signed tunnel runtime could not be verified.");

    // The launch recovery's prefix names its stages.
    const auto restore = application("restore");
    testing::copyFile(testing::testProgram(), restore.runtime);
    EXPECT_EQ(outcomeOf([&] { (void)validateRuntimeStatic(restore.runtime, "runtime_staged_restore", service_); }),
              (Outcome{Case::invalidCodeSignature, {line("runtime_staged_restore", codesign::status::notSigned)}}));
    EXPECT_EQ(outcomeOf([&] {
                  (void)validateRuntimeStatic(restore.bundle / "missing", "runtime_staged_restore", service_);
              }),
              (Outcome{Case::invalidCodeSignature,
                       {line("runtime_staged_restore_create", codesign::status::unreadable)}}));
}

TEST_F(ClientCodeValidation, ARuntimeCopyMustHoldTheBytesTheApplicationSeals) {
    const auto app = application("good");
    auto process = testing::startProgram(app.executable);
    const auto validated = validateApplication(process.pid(), service_);

    testing::copyFile(app.runtime, root_ / "copy");
    EXPECT_EQ(outcomeOf([&] { validateSealedRuntimeResource(root_ / "copy", *validated.staticCode, service_); }),
              Outcome{});
    // Signed by the team, valid on its own, but not the sealed bytes.
    authority_.signCopy(testing::testProgram(), root_ / "resigned", "sing-box");
    EXPECT_NO_THROW((void)validateRuntimeStatic(root_ / "resigned", "runtime_static", service_));
    EXPECT_EQ(outcomeOf([&] { validateSealedRuntimeResource(root_ / "resigned", *validated.staticCode, service_); }),
              (Outcome{Case::invalidCodeSignature, {line("runtime_resource_seal", codesign::status::resourcesModified)}}));
    EXPECT_EQ(outcomeOf([&] { validateSealedRuntimeResource(root_ / "missing", *validated.staticCode, service_); }),
              (Outcome{Case::invalidBundledBinary, {line("runtime_resource_read")}}));
    fs::create_directory(root_ / "folder");
    EXPECT_EQ(outcomeOf([&] { validateSealedRuntimeResource(root_ / "folder", *validated.staticCode, service_); }),
              (Outcome{Case::invalidBundledBinary, {line("runtime_resource_read")}}));

    // The application's own check leaves resources to this one.
    testing::flipByte(app.runtime, 0);
    EXPECT_EQ(validateApplication(process.pid(), service_).codeIdentity, validated.codeIdentity);
    EXPECT_EQ(outcomeOf([&] { validateSealedRuntimeResource(app.runtime, *validated.staticCode, service_); }),
              (Outcome{Case::invalidCodeSignature, {line("runtime_resource_seal", codesign::status::resourcesModified)}}));
}

TEST_F(ClientCodeValidation, AStagedCopyAndTheRunningRuntimeKeepThePreparedIdentity) {
    const auto app = application("good");
    const ValidatedRuntime runtime = validateBundledRuntime(app.bundle, service_);
    testing::copyFile(runtime.sourceURL, root_ / "staged");
    std::string staged;
    EXPECT_EQ(outcomeOf([&] { staged = validateStagedRuntime(root_ / "staged", *runtime.designatedRequirement, service_); }),
              Outcome{});
    EXPECT_EQ(staged, runtime.codeIdentity);

    authority_.signCopy(testing::testProgram(), root_ / "other", "sing-box-other");
    EXPECT_EQ(outcomeOf([&] { (void)validateStagedRuntime(root_ / "other", *runtime.designatedRequirement, service_); }),
              (Outcome{Case::invalidCodeSignature, {line("runtime_staged_static", codesign::status::requirementFailed)}}));
    EXPECT_EQ(outcomeOf([&] { (void)validateStagedRuntime(root_ / "none", *runtime.designatedRequirement, service_); }),
              (Outcome{Case::invalidCodeSignature,
                       {line("runtime_staged_static_create", codesign::status::unreadable)}}));

    // The running runtime: its identity is its image's, even once a
    // differently signed build has been renamed over its file.
    auto child = testing::startProgram(root_ / "staged");
    std::string live;
    EXPECT_EQ(outcomeOf([&] { live = validateLiveRuntime(child.pid(), *runtime.designatedRequirement, service_); }),
              Outcome{});
    EXPECT_EQ(live, runtime.codeIdentity);
    authority_.signCopy(testing::testProgram(), root_ / "staged.new", "sing-box");
    fs::rename(root_ / "staged.new", root_ / "staged");
    EXPECT_EQ(validateLiveRuntime(child.pid(), *runtime.designatedRequirement, service_), runtime.codeIdentity);
    EXPECT_NE(staticIdentity(root_ / "staged"), runtime.codeIdentity);

    auto stranger = testing::startProgram(root_ / "other");
    EXPECT_EQ(outcomeOf([&] { (void)validateLiveRuntime(stranger.pid(), *runtime.designatedRequirement, service_); }),
              (Outcome{Case::invalidCodeSignature,
                       {line("runtime_live_requirement", codesign::status::requirementFailed)}}));
    ASSERT_TRUE(child.stop(1.0, 1.0));
    EXPECT_EQ(outcomeOf([&] { (void)validateLiveRuntime(child.pid(), *runtime.designatedRequirement, service_); }),
              (Outcome{Case::invalidCodeSignature, {line("runtime_live_guest", codesign::status::noSuchProcess)}}));
}

TEST_F(ClientCodeValidation, TheStandInRuntimeAsTheBuildSignsItIsAccepted) {
    // The build's development anchor and team, and the stand-in it signed.
    const SigningAuthority development = SigningAuthority::development();
    const codesign::LocalCodeSigning service = development.codeSigning();
    FixtureApplicationOptions options;
    options.runtime = TARNEL_SIGNED_SING_BOX;
    options.runtimeIdentifier = std::nullopt;  // sealed as the build signed it
    fs::create_directories(root_ / "development");
    const auto app = testing::buildFixtureApplication(root_ / "development", development, options);
    ValidatedRuntime runtime;
    EXPECT_EQ(outcomeOf([&] { runtime = validateBundledRuntime(app.bundle, service); }), Outcome{});
    EXPECT_EQ(runtime.designatedRequirement->text(),
              R"(identifier "sing-box" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");
    EXPECT_EQ(outcomeOf([&] {
                  validateSealedRuntimeResource(TARNEL_SIGNED_SING_BOX, *service.createStaticCode(app.bundle, 0).value,
                                                service);
              }),
              Outcome{});
}

TEST_F(ClientCodeValidation, TheExecutablePathOfAProcessReplacesInvalidUtf8) {
    const fs::path program = root_ / "caf\xE9 \xFF\xC3";
    testing::copyFile(testing::testProgram(), program);
    auto child = testing::startProgram(program);
    EXPECT_EQ(executableURL(child.pid()), root_ / "caf\uFFFD \uFFFD\uFFFD");
    ASSERT_TRUE(child.stop(1.0, 1.0));
    EXPECT_EQ(executableURL(child.pid()), std::nullopt);  // exited
}

// --- Answers that real files cannot give --------------------------------------

TEST_F(ClientCodeValidation, EveryOtherFailingCallHasItsStageAndError) {
    const auto app = application("good");
    auto process = testing::startProgram(app.executable);
    const ValidatedRuntime runtime = validateBundledRuntime(app.bundle, service_);
    auto runtimeProcess = testing::startProgram(app.runtime);
    const auto pid = process.pid();
    const auto runtimePid = runtimeProcess.pid();
    const auto& requirement = *runtime.designatedRequirement;
    const codesign::Status failed = codesign::status::operationFailed;
    const codesign::SigningInformation empty;  // no identity

    const auto application = [&](const CodeSigning& s) { (void)validateApplication(pid, s); };
    const auto bundled = [&](const CodeSigning& s) { (void)validateBundledRuntime(app.bundle, s); };
    const auto staged = [&](const CodeSigning& s) { (void)validateStagedRuntime(app.runtime, requirement, s); };
    const auto live = [&](const CodeSigning& s) { (void)validateLiveRuntime(runtimePid, requirement, s); };

    const struct {
        const char* what;
        std::function<void(FaultyCodeSigning&)> fault;
        std::function<void(const CodeSigning&)> check;
        Outcome expected;
    } cases[] = {
        {"guest without an object", [](auto& f) { f.guest = {{0, nullptr}}; }, application,
         {Case::unauthorizedClient, {line("guest_code", 0)}}},
        {"requirement does not compile", [](auto& f) { f.requirementsFailToCompile = true; }, application,
         {Case::invalidCodeSignature, {}}},
        // Compiled again for the static check, after the live one passed.
        {"requirement does not compile the second time", [](auto& f) { f.failFromCompile = 2; }, application,
         {Case::invalidCodeSignature, {}}},
        {"static copy fails", [&](auto& f) { f.staticCopy = {{failed, nullptr}}; }, application,
         {Case::unauthorizedClient, {line("application_static_copy", failed)}}},
        {"static copy without an object", [](auto& f) { f.staticCopy = {{0, nullptr}}; }, application,
         {Case::unauthorizedClient, {line("application_static_copy", 0)}}},
        {"path fails", [&](auto& f) { f.path = {{failed, app.bundle}}; }, application,
         {Case::unauthorizedClient, {line("application_static_path", failed)}}},
        {"no path", [](auto& f) { f.path = {{0, std::nullopt}}; }, application,
         {Case::unauthorizedClient, {line("application_static_path", 0)}}},
        {"another path", [&](auto& f) { f.path = {{0, root_ / "elsewhere" / "Tarnel Direct.app"}}; }, application,
         {Case::unauthorizedClient, {line("application_static_path", 0)}}},
        {"the same path with redundant components",
         [&](auto& f) { f.path = {{0, app.bundle / "." / "Contents" / ".." / ""}}; }, application, {}},
        {"signing information fails", [&](auto& f) { f.information = {{failed, std::nullopt}}; }, application,
         {Case::invalidCodeSignature, {line("application_identity", failed)}}},
        {"empty identity", [&](auto& f) { f.information = {{0, empty}}; }, application,
         {Case::invalidCodeSignature, {line("application_identity", 0)}}},
        {"runtime requirement does not compile", [](auto& f) { f.requirementsFailToCompile = true; }, bundled,
         {Case::invalidCodeSignature, {}}},
        {"runtime static code without an object", [](auto& f) { f.created = {{0, nullptr}}; }, bundled,
         {Case::invalidCodeSignature, {line("runtime_static_create", 0)}}},
        {"designated requirement fails", [&](auto& f) { f.designated = {{failed, nullptr}}; }, bundled,
         {Case::invalidCodeSignature, {line("runtime_static_designated_requirement", failed)}}},
        {"designated requirement without an object", [](auto& f) { f.designated = {{0, nullptr}}; }, bundled,
         {Case::invalidCodeSignature, {line("runtime_static_designated_requirement", 0)}}},
        {"runtime without identity", [&](auto& f) { f.information = {{0, empty}}; }, bundled,
         {Case::invalidCodeSignature, {line("runtime_static_identity", 0)}}},
        {"staged static code without an object", [](auto& f) { f.created = {{0, nullptr}}; }, staged,
         {Case::invalidCodeSignature, {line("runtime_staged_static_create", 0)}}},
        {"staged without identity", [&](auto& f) { f.information = {{failed, std::nullopt}}; }, staged,
         {Case::invalidCodeSignature, {line("runtime_staged_identity", failed)}}},
        {"live guest without an object", [](auto& f) { f.guest = {{0, nullptr}}; }, live,
         {Case::invalidCodeSignature, {line("runtime_live_guest", 0)}}},
        {"live static copy fails", [&](auto& f) { f.staticCopy = {{failed, nullptr}}; }, live,
         {Case::invalidCodeSignature, {line("runtime_live_identity", failed)}}},
        {"live without identity", [&](auto& f) { f.information = {{0, empty}}; }, live,
         {Case::invalidCodeSignature, {line("runtime_live_identity", 0)}}},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        FaultyCodeSigning faulty(service_);
        example.fault(faulty);
        EXPECT_EQ(outcomeOf([&] { example.check(faulty); }), example.expected);
    }
}

}  // namespace
}  // namespace tarnel::ClientCodeValidator
