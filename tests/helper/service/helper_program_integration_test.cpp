// The helper's admission of a connection, over a running process of a signed
// application and a code-signing service that counts its use.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "helper/service/helper_program.hpp"
#include "platform/ipc/server.hpp"
#include "platform/process_info.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"
#include "tests/support/code_signing_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

// The code-signing service of the development anchor, counting every look
// at a running process.
class CountingCodeSigning final : public codesign::CodeSigning {
public:
    explicit CountingCodeSigning(std::shared_ptr<const codesign::CodeSigning> real) : real_(std::move(real)) {}

    codesign::Result<std::shared_ptr<const codesign::Code>> copyGuest(std::int32_t pid,
                                                                      std::uint32_t flags) const override {
        ++guests;
        return real_->copyGuest(pid, flags);
    }
    codesign::Status checkValidity(const codesign::Code& code, std::uint32_t flags,
                                   const codesign::Requirement* requirement) const override {
        return real_->checkValidity(code, flags, requirement);
    }
    codesign::Result<std::shared_ptr<const codesign::StaticCode>> copyStaticCode(const codesign::Code& code,
                                                                                 std::uint32_t flags) const override {
        return real_->copyStaticCode(code, flags);
    }
    codesign::Result<std::optional<fs::path>> copyPath(const codesign::StaticCode& code,
                                                       std::uint32_t flags) const override {
        return real_->copyPath(code, flags);
    }
    codesign::Result<std::shared_ptr<const codesign::StaticCode>> createStaticCode(const fs::path& path,
                                                                                   std::uint32_t flags) const override {
        return real_->createStaticCode(path, flags);
    }
    codesign::Status checkStaticValidity(const codesign::StaticCode& code, std::uint32_t flags,
                                         const codesign::Requirement* requirement) const override {
        return real_->checkStaticValidity(code, flags, requirement);
    }
    codesign::Result<std::shared_ptr<const codesign::Requirement>> copyDesignatedRequirement(
        const codesign::StaticCode& code, std::uint32_t flags) const override {
        return real_->copyDesignatedRequirement(code, flags);
    }
    codesign::Result<std::optional<codesign::SigningInformation>> copySigningInformation(
        const codesign::StaticCode& code, std::uint32_t flags) const override {
        return real_->copySigningInformation(code, flags);
    }
    codesign::Status validateFileResource(const codesign::StaticCode& code, std::string_view relativePath,
                                          std::string_view bytes, std::uint32_t flags) const override {
        return real_->validateFileResource(code, relativePath, bytes, flags);
    }
    codesign::Result<std::shared_ptr<const codesign::Requirement>> createRequirement(
        std::string_view text, std::uint32_t flags) const override {
        return real_->createRequirement(text, flags);
    }

    mutable std::atomic<int> guests = 0;

private:
    std::shared_ptr<const codesign::CodeSigning> real_;
};

class HelperAdmission : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.runtime = fixture_.environment();
        environment_.runtime.codeSigning = codeSigning_;
        application_ = buildStandInApplication(realPath(temporary_.path()));
        caller_.emplace(startProgram(application_.executable));
    }

    // The running application as the server saw it connect, as `user`.
    [[nodiscard]] ipc::PeerCredentials peer(uid_t user) const {
        ipc::PeerCredentials credentials;
        credentials.processIdentifier = caller_->pid();
        credentials.effectiveUserIdentifier = user;
        credentials.process = ProcessInfo::identity(caller_->pid());
        return credentials;
    }

    RuntimeFixture fixture_;
    TemporaryDirectory temporary_;
    std::shared_ptr<CountingCodeSigning> codeSigning_ = std::make_shared<CountingCodeSigning>(
        std::make_shared<codesign::LocalCodeSigning>(SigningAuthority::development().codeSigning()));
    HelperEnvironment environment_;
    FixtureApplication application_;
    std::optional<ChildProcess> caller_;
};

TEST_F(HelperAdmission, AdmitsTheSignedApplicationRunByAUser) {
    EXPECT_TRUE(HelperProgram::admit(environment_, peer(501)).has_value());
    EXPECT_GT(codeSigning_->guests, 0);
}

TEST_F(HelperAdmission, RefusesRootBeforeAnyCodeSigningWork) {
    EXPECT_FALSE(HelperProgram::admit(environment_, peer(0)).has_value());
    EXPECT_EQ(codeSigning_->guests, 0);
}

// The process the validation looked at must be the one that connected: an
// identifier that now names a process with another start time is refused.
TEST_F(HelperAdmission, RefusesACallerWhoseProcessChangedSinceItConnected) {
    ipc::PeerCredentials changed = peer(501);
    ASSERT_TRUE(changed.process);
    changed.process->startMicroseconds += 1;
    EXPECT_FALSE(HelperProgram::admit(environment_, changed).has_value());
    EXPECT_GT(codeSigning_->guests, 0);

    ipc::PeerCredentials unseen = peer(501);
    unseen.process.reset();
    EXPECT_FALSE(HelperProgram::admit(environment_, unseen).has_value());
}

TEST_F(HelperAdmission, RefusesAProgramOutsideASignedApplication) {
    const ChildProcess stranger = startProgram(testProgram());
    ipc::PeerCredentials credentials;
    credentials.processIdentifier = stranger.pid();
    credentials.effectiveUserIdentifier = 501;
    credentials.process = ProcessInfo::identity(stranger.pid());
    EXPECT_FALSE(HelperProgram::admit(environment_, credentials).has_value());
}

}  // namespace
}  // namespace tarnel::testing
