// The helper's property lists and systemd unit as the helper program carries
// them (read with objcopy, and compared with the texts this test links), the
// source provenance the build writes into the lists, and the unit itself.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "helper/program/helper_program_info.hpp"
#include "platform/sysconfig/property_list.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using sysconfig::PropertyList;
using Dictionary = PropertyList::Dictionary;

constexpr std::string_view kAuthorizedClient =
    R"(identifier "app.tarnel.direct" and anchor apple generic and certificate leaf[subject.OU] = "QK7W2M9XRT")";

// Runs a tool to its end; its standard output and error together.
BoundedCommandResult runTool(const fs::path& tool, std::vector<std::string> arguments) {
    return BoundedCommandRunner::run(BoundedCommandInvocation{tool, std::move(arguments)},
                                     BoundedCommandStreams{std::string(), true}, 1 << 20, withinSeconds(60.0));
}

// The trimmed output of a tool that must succeed.
std::string outputOf(const fs::path& tool, std::vector<std::string> arguments) {
    const BoundedCommandResult result = runTool(tool, std::move(arguments));
    if (result.terminationStatus != 0) {
        throw std::runtime_error(tool.string() + " failed: " + result.output);
    }
    std::string text = result.output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string git(const fs::path& checkout, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-C", checkout.string(), "-c", "user.name=Test", "-c",
                                         "user.email=test@example.invalid"});
    return outputOf("/usr/bin/git", std::move(arguments));
}

Dictionary dictionaryOf(std::string_view bytes) {
    const PropertyList list = sysconfig::parsePropertyList(bytes);
    const auto* dictionary = list.get<Dictionary>();
    if (dictionary == nullptr) throw std::runtime_error("not a dictionary");
    return *dictionary;
}

struct Provenance {
    std::string dirty;
    std::string revision;
    std::string tree;
    friend bool operator==(const Provenance&, const Provenance&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Provenance& p) {
        return out << p.dirty << ' ' << p.revision << ' ' << p.tree;
    }
};

// Takes the provenance keys out of an information property list.
Provenance takeProvenance(Dictionary& information) {
    Provenance provenance;
    for (auto [key, field] : {std::pair{"TarnelSourceDirty", &Provenance::dirty},
                              std::pair{"TarnelSourceRevision", &Provenance::revision},
                              std::pair{"TarnelSourceTree", &Provenance::tree}}) {
        const auto found = information.find(key);
        if (found == information.end() || found->second.get<std::string>() == nullptr) {
            throw std::runtime_error(std::string("no string ") + key);
        }
        provenance.*field = *found->second.get<std::string>();
        information.erase(found);
    }
    return provenance;
}

const Provenance kUnknown{"unknown", "unknown", "unknown"};

