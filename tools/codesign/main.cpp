// tarnel-codesign: the code-signing tool of the build and of developers.

#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/digest.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/files.hpp"
#include "platform/codesign/local_code_signing.hpp"
#include "platform/codesign/signer.hpp"

namespace {

using namespace tarnel;
using namespace tarnel::codesign;

constexpr std::string_view kUsage =
    "usage:\n"
    "  tarnel-codesign make-anchor DIRECTORY\n"
    "      Makes a new anchor: DIRECTORY/anchor.key.pem (private) and DIRECTORY/anchor.spki.der,\n"
    "      the public key a checker pins.\n"
    "  tarnel-codesign make-team --anchor ANCHOR_DIRECTORY --team TEAM_IDENTIFIER DIRECTORY\n"
    "      Makes a team key certified by the anchor: DIRECTORY/team.key.pem and DIRECTORY/team.certificate.\n"
    "  tarnel-codesign sign-executable --team TEAM_DIRECTORY --identifier IDENTIFIER [--output FILE] EXECUTABLE\n"
    "      Signs a single executable in place, or into FILE; an existing signature is replaced.\n"
    "  tarnel-codesign sign-bundle --team TEAM_DIRECTORY [--identifier IDENTIFIER] BUNDLE\n"
    "      Signs an application bundle; the identifier defaults to its CFBundleIdentifier.\n"
    "  tarnel-codesign describe [--anchor ANCHOR_SPKI_FILE] PATH\n"
    "      Checks a signed executable or bundle strictly and prints its identifier, team, identity and\n"
    "      designated requirement; with --anchor, the designated requirement must hold under that anchor.\n";

struct UsageError {
    std::string message;
};

// The options and operands of one command. Each option takes one value.
struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;

    Arguments(const std::vector<std::string>& words, const std::vector<std::string_view>& known) {
        for (std::size_t index = 0; index < words.size(); ++index) {
            const std::string& word = words[index];
            if (!word.starts_with("--")) {
                operands.push_back(word);
                continue;
            }
            bool isKnown = false;
            for (const std::string_view name : known) isKnown = isKnown || word == name;
            if (!isKnown) throw UsageError{"unknown option " + word};
            if (index + 1 >= words.size()) throw UsageError{word + " needs a value"};
            if (!options.emplace(word, words[++index]).second) throw UsageError{word + " is given twice"};
        }
    }

    [[nodiscard]] std::string required(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) throw UsageError{name + " is required"};
        return found->second;
    }
    [[nodiscard]] std::optional<std::string> optional(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) return std::nullopt;
        return found->second;
    }
    [[nodiscard]] const std::string& operand() const {
        if (operands.size() != 1) throw UsageError{"exactly one path is expected"};
        return operands.front();
    }
};

[[noreturn]] void failStatus(const std::string& path, Status value) {
    throw CodeSigningError(path + ": " + std::string(describeStatus(value)) + " (status " + std::to_string(value) +
                           ")");
}

int describe(const Arguments& arguments) {
    const std::string& path = arguments.operand();
    std::optional<ecdsa::P256PublicKey> anchor;
    if (const auto anchorFile = arguments.optional("--anchor")) {
        const auto spki = files::readIfExists(*anchorFile);
        if (!spki) throw CodeSigningError("The anchor file \"" + *anchorFile + "\" does not exist.");
        anchor = ecdsa::P256PublicKey::fromSPKI(*spki);
    }
    const LocalCodeSigning codeSigning(anchor);
    const auto code = codeSigning.createStaticCode(path, flags::none);
    if (code.status != status::success) failStatus(path, code.status);
    const Status validity =
        codeSigning.checkStaticValidity(*code.value, flags::allArchitectures | flags::strictValidation, nullptr);
    if (validity != status::success) failStatus(path, validity);
    const auto information = codeSigning.copySigningInformation(*code.value, flags::signingInformation);
    if (information.status != status::success) failStatus(path, information.status);
    const auto requirement = codeSigning.copyDesignatedRequirement(*code.value, flags::none);
    if (requirement.status != status::success) failStatus(path, requirement.status);
    if (anchor) {
        const Status trusted = codeSigning.checkStaticValidity(
            *code.value, flags::allArchitectures | flags::strictValidation, requirement.value.get());
        if (trusted != status::success) failStatus(path, trusted);
    }
    const std::string& unique = information.value->unique;
    std::cout << "identifier " << information.value->identifier << "\n"
              << "team_identifier " << information.value->teamIdentifier.value_or("") << "\n"
              << "identity " << lowercaseHex({reinterpret_cast<const std::uint8_t*>(unique.data()), unique.size()})
              << "\n"
              << "designated_requirement " << requirement.value->text() << "\n";
    return 0;
}

int run(const std::vector<std::string>& words) {
    if (words.empty()) throw UsageError{"a command is expected"};
    const std::string& command = words.front();
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (command == "make-anchor") {
        saveAnchor(Arguments(rest, {}).operand(), ecdsa::P256PrivateKey::generate());
        return 0;
    }
    if (command == "make-team") {
        const Arguments arguments(rest, {"--anchor", "--team"});
        const auto anchor = loadAnchor(arguments.required("--anchor"));
        saveTeamCredentials(arguments.operand(), issueTeamCredentials(anchor, arguments.required("--team"),
                                                                      ecdsa::P256PrivateKey::generate()));
        return 0;
    }
    if (command == "sign-executable") {
        const Arguments arguments(rest, {"--team", "--identifier", "--output"});
        const std::string& input = arguments.operand();
        signExecutable(input, arguments.optional("--output").value_or(input), arguments.required("--identifier"),
                       loadTeamCredentials(arguments.required("--team")));
        return 0;
    }
    if (command == "sign-bundle") {
        const Arguments arguments(rest, {"--team", "--identifier"});
        const auto identifier = arguments.optional("--identifier");
        signBundle(arguments.operand(), identifier ? std::optional<std::string_view>(*identifier) : std::nullopt,
                   loadTeamCredentials(arguments.required("--team")));
        return 0;
    }
    if (command == "describe") return describe(Arguments(rest, {"--anchor"}));
    if (command == "help" || command == "--help") {
        std::cout << kUsage;
        return 0;
    }
    throw UsageError{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    try {
        return run(words);
    } catch (const UsageError& error) {
        std::cerr << "tarnel-codesign: " << error.message << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "tarnel-codesign: " << tarnel::errorMessage(error) << "\n";
        return 1;
    }
}
