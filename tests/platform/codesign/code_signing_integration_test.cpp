#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "common/base/base64.hpp"
#include "common/base/digest.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "platform/codesign/code_files.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/codesign/signature_format.hpp"
#include "platform/codesign/signer.hpp"
#include "tests/support/code_signing_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::codesign {
namespace {

namespace fs = std::filesystem;
using testing::SigningAuthority;
using testing::TemporaryDirectory;

constexpr std::uint32_t kStrictAll = flags::allArchitectures | flags::strictValidation;  // 17
constexpr std::uint32_t kWithoutResources = kStrictAll | flags::doNotValidateResources;  // 21

fs::path fixture(const std::string& name) { return fs::path(TARNEL_TEST_FIXTURES) / "codesign" / name; }

std::string hex(const std::string& bytes) {
    return lowercaseHex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

ecdsa::P256PublicKey fixtureKey(const std::string& name) {
    return ecdsa::P256PublicKey::fromSPKI(testing::readFixture("codesign/" + name + ".spki.der"));
}

std::shared_ptr<const StaticCode> openCode(const CodeSigning& service, const fs::path& path) {
    auto code = service.createStaticCode(path, flags::none);
    EXPECT_EQ(code.status, status::success) << path;
    if (!code.value) throw std::runtime_error("no static code for " + path.string());
    return code.value;
}

Status staticStatus(const CodeSigning& service, const fs::path& path, std::uint32_t checkFlags,
                    const Requirement* requirement = nullptr) {
    auto code = service.createStaticCode(path, flags::none);
    if (code.status != status::success) return code.status;
    return service.checkStaticValidity(*code.value, checkFlags, requirement);
}

std::string identityOf(const CodeSigning& service, const StaticCode& code) {
    const auto information = service.copySigningInformation(code, flags::signingInformation);
    EXPECT_EQ(information.status, status::success);
    return information.value ? information.value->unique : std::string();
}

std::string identityOf(const CodeSigning& service, const fs::path& path) {
    return identityOf(service, *openCode(service, path));
}

Requirement designatedOf(const CodeSigning& service, const fs::path& path) {
    const auto requirement = service.copyDesignatedRequirement(*openCode(service, path), flags::none);
    EXPECT_EQ(requirement.status, status::success);
    return *requirement.value;
}

Requirement compiled(std::string_view text) { return *Requirement::compile(text); }

const Requirement kRuntimeAnchor = compiled(R"(anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");

// --- Fixtures made by openssl and Python ------------------------------------

TEST(CodeSignatureFixtures, SignaturesMadeByOpensslVerifyAndTheIdentityIsTheRecordsSha256) {
    const LocalCodeSigning service(fixtureKey("anchor"));
    for (const char* name : {"signed-executable", "Fixture.app"}) {
        SCOPED_TRACE(name);
        const auto code = openCode(service, fixture(name));
        EXPECT_EQ(service.checkStaticValidity(*code, kStrictAll, &kRuntimeAnchor), status::success);
        const auto designated = service.copyDesignatedRequirement(*code, flags::none);
        ASSERT_EQ(designated.status, status::success);
        EXPECT_EQ(service.checkStaticValidity(*code, kStrictAll, designated.value.get()), status::success);
        const std::string identity = identityOf(service, *code);
        EXPECT_EQ(identity.size(), 32u);
        EXPECT_EQ(hex(identity), trimmed(testing::readFixture("codesign/" + std::string(name) + ".identity")));
    }
    EXPECT_EQ(designatedOf(service, fixture("Fixture.app")).text(),
              R"(identifier "app.tarnel.direct.fixture" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");

    // Our writers give Python's bytes for the same record and certificate.
    const std::string bundleSignature = testing::readFixture("codesign/Fixture.app/Contents/CodeSignature");
    const auto verified = verifySignature(bundleSignature, true);
    ASSERT_EQ(verified.status, status::success);
    EXPECT_EQ(verified.value->recordBytes, testing::readFixture("codesign/Fixture.app.record.json"));
    EXPECT_EQ(encodeRecord(verified.value->record), verified.value->recordBytes);
    EXPECT_EQ(verified.value->record.resources.size(), 2u);
    const json::Value credentials = json::parse(testing::readFixture("codesign/team.certificate"));
    EXPECT_EQ(encodeCertificate(verified.value->certificate),
              *base64Decode(credentials.at("certificate").get<std::string>()));
    EXPECT_EQ(verified.value->certificate.publicKeySPKI, testing::readFixture("codesign/team.spki.der"));
}

TEST(CodeSignatureFixtures, AnotherAnchorIsValidButNotTrustedAndUnknownMembersFailOnlyStrictly) {
    const LocalCodeSigning trustingAnchor(fixtureKey("anchor"));
    const LocalCodeSigning trustingOther(fixtureKey("other-anchor"));
    const LocalCodeSigning trustingNone(std::nullopt);
    const fs::path other = fixture("signed-executable-other-anchor");
    EXPECT_EQ(staticStatus(trustingAnchor, other, kStrictAll), status::success);
    EXPECT_EQ(staticStatus(trustingAnchor, other, kStrictAll, &kRuntimeAnchor), status::requirementFailed);
    EXPECT_EQ(staticStatus(trustingOther, other, kStrictAll, &kRuntimeAnchor), status::success);
    EXPECT_EQ(staticStatus(trustingNone, other, kStrictAll, &kRuntimeAnchor), status::requirementFailed);
    // Identifier and team alone do not name an anchor.
    const Requirement named = compiled(
        R"(identifier "app.tarnel.fixture.executable" and certificate leaf[subject.OU] = "QK7W2M9XRT")");
    EXPECT_EQ(staticStatus(trustingAnchor, other, kStrictAll, &named), status::success);

    const fs::path extra = fixture("signed-executable-extra-member");
    EXPECT_EQ(staticStatus(trustingAnchor, extra, flags::allArchitectures, &kRuntimeAnchor), status::success);
    EXPECT_EQ(staticStatus(trustingAnchor, extra, kStrictAll, &kRuntimeAnchor), status::malformedSignature);
    EXPECT_EQ(hex(identityOf(trustingAnchor, extra)),
              trimmed(testing::readFixture("codesign/signed-executable-extra-member.identity")));
}

TEST(CodeSignatureFixtures, OurSignerWritesWhatTheFixtureRecordHolds) {
    TemporaryDirectory directory;
    const TeamCredentials team = loadTeamCredentials(fixture(""));
    EXPECT_EQ(team.teamIdentifier, "QK7W2M9XRT");
    const auto embedded = [](const fs::path& path) {
        const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        auto signature = code_files::readEmbeddedSignature(file.get());
        EXPECT_EQ(signature.status, status::success);
        return signature;
    };
    // The fixture's program bytes, signed by us with the fixture's team key.
    const auto original = embedded(fixture("signed-executable"));
    const std::string program =
        testing::readFixture("codesign/signed-executable").substr(0, static_cast<std::size_t>(original.signedLength));
    files::writeAtomically(directory / "program", program, 0755);
    signExecutable(directory / "program", directory / "signed", "app.tarnel.fixture.executable", team);

    const LocalCodeSigning service(fixtureKey("anchor"));
    EXPECT_EQ(staticStatus(service, directory / "signed", kStrictAll, &kRuntimeAnchor), status::success);
    const auto ours = verifySignature(embedded(directory / "signed").signature, true);
    const auto theirs = verifySignature(original.signature, true);
    ASSERT_EQ(ours.status, status::success);
    ASSERT_EQ(theirs.status, status::success);
    EXPECT_EQ(ours.value->certificate, theirs.value->certificate);
    // Equal but for the signature UUID, which makes every signing new.
    CodeRecord record = ours.value->record;
    EXPECT_NE(record.signatureUUID, theirs.value->record.signatureUUID);
    record.signatureUUID = theirs.value->record.signatureUUID;
    EXPECT_EQ(record, theirs.value->record);
    EXPECT_EQ(encodeRecord(record), testing::readFixture("codesign/signed-executable.record.json"));
    EXPECT_NE(identityOf(service, directory / "signed"), identityOf(service, fixture("signed-executable")));
}

// --- Executables -------------------------------------------------------------

TEST(SignedExecutable, ACopyKeepsTheIdentityAndAChangedByteFails) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    authority.signCopy(testing::testProgram(), directory / "program", "app.tarnel.test");
    const std::string identity = identityOf(service, directory / "program");
    EXPECT_EQ(identity.size(), 32u);
    const Requirement designated = designatedOf(service, directory / "program");
    EXPECT_EQ(designated.text(),
              R"(identifier "app.tarnel.test" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");

    testing::copyFile(directory / "program", directory / "copy");
    EXPECT_EQ(identityOf(service, directory / "copy"), identity);
    EXPECT_EQ(staticStatus(service, directory / "copy", kStrictAll, &designated), status::success);

    const std::uint64_t size = fs::file_size(directory / "program");
    const std::uint64_t signedLength = fs::file_size(testing::testProgram());
    const struct {
        const char* what;
        std::int64_t offset;
        Status expected;
    } flips[] = {
        {"first program byte", 0, status::codeModified},
        {"last program byte", static_cast<std::int64_t>(signedLength) - 1, status::codeModified},
        {"inside the signature", static_cast<std::int64_t>(signedLength) + 100, status::malformedSignature},
        {"signature length", -9, status::malformedSignature},
        {"magic", -1, status::notSigned},
    };
    for (const auto& flip : flips) {
        SCOPED_TRACE(flip.what);
        testing::copyFile(directory / "program", directory / "copy");
        testing::flipByte(directory / "copy", flip.offset);
        EXPECT_EQ(staticStatus(service, directory / "copy", kStrictAll, &designated), flip.expected);
    }
    EXPECT_LT(signedLength + 100, size);

    // Signing again gives a new identity; the program bytes stay.
    authority.signCopy(directory / "program", directory / "again", "app.tarnel.test");
    EXPECT_NE(identityOf(service, directory / "again"), identity);
    EXPECT_EQ(staticStatus(service, directory / "again", kStrictAll, &designated), status::success);
}

// Program bytes beyond the largest size a signature covers are refused as
// modified before any of them is hashed, and the signer refuses to sign them.
TEST(SignedExecutable, AnImageLargerThanASignatureCoversIsRefused) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    authority.signCopy(testing::testProgram(), directory / "program", "app.tarnel.test");
    const std::string signedBytes = *files::readIfExists(directory / "program");
    const std::uint64_t signedLength = fs::file_size(testing::testProgram());
    const std::string trailer = signedBytes.substr(signedLength);