TEST(HelperProgramInfo, TheProgramCarriesItsPropertyListsAndUnitInTheirSections) {
    if (!fs::exists("/usr/bin/objcopy")) GTEST_SKIP() << "objcopy (binutils) is not installed";
    TemporaryDirectory directory;
    const fs::path information = directory / "info.plist";
    const fs::path launchd = directory / "launchd.plist";
    const fs::path unit = directory / "unit";
    // With an output of its own (here only those three sections): without
    // one, objcopy rewrites its input in place.
    (void)outputOf("/usr/bin/objcopy",
                   {"--dump-section", std::string(HelperProgramInfo::informationSectionName) + "=" + information.string(),
                    "--dump-section", std::string(HelperProgramInfo::launchdSectionName) + "=" + launchd.string(),
                    "--dump-section", std::string(HelperProgramInfo::systemdUnitSectionName) + "=" + unit.string(),
                    "--only-section", std::string(HelperProgramInfo::informationSectionName), "--only-section",
                    std::string(HelperProgramInfo::launchdSectionName), "--only-section",
                    std::string(HelperProgramInfo::systemdUnitSectionName), TARNEL_HELPER_PROGRAM,
                    (directory / "sections").string()});
    // The unit is the file the build made, byte for byte.
    EXPECT_EQ(files::readIfExists(unit).value_or("<missing>"), HelperProgramInfo::systemdUnit());
    EXPECT_EQ(files::readIfExists(TARNEL_HELPER_SYSTEMD_UNIT), HelperProgramInfo::systemdUnit());

    // The sections hold exactly the texts the program reads, as XML.
    const std::string informationText = files::readIfExists(information).value_or("<missing>");
    const std::string launchdText = files::readIfExists(launchd).value_or("<missing>");
    EXPECT_EQ(informationText, HelperProgramInfo::informationPropertyList());
    EXPECT_EQ(launchdText, HelperProgramInfo::launchdPropertyList());
    EXPECT_TRUE(informationText.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")) << informationText;

    Dictionary info = dictionaryOf(informationText);
    const Provenance provenance = takeProvenance(info);
    EXPECT_EQ(info, (Dictionary{
                        {"CFBundleIdentifier", "app.tarnel.direct.helper"},
                        {"CFBundleName", "Tarnel Direct Privileged Helper"},
                        {"CFBundleShortVersionString", "1.0"},
                        {"CFBundleVersion", "35"},
                        {"LSMinimumSystemVersion", "12.0"},
                        {"SMAuthorizedClients", PropertyList::Array{std::string(kAuthorizedClient)}},
                    }));
    EXPECT_EQ(dictionaryOf(launchdText), (Dictionary{
                                             {"Label", "app.tarnel.direct.helper"},
                                             {"MachServices", Dictionary{{"app.tarnel.direct.helper", true}}},
                                             {"RunAtLoad", true},
                                         }));

    // The provenance names a commit of this checkout and that commit's tree,
    // unless the build could not read it.
    if (provenance == kUnknown) {
        EXPECT_FALSE(fs::exists(fs::path(TARNEL_SOURCE_DIR) / ".git")) << "a checkout read as unknown";
        return;
    }
    EXPECT_TRUE(provenance.dirty == "true" || provenance.dirty == "false") << provenance;
    EXPECT_EQ(git(TARNEL_SOURCE_DIR, {"cat-file", "-t", provenance.revision}), "commit");
    EXPECT_EQ(git(TARNEL_SOURCE_DIR, {"rev-parse", provenance.revision + "^{tree}"}), provenance.tree);
}

// The generator on checkouts of the test's own: the commit and its tree, and
// whether anything that git does not ignore differs from them; "unknown" for
// all three wherever git cannot say, and never a failure.
TEST(HelperProgramInfo, TheProvenanceIsTheCheckoutsCommitTreeAndState) {
    if (!fs::exists("/usr/bin/git")) GTEST_SKIP() << "git is not installed";
    TemporaryDirectory directory;
    const fs::path checkout = directory / "checkout";
    fs::create_directories(checkout / "src");
    files::writeAtomically(checkout / "src" / "main.cpp", "int main() {}\n");
    files::writeAtomically(checkout / ".gitignore", "/build/\n");

    int runs = 0;
    const auto provenanceOf = [&](const fs::path& source) {
        const fs::path output = directory / ("output-" + std::to_string(++runs));
        (void)outputOf(TARNEL_CMAKE_COMMAND,
                       {"-DTARNEL_VALUES=" + std::string(TARNEL_PROPERTY_LIST_VALUES), "-DTARNEL_SOURCE_DIR=" + source.string(),
                        "-DTARNEL_OUTPUT_DIR=" + output.string(), "-P", TARNEL_PROPERTY_LIST_GENERATOR});
        Dictionary info = dictionaryOf(files::readIfExists(output / "info.plist").value_or("<missing>"));
        return takeProvenance(info);
    };

    EXPECT_EQ(provenanceOf(checkout), kUnknown) << "not a checkout";
    (void)git(checkout, {"init", "-q"});
    EXPECT_EQ(provenanceOf(checkout), kUnknown) << "a checkout without a commit";

    (void)git(checkout, {"add", "-A"});
    (void)git(checkout, {"commit", "-q", "-m", "first"});
    const std::string revision = git(checkout, {"rev-parse", "HEAD"});
    const std::string tree = git(checkout, {"rev-parse", "HEAD^{tree}"});
    ASSERT_EQ(revision.size(), 40u);
    EXPECT_EQ(provenanceOf(checkout), (Provenance{"false", revision, tree}));
    EXPECT_EQ(provenanceOf(checkout / "src"), kUnknown) << "a folder inside a checkout";

    // A build folder that git ignores changes nothing.
    fs::create_directories(checkout / "build");
    files::writeAtomically(checkout / "build" / "product", "bytes");
    EXPECT_EQ(provenanceOf(checkout), (Provenance{"false", revision, tree}));

    // A source file that is not committed yet is built all the same.
    files::writeAtomically(checkout / "src" / "extra.cpp", "\n");
    EXPECT_EQ(provenanceOf(checkout), (Provenance{"true", revision, tree}));
    fs::remove(checkout / "src" / "extra.cpp");

    files::writeAtomically(checkout / "src" / "main.cpp", "int main() { return 1; }\n");
    EXPECT_EQ(provenanceOf(checkout), (Provenance{"true", revision, tree}));
}

// "<section>.<key>" = value of every setting of a unit file.
std::map<std::string, std::string> unitSettings(const std::string& text) {
    std::map<std::string, std::string> settings;
    std::istringstream lines(text);
    std::string section;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) throw std::runtime_error("not a setting: " + line);
        const std::string key = section + "." + line.substr(0, equals);
        if (!settings.emplace(key, line.substr(equals + 1)).second) throw std::runtime_error("twice: " + key);
    }
    return settings;
}

TEST(HelperProgramInfo, TheSystemdUnitRunsTheInstalledHelperAndLeavesItsRuntimeOnRestart) {
    const auto text = files::readIfExists(TARNEL_HELPER_SYSTEMD_UNIT);
    ASSERT_TRUE(text) << TARNEL_HELPER_SYSTEMD_UNIT;
    EXPECT_EQ(fs::path(TARNEL_HELPER_SYSTEMD_UNIT).filename(), "app.tarnel.direct.helper.service");
    auto settings = unitSettings(*text);
    const fs::path program = settings["Service.ExecStart"];
    EXPECT_TRUE(program.is_absolute()) << program;
    EXPECT_EQ(program.filename(), "app.tarnel.direct.helper");
    EXPECT_EQ(settings["Service.User"], "root");
    // Only the helper is stopped: the runtime it launched stays for the next
    // helper to adopt.
    EXPECT_EQ(settings["Service.KillMode"], "process");
    EXPECT_EQ(settings["Service.Restart"], "on-failure");
    EXPECT_EQ(settings["Install.WantedBy"], "multi-user.target");
}

}  // namespace
}  // namespace tarnel::testing
