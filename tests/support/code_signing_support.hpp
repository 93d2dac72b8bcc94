#pragma once

// Signed programs and fixture applications for tests, made at test time.
// Tests that include this header link tarnel_platform.

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/files.hpp"
#include "common/process/child_process.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/codesign/signer.hpp"

namespace tarnel::testing {

// The team every signature of the system names.
inline constexpr std::string_view kTeamIdentifier = "QK7W2M9XRT";

// The build's small test program (tests/support/test_program.cpp), unsigned.
inline std::filesystem::path testProgram() { return TARNEL_TEST_PROGRAM; }
// The same program signed by the build's development team as
// "app.tarnel.direct.test-program" (cmake/TarnelCodesign.cmake).
inline std::filesystem::path developmentSignedTestProgram() { return TARNEL_SIGNED_TEST_PROGRAM; }
// The build's development anchor and team key.
inline std::filesystem::path developmentSigningDirectory() { return TARNEL_CODESIGN_DEVELOPMENT_DIR; }
// The sing-box stand-in signed by the build's development team as "sing-box",
// the way the real runtime is signed (standins/sing-box).
inline std::filesystem::path developmentSignedStandInRuntime() { return TARNEL_SIGNED_SING_BOX; }

// An anchor and one team certified by it.
struct SigningAuthority {
    ecdsa::P256PrivateKey anchor;
    codesign::TeamCredentials team;

    // A new anchor and team key, made in memory.
    static SigningAuthority generate(std::string_view teamIdentifier = kTeamIdentifier) {
        auto anchor = ecdsa::P256PrivateKey::generate();
        auto team = codesign::issueTeamCredentials(anchor, teamIdentifier, ecdsa::P256PrivateKey::generate());
        return SigningAuthority{std::move(anchor), std::move(team)};
    }
    // The build's development anchor and its team.
    static SigningAuthority development() {
        const std::filesystem::path directory = developmentSigningDirectory();
        return SigningAuthority{codesign::loadAnchor(directory), codesign::loadTeamCredentials(directory / "team")};
    }
    // Another team key certified by the same anchor.
    [[nodiscard]] SigningAuthority withTeam(std::string_view teamIdentifier) const {
        return SigningAuthority{anchor,
                                codesign::issueTeamCredentials(anchor, teamIdentifier, ecdsa::P256PrivateKey::generate())};
    }
    // The code-signing service that trusts this anchor.
    [[nodiscard]] codesign::LocalCodeSigning codeSigning() const { return codesign::LocalCodeSigning(anchor.publicKey()); }

    // Writes a copy of `program` to `destination`, mode 0755, signed as `identifier`.
    void signCopy(const std::filesystem::path& program, const std::filesystem::path& destination,
                  std::string_view identifier) const {
        codesign::signExecutable(program, destination, identifier, team);
        std::filesystem::permissions(destination, std::filesystem::perms(0755));
    }
};

// A code-signing service that makes every call on another. Tests derive from
// it to watch the calls (beforeCall) or to change one of them.
class ForwardingCodeSigning : public codesign::CodeSigning {
public:
    explicit ForwardingCodeSigning(std::shared_ptr<const codesign::CodeSigning> real) : real_(std::move(real)) {}