    // The program, then zeros up to just past the cap (a sparse file), then the genuine signature.
    const fs::path padded = directory / "padded";
    files::writeAtomically(padded, signedBytes.substr(0, signedLength), 0755);
    fs::resize_file(padded, layout::maximumCodeFileSize + 1 - trailer.size());
    std::ofstream(padded, std::ios::binary | std::ios::app) << trailer;
    ASSERT_EQ(fs::file_size(padded), layout::maximumCodeFileSize + 1);
    EXPECT_EQ(staticStatus(service, padded, kStrictAll), status::codeModified);
    EXPECT_EQ(staticStatus(service, padded, flags::allArchitectures), status::codeModified);

    fs::resize_file(padded, layout::maximumCodeFileSize + 1);
    try {
        signExecutable(padded, directory / "signed-padded", "app.tarnel.test", authority.team);
        ADD_FAILURE() << "signed an image larger than a signature covers";
    } catch (const CodeSigningError& error) {
        EXPECT_NE(error.message().find("larger than a signature covers"), std::string::npos) << error.message();
    }
    EXPECT_FALSE(fs::exists(directory / "signed-padded"));
}

TEST(SignedExecutable, TheRightTeamUnderAnotherAnchorFailsAnchorAppleGeneric) {
    TemporaryDirectory directory;
    const auto trusted = SigningAuthority::generate();
    const auto stranger = SigningAuthority::generate();  // same team identifier, another anchor
    stranger.signCopy(testing::testProgram(), directory / "program", "app.tarnel.test");
    const auto service = trusted.codeSigning();
    EXPECT_EQ(staticStatus(service, directory / "program", kStrictAll), status::success);
    EXPECT_EQ(staticStatus(service, directory / "program", kStrictAll, &kRuntimeAnchor), status::requirementFailed);
    EXPECT_EQ(staticStatus(stranger.codeSigning(), directory / "program", kStrictAll, &kRuntimeAnchor),
              status::success);
    // Another team of the trusted anchor fails the team clause only.
    trusted.withTeam("OTHERTEAM1").signCopy(testing::testProgram(), directory / "other-team", "app.tarnel.test");
    EXPECT_EQ(staticStatus(service, directory / "other-team", kStrictAll, &kRuntimeAnchor),
              status::requirementFailed);
    const Requirement anyTeam = compiled("anchor apple generic");
    EXPECT_EQ(staticStatus(service, directory / "other-team", kStrictAll, &anyTeam), status::success);
}

