// Signatures an attacker could make without the team's key or the anchor's:
// forged, spliced, moved to other files or malformed. None may pass.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/base/base64.hpp"
#include "common/base/digest.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"
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

constexpr std::uint32_t kStrictAll = flags::allArchitectures | flags::strictValidation;

const Requirement kRuntimeAnchor =
    *Requirement::compile(R"(anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")");

// The parts of a signature, each of which a case may replace.
struct Parts {
    CodeRecord record;
    std::string certificate;  // bytes
    ecdsa::P256PrivateKey certificateSigner;
    ecdsa::P256PrivateKey recordSigner;

    [[nodiscard]] std::string signature() const {
        const std::string recordBytes = encodeRecord(record);
        return encodeSignature(recordBytes, recordSigner.sign(recordBytes), certificate,
                               certificateSigner.sign(certificate));
    }
};

// What the signer would make for `program` with `authority`'s team, as parts.
Parts genuineParts(const SigningAuthority& authority, const std::string& program) {
    Parts parts{CodeRecord{}, authority.team.certificate, authority.anchor, authority.team.key};
    parts.record.identifier = "sing-box";
    parts.record.teamIdentifier = authority.team.teamIdentifier;
    parts.record.certificateSHA256 = sha256Hex(authority.team.certificate);
    parts.record.signatureUUID = Uuid::random().text();
    parts.record.executableSHA256 = sha256Hex(program);
    return parts;
}

std::string withTrailer(const std::string& program, const std::string& signature) {
    return program + signature + encodeTrailerFooter(signature.size());
}

Status staticStatus(const CodeSigning& service, const fs::path& path, const Requirement* requirement) {
    const auto code = service.createStaticCode(path, flags::none);
    if (code.status != status::success) return code.status;
    return service.checkStaticValidity(*code.value, kStrictAll, requirement);
}

TEST(ForgedSignature, NoForgedChainSplicedRecordOrMovedSignaturePasses) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    const auto attacker = ecdsa::P256PrivateKey::generate();
    const std::string program = *files::readIfExists(testing::testProgram());

    // The genuine parts pass: the cases below differ from them in one thing.
    files::writeAtomically(directory / "genuine", withTrailer(program, genuineParts(authority, program).signature()),
                           0755);
    ASSERT_EQ(staticStatus(service, directory / "genuine", &kRuntimeAnchor), status::success);

    const auto certificateFor = [&](std::string team, const ecdsa::P256PrivateKey& key, const std::string& anchor) {
        return encodeCertificate(TeamCertificate{std::move(team), key.publicKey().spki(), anchor});
    };
    const std::string trustedAnchor = authority.anchor.publicKey().spki();
    const struct {
        const char* what;
        std::function<std::string()> file;
        Status expected;
    } cases[] = {
        {"a certificate naming the trusted anchor, signed by another key",
         [&] {
             Parts parts = genuineParts(authority, program);
             parts.certificate = certificateFor("QK7W2M9XRT", attacker, trustedAnchor);
             parts.certificateSigner = attacker;
             parts.recordSigner = attacker;
             parts.record.certificateSHA256 = sha256Hex(parts.certificate);
             return withTrailer(program, parts.signature());
         },
         status::invalidSignature},
        {"the team's certificate with a record signed by another key",
         [&] {
             Parts parts = genuineParts(authority, program);
             parts.recordSigner = attacker;
             return withTrailer(program, parts.signature());
         },
         status::invalidSignature},
        {"a record naming another team than its certificate",
         [&] {
             const auto other = authority.withTeam("OTHERTEAM1");
             Parts parts = genuineParts(other, program);
             parts.record.teamIdentifier = "QK7W2M9XRT";
             return withTrailer(program, parts.signature());
         },
         status::invalidSignature},
        {"a record naming another certificate than the one it comes with",
         [&] {
             const auto other = authority.withTeam("QK7W2M9XRT");  // the same team, another key
             Parts parts = genuineParts(authority, program);
             parts.record.certificateSHA256 = sha256Hex(other.team.certificate);
             return withTrailer(program, parts.signature());
         },
         status::invalidSignature},
        {"a genuine signature of other program bytes",
         [&] { return withTrailer(program, genuineParts(authority, program + "x").signature()); },
         status::codeModified},
        {"a genuine signature with bytes added before it",
         [&] { return withTrailer(program + "x", genuineParts(authority, program).signature()); },
         status::codeModified},
        {"a bundle's record in an executable's trailer",
         [&] {
             Parts parts = genuineParts(authority, program);
             parts.record.kind = CodeRecord::Kind::bundle;
             parts.record.executable = "MacOS/x";
             parts.record.infoPlistSHA256 = sha256Hex("");
             return withTrailer(program, parts.signature());
         },
         status::malformedSignature},
        {"a certificate whose anchor key is the team key itself",
         [&] {
             Parts parts = genuineParts(authority, program);
             parts.certificate = certificateFor("QK7W2M9XRT", attacker, attacker.publicKey().spki());
             parts.certificateSigner = attacker;
             parts.recordSigner = attacker;
             parts.record.certificateSHA256 = sha256Hex(parts.certificate);
             return withTrailer(program, parts.signature());
         },
         status::requirementFailed},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        files::writeAtomically(directory / "forged", example.file(), 0755);
        EXPECT_EQ(staticStatus(service, directory / "forged", &kRuntimeAnchor), example.expected);
    }
}