    codesign::Result<std::shared_ptr<const codesign::Code>> copyGuest(std::int32_t pid,
                                                                      std::uint32_t flags) const override {
        beforeCall();
        return real_->copyGuest(pid, flags);
    }
    codesign::Status checkValidity(const codesign::Code& code, std::uint32_t flags,
                                   const codesign::Requirement* requirement) const override {
        beforeCall();
        return real_->checkValidity(code, flags, requirement);
    }
    codesign::Result<std::shared_ptr<const codesign::StaticCode>> copyStaticCode(const codesign::Code& code,
                                                                                 std::uint32_t flags) const override {
        beforeCall();
        return real_->copyStaticCode(code, flags);
    }
    codesign::Result<std::optional<std::filesystem::path>> copyPath(const codesign::StaticCode& code,
                                                                    std::uint32_t flags) const override {
        beforeCall();
        return real_->copyPath(code, flags);
    }
    codesign::Result<std::shared_ptr<const codesign::StaticCode>> createStaticCode(
        const std::filesystem::path& path, std::uint32_t flags) const override {
        beforeCall();
        return real_->createStaticCode(path, flags);
    }
    codesign::Result<std::shared_ptr<const codesign::StaticCode>> createStaticCodeFromFile(
        int file, const std::filesystem::path& path, std::uint32_t flags) const override {
        beforeCall();
        return real_->createStaticCodeFromFile(file, path, flags);
    }
    codesign::Status checkStaticValidity(const codesign::StaticCode& code, std::uint32_t flags,
                                         const codesign::Requirement* requirement) const override {
        beforeCall();
        return real_->checkStaticValidity(code, flags, requirement);
    }
    codesign::Result<std::shared_ptr<const codesign::Requirement>> copyDesignatedRequirement(
        const codesign::StaticCode& code, std::uint32_t flags) const override {
        beforeCall();
        return real_->copyDesignatedRequirement(code, flags);
    }
    codesign::Result<std::optional<codesign::SigningInformation>> copySigningInformation(
        const codesign::StaticCode& code, std::uint32_t flags) const override {
        beforeCall();
        return real_->copySigningInformation(code, flags);
    }
    codesign::Status validateFileResource(const codesign::StaticCode& code, std::string_view relativePath,
                                          std::string_view bytes, std::uint32_t flags) const override {
        beforeCall();
        return real_->validateFileResource(code, relativePath, bytes, flags);
    }
    codesign::Result<std::shared_ptr<const codesign::Requirement>> createRequirement(
        std::string_view text, std::uint32_t flags) const override {
        beforeCall();
        return real_->createRequirement(text, flags);
    }

protected:
    // Runs before every call is passed on.
    virtual void beforeCall() const {}

private:
    std::shared_ptr<const codesign::CodeSigning> real_;
};

// Counts every call made to the service.
class CountingCodeSigning final : public ForwardingCodeSigning {
public:
    using ForwardingCodeSigning::ForwardingCodeSigning;
    [[nodiscard]] int calls() const { return calls_; }

private:
    void beforeCall() const override { ++calls_; }
    mutable std::atomic<int> calls_ = 0;
};

// A temporary directory's path with every link resolved, as /proc reports
// the paths of running programs.
inline std::filesystem::path realPath(const std::filesystem::path& path) { return std::filesystem::canonical(path); }

inline void copyFile(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::filesystem::perms mode = std::filesystem::perms(0755)) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, mode);
}

// Inverts the bits of one byte of a file in place; a negative offset counts
// from the end.
inline void flipByte(const std::filesystem::path& path, std::int64_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::int64_t size = file.tellg();
    const std::int64_t position = offset < 0 ? size + offset : offset;
    if (!file || position < 0 || position >= size) throw std::runtime_error("no such byte in " + path.string());
    char byte = 0;
    file.seekg(position);
    file.get(byte);
    file.seekp(position);
    file.put(static_cast<char>(~byte));
    if (!file) throw std::runtime_error("cannot change " + path.string());
}

// Starts a copy of the test program (or any program that prints "ready") and
// returns once it runs, with this environment ("KEY=value") when one is
// given. The child is stopped when the object ends.
inline ChildProcess startProgram(const std::filesystem::path& program, std::vector<std::string> arguments = {},
                                 std::optional<std::vector<std::string>> environment = std::nullopt) {
    ChildProcess::Options options;
    options.executable = program;
    options.arguments = std::move(arguments);
    options.environment = std::move(environment);
    options.output = ChildProcess::Redirect::pipe();
    options.inputRedirect = ChildProcess::Redirect::null();
    ChildProcess child = ChildProcess::spawn(options);
    std::string seen;
    const double end = SystemClock::shared().uptime() + 10.0;
    while (seen.find('\n') == std::string::npos) {
        const double left = end - SystemClock::shared().uptime();
        if (left <= 0) throw std::runtime_error(program.string() + " did not start");
        pollfd descriptor{child.standardOutput().get(), POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buffer[64];
        const ssize_t count = ::read(child.standardOutput().get(), buffer, sizeof buffer);
        if (count <= 0) throw std::runtime_error(program.string() + " ended before it was ready");
        seen.append(buffer, static_cast<std::size_t>(count));
    }
    if (seen != "ready\n") throw std::runtime_error(program.string() + " printed " + seen);
    return child;
}

// Writes an XML information property list with these string values.
inline void writeInfoPlist(const std::filesystem::path& path,
                           const std::vector<std::pair<std::string, std::string>>& strings) {
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (const char character : text) {
            switch (character) {
                case '&': out += "&amp;"; break;
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                default: out += character;
            }
        }
        return out;
    };
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : strings) {
        text += "  <key>" + escaped(key) + "</key>\n  <string>" + escaped(value) + "</string>\n";
    }
    text += "</dict>\n</plist>\n";
    files::writeAtomically(path, text, 0644);
}