TEST(SignedExecutable, APathIsOpenedOnceWithoutFollowingALink) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    authority.signCopy(testing::testProgram(), directory / "program", "app.tarnel.first");
    authority.signCopy(testing::testProgram(), directory / "replacement", "app.tarnel.second");
    const auto code = openCode(service, directory / "program");
    const std::string identity = identityOf(service, *code);

    // Replaced on disk after it was opened: the object still describes what it opened.
    fs::rename(directory / "replacement", directory / "program");
    EXPECT_EQ(identityOf(service, *code), identity);
    const Requirement first = compiled(R"(identifier "app.tarnel.first")");
    EXPECT_EQ(service.checkStaticValidity(*code, kStrictAll, &first), status::success);
    EXPECT_NE(identityOf(service, directory / "program"), identity);

    fs::create_symlink(directory / "program", directory / "link");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    fs::create_directory(directory / "folder");
    EXPECT_EQ(service.createStaticCode(directory / "link", flags::none).status, status::unreadable);
    EXPECT_EQ(service.createStaticCode(directory / "missing", flags::none).status, status::unreadable);
    EXPECT_EQ(service.createStaticCode(directory / "fifo", flags::none).status, status::unreadable);
    EXPECT_EQ(staticStatus(service, directory / "folder", kStrictAll), status::notSigned);
    EXPECT_EQ(staticStatus(service, testing::testProgram(), kStrictAll), status::notSigned);
    EXPECT_EQ(service.createStaticCode(directory / "program", flags::strictValidation).status, status::invalidFlags);
    EXPECT_EQ(service.checkStaticValidity(*code, flags::signingInformation, nullptr), status::invalidFlags);
    EXPECT_EQ(service.copySigningInformation(*code, flags::strictValidation).status, status::invalidFlags);

    // An object of another service is refused, not misread.
    struct Foreign final : StaticCode {};
    EXPECT_EQ(service.checkStaticValidity(Foreign(), kStrictAll, nullptr), status::invalidObject);
    EXPECT_EQ(service.copyPath(Foreign(), flags::none).status, status::invalidObject);
}