TEST(ForgedSignature, TrailerLengthsThatDoNotFitAreMalformed) {
    TemporaryDirectory directory;
    const auto authority = SigningAuthority::generate();
    const auto service = authority.codeSigning();
    const std::string program = *files::readIfExists(testing::testProgram());
    const std::string signature = genuineParts(authority, program).signature();
    const std::string signedFile = withTrailer(program, signature);
    const std::string body = signedFile.substr(0, signedFile.size() - layout::trailerFooterSize);
    const struct {
        const char* what;
        std::string file;
        Status expected;
    } cases[] = {
        {"length zero", body + encodeTrailerFooter(0), status::malformedSignature},
        {"one byte longer than the file", body + encodeTrailerFooter(body.size() + 1), status::malformedSignature},
        {"the whole file", body + encodeTrailerFooter(body.size()), status::malformedSignature},
        {"the largest number", body + encodeTrailerFooter(~std::uint64_t{0}), status::malformedSignature},
        {"beyond the largest signature", body + encodeTrailerFooter(layout::maximumSignatureSize + 1),
         status::malformedSignature},
        {"one byte short", body + encodeTrailerFooter(signature.size() - 1), status::malformedSignature},
        {"one byte long", body + encodeTrailerFooter(signature.size() + 1), status::malformedSignature},
        {"only a footer", encodeTrailerFooter(0), status::malformedSignature},
        {"shorter than a footer", std::string(layout::trailerMagic), status::notSigned},
        {"empty", std::string(), status::notSigned},
        {"signed twice: the outer signature seals the inner",
         withTrailer(signedFile, genuineParts(authority, signedFile).signature()), status::success},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        files::writeAtomically(directory / "file", example.file, 0755);
        EXPECT_EQ(staticStatus(service, directory / "file", &kRuntimeAnchor), example.expected);
    }
}