// What goes into a fixture application. The defaults make the application
// that the helper admits: "Tarnel Direct.app" with the bundle identifier
// "app.tarnel.direct", the test program as its main executable and a signed
// copy of the test program as its runtime.
struct FixtureApplicationOptions {
    std::string bundleName = "Tarnel Direct.app";
    std::string bundleIdentifier = "app.tarnel.direct";  // the Info.plist's CFBundleIdentifier
    std::optional<std::string> signingIdentifier;        // the signature's; nothing: the bundle identifier
    std::string executableName = "Tarnel Direct";
    // Copied to Contents/MacOS/<executableName>; a bundle's main executable
    // carries no signature of its own.
    std::filesystem::path executable = testProgram();
    // Copied to Contents/Resources/bin/sing-box, mode 0755 (the stand-in
    // runtime, for example).
    std::filesystem::path runtime = testProgram();
    // Signs the runtime copy as this identifier with the authority's team;
    // nothing: the runtime is copied as it is (already signed).
    std::optional<std::string> runtimeIdentifier = "sing-box";
    bool signBundle = true;
    // More string keys of the Info.plist, after the three every fixture has.
    std::vector<std::pair<std::string, std::string>> infoPlistStrings;
};

struct FixtureApplication {
    std::filesystem::path bundle;      // <directory>/<bundleName>
    std::filesystem::path executable;  // Contents/MacOS/<executableName>
    std::filesystem::path runtime;     // Contents/Resources/bin/sing-box
    std::filesystem::path infoPlist;   // Contents/Info.plist
};

// Makes `Contents/{Info.plist, MacOS/<executable>, Resources/bin/sing-box}`
// of a new application bundle in `directory` (made when missing; pass a path
// without links, see realPath), signed by `authority`'s team.
inline FixtureApplication buildFixtureApplication(const std::filesystem::path& directory,
                                                  const SigningAuthority& authority,
                                                  const FixtureApplicationOptions& options = {}) {
    FixtureApplication application;
    application.bundle = directory / options.bundleName;
    const std::filesystem::path contents = application.bundle / "Contents";
    application.executable = contents / "MacOS" / options.executableName;
    application.runtime = contents / "Resources" / "bin" / "sing-box";
    application.infoPlist = contents / "Info.plist";
    std::filesystem::create_directories(application.executable.parent_path());
    std::filesystem::create_directories(application.runtime.parent_path());
    std::vector<std::pair<std::string, std::string>> strings{{"CFBundleExecutable", options.executableName},
                                                             {"CFBundleIdentifier", options.bundleIdentifier},
                                                             {"CFBundleName", "Tarnel Direct"}};
    strings.insert(strings.end(), options.infoPlistStrings.begin(), options.infoPlistStrings.end());
    writeInfoPlist(application.infoPlist, strings);
    copyFile(options.executable, application.executable);
    if (options.runtimeIdentifier) {
        authority.signCopy(options.runtime, application.runtime, *options.runtimeIdentifier);
    } else {
        copyFile(options.runtime, application.runtime);
    }
    if (options.signBundle) {
        const std::string identifier = options.signingIdentifier.value_or(options.bundleIdentifier);
        codesign::signBundle(application.bundle, identifier, authority.team);
    }
    return application;
}

// The application the helper admits, signed by the build's development team,
// whose Contents/Resources/bin/sing-box is the signed sing-box stand-in,
// sealed by the application's signature. Checked with
// SigningAuthority::development().codeSigning().
inline FixtureApplication buildStandInApplication(const std::filesystem::path& directory,
                                                  FixtureApplicationOptions options = {}) {
    options.runtime = developmentSignedStandInRuntime();
    options.runtimeIdentifier = std::nullopt;
    return buildFixtureApplication(directory, SigningAuthority::development(), options);
}

}  // namespace tarnel::testing