// --- Bundles -----------------------------------------------------------------

TEST(SignedBundle, TheSealCoversExecutableInfoPlistAndResourcesAsTheFlagsSay) {
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    const Status ok = status::success;
    const struct {
        const char* what;
        std::function<void(const testing::FixtureApplication&)> change;
        Status withoutResources;  // flags 21
        Status strict;            // flags 17
        Status lenient;           // flags 1
    } cases[] = {
        {"intact", [](const auto&) {}, ok, ok, ok},
        {"runtime changed", [](const auto& app) { testing::flipByte(app.runtime, 0); }, ok,
         status::resourcesModified, status::resourcesModified},
        {"runtime removed", [](const auto& app) { fs::remove(app.runtime); }, ok, status::resourcesModified,
         status::resourcesModified},
        {"runtime replaced by a link to an equal copy",
         [](const auto& app) {
             fs::rename(app.runtime, app.bundle.parent_path() / "sing-box");
             fs::create_symlink(app.bundle.parent_path() / "sing-box", app.runtime);
         },
         ok, status::resourcesModified, status::resourcesModified},
        {"unsealed file added",
         [](const auto& app) { files::writeAtomically(app.runtime.parent_path() / "extra", "x", 0644); }, ok,
         status::resourcesModified, ok},
        {"link added", [](const auto& app) { fs::create_symlink("/etc/hostname", app.runtime.parent_path() / "l"); },
         ok, status::resourcesModified, ok},
        {"file beside Contents",
         [](const auto& app) { files::writeAtomically(app.bundle / "extra", "x", 0644); }, ok,
         status::resourcesModified, ok},
        {"link beside Contents", [](const auto& app) { fs::create_symlink("/etc", app.bundle / "etc"); }, ok,
         status::resourcesModified, ok},
        {"Info.plist changed",
         [](const auto& app) { files::writeAtomically(app.infoPlist, "<plist/>", 0644); },
         status::codeModified, status::codeModified, status::codeModified},
        {"main executable changed", [](const auto& app) { testing::flipByte(app.executable, 0); },
         status::codeModified, status::codeModified, status::codeModified},
        {"main executable replaced by a link",
         [](const auto& app) {
             fs::rename(app.executable, app.bundle.parent_path() / "main");
             fs::create_symlink(app.bundle.parent_path() / "main", app.executable);
         },
         status::codeModified, status::codeModified, status::codeModified},
        {"signature removed", [](const auto& app) { fs::remove(app.bundle / "Contents" / "CodeSignature"); },
         status::notSigned, status::notSigned, status::notSigned},
        // Sparse files over the largest size a signature covers: refused before they are read.
        {"main executable padded past what a signature covers",
         [](const auto& app) { fs::resize_file(app.executable, layout::maximumCodeFileSize + 1); },
         status::codeModified, status::codeModified, status::codeModified},
        {"Info.plist padded past what a signature covers",
         [](const auto& app) { fs::resize_file(app.infoPlist, layout::maximumCodeFileSize + 1); },
         status::codeModified, status::codeModified, status::codeModified},
        {"runtime padded past what a signature covers",
         [](const auto& app) { fs::resize_file(app.runtime, layout::maximumCodeFileSize + 1); }, ok,
         status::resourcesModified, status::resourcesModified},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        TemporaryDirectory directory;
        const auto application = testing::buildFixtureApplication(directory.path(), authority);
        example.change(application);
        const Requirement designated = Requirement::designated("app.tarnel.direct", "QK7W2M9XRT");
        EXPECT_EQ(staticStatus(service, application.bundle, kWithoutResources, &designated), example.withoutResources);
        EXPECT_EQ(staticStatus(service, application.bundle, kStrictAll, &designated), example.strict);
        EXPECT_EQ(staticStatus(service, application.bundle, flags::allArchitectures, &designated), example.lenient);
    }
}