TEST(ForgedSignature, SignatureTextsThatAreNotTheCanonicalFormFailStrictly) {
    const auto authority = SigningAuthority::generate();
    const std::string signature = genuineParts(authority, "program").signature();
    ASSERT_EQ(verifySignature(signature, true).status, status::success);
    // The canonical signature with members set to the value of another
    // member, or to the text given where it names none.
    const auto replaced = [&](const std::vector<std::pair<std::string, std::string>>& members) {
        json::Value value = json::parse(signature);
        const json::Value original = value;
        for (const auto& [key, from] : members) value[key] = original.contains(from) ? original.at(from) : json::Value(from);
        return json::writeCanonical(value);
    };

    std::string spaced = signature;
    spaced.insert(1, " ");
    std::string duplicated = signature;
    duplicated.insert(1, "\"format\":\"tarnel-code-signature-1\",");
    std::string extra = signature;
    extra.insert(1, "\"a\":\"b\",");
    const struct {
        const char* what;
        std::string text;
        Status strict;
        Status lenient;
    } cases[] = {
        {"white space", spaced, status::malformedSignature, status::success},
        {"an unknown member", extra, status::malformedSignature, status::success},
        {"a repeated member", duplicated, status::malformedSignature, status::malformedSignature},
        {"another format", replaced({{"format", "tarnel-code-signature-2"}}), status::malformedSignature,
         status::malformedSignature},
        {"the record's signature swapped with the certificate's",
         replaced({{"certificate_signature", "record_signature"}, {"record_signature", "certificate_signature"}}),
         status::invalidSignature, status::invalidSignature},
        {"an empty record", replaced({{"record", ""}}), status::malformedSignature, status::malformedSignature},
        {"not an object", "[]", status::malformedSignature, status::malformedSignature},
        {"empty", "", status::malformedSignature, status::malformedSignature},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        EXPECT_EQ(verifySignature(example.text, true).status, example.strict);
        EXPECT_EQ(verifySignature(example.text, false).status, example.lenient);
    }
}

TEST(ForgedSignature, ABundleSealNamesOnlyFilesInsideContents) {
    const auto authority = SigningAuthority::generate();
    const auto bundleParts = [&](const std::function<void(CodeRecord&)>& change) {
        Parts parts = genuineParts(authority, "main");
        parts.record.kind = CodeRecord::Kind::bundle;
        parts.record.executable = "MacOS/main";
        parts.record.infoPlistSHA256 = sha256Hex("plist");
        parts.record.resources = {{"Resources/bin/sing-box", sha256Hex("runtime")}};
        change(parts.record);
        return parts.signature();
    };
    ASSERT_EQ(verifySignature(bundleParts([](CodeRecord&) {}), true).status, status::success);
    const std::string digest = sha256Hex("x");
    for (const auto& [what, change] : std::initializer_list<std::pair<const char*, std::function<void(CodeRecord&)>>>{
             {"a resource above Contents", [&](CodeRecord& r) { r.resources["../escape"] = digest; }},
             {"a resource climbing out", [&](CodeRecord& r) { r.resources["Resources/../../escape"] = digest; }},
             {"an absolute resource", [&](CodeRecord& r) { r.resources["/etc/passwd"] = digest; }},
             {"a resource with an empty component", [&](CodeRecord& r) { r.resources["Resources//x"] = digest; }},
             {"a resource named \".\"", [&](CodeRecord& r) { r.resources["Resources/./x"] = digest; }},
             {"a resource with a trailing slash", [&](CodeRecord& r) { r.resources["Resources/x/"] = digest; }},
             {"the main executable as a resource", [&](CodeRecord& r) { r.resources["MacOS/main"] = digest; }},
             {"the Info.plist as a resource", [&](CodeRecord& r) { r.resources["Info.plist"] = digest; }},
             {"the signature as a resource", [&](CodeRecord& r) { r.resources["CodeSignature"] = digest; }},
             {"an upper-case hash", [&](CodeRecord& r) { r.resources["Resources/x"] = std::string(64, 'A'); }},
             {"a short hash", [&](CodeRecord& r) { r.resources["Resources/x"] = std::string(63, 'a'); }},
             {"a main executable outside MacOS", [](CodeRecord& r) { r.executable = "Resources/main"; }},
             {"a main executable climbing out", [](CodeRecord& r) { r.executable = "MacOS/../../main"; }},
             {"a main executable deeper in MacOS", [](CodeRecord& r) { r.executable = "MacOS/a/main"; }},
             {"a main executable named \"..\"", [](CodeRecord& r) { r.executable = "MacOS/.."; }},
             {"MacOS itself as the main executable", [](CodeRecord& r) { r.executable = "MacOS/"; }},
         }) {
        SCOPED_TRACE(what);
        const std::string signature = bundleParts(change);
        EXPECT_EQ(verifySignature(signature, true).status, status::malformedSignature);
        EXPECT_EQ(verifySignature(signature, false).status, status::malformedSignature);
    }
}

