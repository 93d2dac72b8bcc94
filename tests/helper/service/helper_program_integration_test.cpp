// The helper's admission of a connection, over a running process of a signed
// application and a code-signing service that counts its use.

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "helper/service/helper_program.hpp"
#include "helper/service/privileged_helper_service.hpp"
#include "platform/ipc/server.hpp"
#include "platform/process_info.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"
#include "tests/support/code_signing_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

class HelperAdmission : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.runtime = fixture_.environment();
        environment_.runtime.codeSigning = codeSigning_;
        application_ = buildStandInApplication(realPath(temporary_.path()));
        caller_.emplace(startProgram(application_.executable));
    }

    // A running process as the server saw it connect, as `user`.
    [[nodiscard]] static ipc::PeerCredentials peerOf(const ChildProcess& process, uid_t user) {
        ipc::PeerCredentials credentials;
        credentials.processIdentifier = process.pid();
        credentials.effectiveUserIdentifier = user;
        credentials.process = ProcessInfo::identity(process.pid());
        if (credentials.process) {
            if (auto handle = ProcessHandle::openMatching(process.pid(), *credentials.process)) {
                credentials.handle = std::make_shared<const ProcessHandle>(std::move(*handle));
            }
        }
        return credentials;
    }
    // The running application.
    [[nodiscard]] ipc::PeerCredentials peer(uid_t user) const { return peerOf(*caller_, user); }

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
    EXPECT_GT(codeSigning_->calls(), 0);
}

// The service runs for the user that connected: Tailscale's tool is run as
// that user, and any other would fail every Tailscale start.
TEST_F(HelperAdmission, TheServiceOfAConnectionIsForItsUserAndApplication) {
    for (const uid_t user : {501u, 502u}) {
        const auto service = HelperProgram::admittedService(environment_, peer(user));
        ASSERT_TRUE(service) << user;
        EXPECT_EQ(service->runtime().clientUserIdentifier(), user);
        EXPECT_EQ(service->runtime().applicationURL(), application_.bundle);
    }
}

TEST_F(HelperAdmission, RefusesRootBeforeAnyCodeSigningWork) {
    EXPECT_FALSE(HelperProgram::admit(environment_, peer(0)).has_value());
    EXPECT_EQ(codeSigning_->calls(), 0);
}

// The process the validation looked at must be the one that connected: an
// identifier that now names a process with another start time is refused.
TEST_F(HelperAdmission, RefusesACallerWhoseProcessChangedSinceItConnected) {
    ipc::PeerCredentials changed = peer(501);
    ASSERT_TRUE(changed.process);
    changed.process->startMicroseconds += 1;
    EXPECT_FALSE(HelperProgram::admit(environment_, changed).has_value());
    EXPECT_GT(codeSigning_->calls(), 0);

    ipc::PeerCredentials unseen = peer(501);
    unseen.process.reset();
    EXPECT_FALSE(HelperProgram::admit(environment_, unseen).has_value());
    ipc::PeerCredentials unheld = peer(501);
    unheld.handle.reset();
    EXPECT_FALSE(HelperProgram::admit(environment_, unheld).has_value());
}

// The signed application started with a loader variable that injects code
// is refused before any code-signing work, whatever the variable's value.
TEST_F(HelperAdmission, RefusesTheApplicationStartedWithALoaderVariable) {
    const auto start = [&](const std::string& variable) {
        return startProgram(application_.executable, {},
                            std::vector<std::string>{variable, "ASAN_OPTIONS=verify_asan_link_order=0"});
    };
    for (const char* variable : {"LD_PRELOAD=", "LD_LIBRARY_PATH=/nonexistent", "LD_AUDIT=/nonexistent/audit.so"}) {
        const ChildProcess injected = start(variable);
        const int callsBefore = codeSigning_->calls();
        EXPECT_FALSE(HelperProgram::admit(environment_, peerOf(injected, 501)).has_value()) << variable;
        EXPECT_EQ(codeSigning_->calls(), callsBefore) << variable;
    }
    // A variable that only begins like one of them is no reason to refuse.
    const ChildProcess plain = start("LD_PRELOADED=1");
    EXPECT_TRUE(HelperProgram::admit(environment_, peerOf(plain, 501)).has_value());
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