TEST(SignedBundle, AFileResourceIsCheckedAgainstItsSeal) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    const auto application = testing::buildFixtureApplication(directory.path(), authority);
    const auto bundle = openCode(service, application.bundle);
    const std::string runtime = *files::readIfExists(application.runtime);
    EXPECT_EQ(service.validateFileResource(*bundle, "Resources/bin/sing-box", runtime, flags::none), status::success);
    std::string changed = runtime;
    changed.back() = static_cast<char>(~changed.back());
    EXPECT_EQ(service.validateFileResource(*bundle, "Resources/bin/sing-box", changed, flags::none),
              status::resourcesModified);
    EXPECT_EQ(service.validateFileResource(*bundle, "Resources/bin/other", runtime, flags::none),
              status::resourceNotSealed);
    EXPECT_EQ(service.validateFileResource(*bundle, "MacOS/Tarnel Direct", runtime, flags::none),
              status::resourceNotSealed);
    // A single executable seals no resources.
    EXPECT_EQ(service.validateFileResource(*openCode(service, application.runtime), "Resources/bin/sing-box", runtime,
                                           flags::none),
              status::resourceNotSealed);
    EXPECT_EQ(service.validateFileResource(*bundle, "Resources/bin/sing-box", runtime, flags::strictValidation),
              status::invalidFlags);
}