// Signed fixture applications in a temporary directory.
class ForgedBundle : public ::testing::Test {
protected:
    TemporaryDirectory temporary_;
    const fs::path root = testing::realPath(temporary_.path());
    const SigningAuthority authority = SigningAuthority::generate();
    const LocalCodeSigning service = authority.codeSigning();
    const Requirement designated = Requirement::designated("app.tarnel.direct", "QK7W2M9XRT");
};

TEST_F(ForgedBundle, ASignatureMovedToAnotherBundleOrFileKindFails) {
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    const auto genuine = testing::buildFixtureApplication(root / "a", authority);
    // The same application but another runtime, carrying the genuine seal.
    testing::FixtureApplicationOptions unsigned_;
    unsigned_.signBundle = false;
    unsigned_.runtimeIdentifier = "sing-box-other";
    const auto moved = testing::buildFixtureApplication(root / "b", authority, unsigned_);
    fs::copy_file(genuine.bundle / "Contents" / "CodeSignature", moved.bundle / "Contents" / "CodeSignature");
    EXPECT_EQ(staticStatus(service, moved.bundle, &designated), status::resourcesModified);
    const auto code = service.createStaticCode(moved.bundle, flags::none);
    EXPECT_EQ(service.validateFileResource(*code.value, "Resources/bin/sing-box", *files::readIfExists(moved.runtime),
                                           flags::none),
              status::resourcesModified);

    // An executable's signature as a bundle's, and a bundle's as an executable's trailer.
    const UniqueFd runtime(::open(genuine.runtime.c_str(), O_RDONLY | O_CLOEXEC));
    files::writeAtomically(moved.bundle / "Contents" / "CodeSignature",
                           code_files::readEmbeddedSignature(runtime.get()).signature, 0644);
    EXPECT_EQ(staticStatus(service, moved.bundle, &designated), status::malformedSignature);
    const std::string program = *files::readIfExists(testing::testProgram());
    files::writeAtomically(root / "program",
                           withTrailer(program, *files::readIfExists(genuine.bundle / "Contents" / "CodeSignature")),
                           0755);
    EXPECT_EQ(staticStatus(service, root / "program", &kRuntimeAnchor), status::malformedSignature);
}

TEST_F(ForgedBundle, LinksInsideABundleAreNeverFollowed) {
    const struct {
        const char* name;  // inside Contents, or Contents itself
        Status expected;
    } cases[] = {
        {"Resources", status::resourcesModified},
        {"MacOS", status::codeModified},
        {"Info.plist", status::codeModified},
        {"CodeSignature", status::unreadable},
        {"", status::unreadable},
    };
    int index = 0;
    for (const auto& example : cases) {
        SCOPED_TRACE(example.name);
        const fs::path folder = root / std::to_string(index++);
        fs::create_directories(folder / "inner");
        const auto application = testing::buildFixtureApplication(folder / "inner", authority);
        ASSERT_EQ(staticStatus(service, application.bundle, &designated), status::success);
        // Moved out of the bundle, with a link to it in its place: the same bytes, reached through a link.
        fs::path entry = application.bundle / "Contents";
        if (*example.name != '\0') entry /= example.name;
        fs::rename(entry, folder / "moved");
        fs::create_symlink(folder / "moved", entry);
        EXPECT_EQ(staticStatus(service, application.bundle, &designated), example.expected);
    }
}

}  // namespace
}  // namespace tarnel::codesign