TEST(SignedBundle, TheSignerRefusesWhatItCannotSeal) {
    const auto authority = SigningAuthority::generate();
    testing::FixtureApplicationOptions unsigned_;
    unsigned_.signBundle = false;
    const auto expectRefusal = [&](const std::function<void(const testing::FixtureApplication&)>& change,
                                   const std::string& words) {
        TemporaryDirectory directory;
        const auto application = testing::buildFixtureApplication(directory.path(), authority, unsigned_);
        change(application);
        try {
            signBundle(application.bundle, std::nullopt, authority.team);
            ADD_FAILURE() << "signed although " << words;
        } catch (const CodeSigningError& error) {
            EXPECT_NE(error.message().find(words), std::string::npos) << error.message();
        }
    };
    expectRefusal([&](const auto& app) { authority.signCopy(app.executable, app.executable, "x"); },
                  "carries a signature of its own");
    expectRefusal([](const auto& app) { fs::resize_file(app.runtime, layout::maximumCodeFileSize + 1); },
                  "larger than a signature covers");
    expectRefusal([](const auto& app) { fs::create_symlink("/etc/hostname", app.runtime.parent_path() / "l"); },
                  "link or special file");
    expectRefusal([](const auto& app) { testing::writeInfoPlist(app.infoPlist, {{"CFBundleIdentifier", "a"}}); },
                  "does not name a main executable");
    expectRefusal([](const auto& app) { testing::writeInfoPlist(app.infoPlist, {{"CFBundleExecutable", "Tarnel Direct"}}); },
                  "has no bundle identifier");
    expectRefusal([](const auto& app) {
        testing::writeInfoPlist(app.infoPlist, {{"CFBundleExecutable", "Tarnel Direct"}, {"CFBundleIdentifier", "a\"b"}});
    }, "cannot be signed");
}

// --- Running code ------------------------------------------------------------

TEST(RunningCode, AGuestIsItsImageAndAFileReplacedAfterLaunchKeepsTheOldIdentity) {
    TemporaryDirectory temporary;
    const fs::path directory = testing::realPath(temporary.path());
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    authority.signCopy(testing::testProgram(), directory / "program", "app.tarnel.first");
    authority.signCopy(testing::testProgram(), directory / "program.new", "app.tarnel.second");
    const std::string first = identityOf(service, directory / "program");
    const Requirement firstRequirement = designatedOf(service, directory / "program");

    auto child = testing::startProgram(directory / "program");
    const auto liveIdentity = [&] {
        const auto guest = service.copyGuest(child.pid(), flags::none);
        EXPECT_EQ(guest.status, status::success);
        EXPECT_EQ(service.checkValidity(*guest.value, flags::strictValidation, &firstRequirement), status::success);
        const auto staticCode = service.copyStaticCode(*guest.value, flags::none);
        EXPECT_EQ(staticCode.status, status::success);
        return identityOf(service, *staticCode.value);
    };
    EXPECT_EQ(liveIdentity(), first);
    const auto guest = service.copyGuest(child.pid(), flags::none);
    EXPECT_EQ(service.copyPath(*service.copyStaticCode(*guest.value, flags::allArchitectures).value, flags::none).value,
              directory / "program");

    // A differently signed build renamed over the file.
    fs::rename(directory / "program.new", directory / "program");
    const std::string second = identityOf(service, directory / "program");
    EXPECT_NE(second, first);
    EXPECT_EQ(liveIdentity(), first);
    EXPECT_EQ(staticStatus(service, directory / "program", kStrictAll, &firstRequirement), status::requirementFailed);

    // Gone: no guest, however it is asked.
    ASSERT_TRUE(child.stop(1.0, 1.0));
    EXPECT_EQ(service.copyGuest(child.pid(), flags::none).status, status::noSuchProcess);  // a zombie
    for (const std::int32_t pid : {0, -1, -4096}) {
        EXPECT_EQ(service.copyGuest(pid, flags::none).status, status::noSuchProcess) << pid;
    }
    EXPECT_EQ(service.copyGuest(::getpid(), flags::allArchitectures).status, status::invalidFlags);
}

TEST(RunningCode, AnUnsignedImageIsNotSigned) {
    TemporaryDirectory temporary;
    const fs::path directory = testing::realPath(temporary.path());
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    testing::copyFile(testing::testProgram(), directory / "unsigned");
    auto unsignedChild = testing::startProgram(directory / "unsigned");
    const auto unsignedGuest = service.copyGuest(unsignedChild.pid(), flags::none);
    ASSERT_EQ(unsignedGuest.status, status::success);
    EXPECT_EQ(service.checkValidity(*unsignedGuest.value, flags::strictValidation, nullptr), status::notSigned);

    authority.signCopy(testing::testProgram(), directory / "signed", "app.tarnel.test");
    auto signedChild = testing::startProgram(directory / "signed");
    const auto signedGuest = service.copyGuest(signedChild.pid(), flags::none);
    ASSERT_EQ(service.checkValidity(*signedGuest.value, flags::strictValidation, &kRuntimeAnchor), status::success);
    EXPECT_EQ(service.checkValidity(*signedGuest.value, flags::allArchitectures, nullptr), status::invalidFlags);
}

TEST(RunningCode, TheMainExecutableOfABundleIsTheBundle) {
    TemporaryDirectory temporary;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    const auto application = testing::buildFixtureApplication(testing::realPath(temporary.path()), authority);
    auto child = testing::startProgram(application.executable);
    const auto guest = service.copyGuest(child.pid(), flags::none);
    ASSERT_EQ(guest.status, status::success);
    const Requirement designated = designatedOf(service, application.bundle);
    EXPECT_EQ(service.checkValidity(*guest.value, flags::strictValidation, &designated), status::success);
    const auto bundle = service.copyStaticCode(*guest.value, flags::allArchitectures);
    ASSERT_EQ(bundle.status, status::success);
    EXPECT_EQ(service.copyPath(*bundle.value, flags::none).value, application.bundle);
    EXPECT_EQ(identityOf(service, *bundle.value), identityOf(service, application.bundle));
    EXPECT_EQ(service.checkStaticValidity(*bundle.value, kStrictAll, &designated), status::success);
    // Opened by the path of its main executable, it is the bundle too.
    EXPECT_EQ(service.copyPath(*openCode(service, application.executable), flags::none).value, application.bundle);
    EXPECT_EQ(identityOf(service, application.executable), identityOf(service, application.bundle));

    // The sealed Info.plist is part of what the running code is checked against.
    files::writeAtomically(application.infoPlist, "<plist/>", 0644);
    const auto again = service.copyGuest(child.pid(), flags::none);
    EXPECT_EQ(service.checkValidity(*again.value, flags::strictValidation, &designated), status::codeModified);
}

}  // namespace
}  // namespace tarnel::codesign
