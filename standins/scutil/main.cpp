// scutil stand-in: answers the VPN service queries the helper makes of the
// system's configuration tool, from fixture files.
//
// Calls accepted (anything else exits 2 with a usage line):
//   --nc list            prints the service list
//   --nc status UUID     prints the status of one service (UUID in upper case)
//
// Environment:
//   TARNEL_SCUTIL_LIST              a file whose text "--nc list" prints (none: nothing)
//   TARNEL_SCUTIL_STATUS_DIRECTORY  holds one file per service, named by its UUID,
//                                   whose text "--nc status UUID" prints; a service
//                                   without a file prints "No service" and exits 1
//   TARNEL_SCUTIL_EXIT_STATUS       0 to 255: the exit status of every call that
//                                   prints its text (default 0)

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/files.hpp"
#include "common/contract/helper_contract.hpp"

namespace {

int usage() {
    std::fputs("usage: scutil --nc list | scutil --nc status <UUID>\n", stderr);
    return 2;
}

std::optional<int> configuredExitStatus() {
    const char* text = std::getenv("TARNEL_SCUTIL_EXIT_STATUS");
    if (text == nullptr) return 0;
    const std::string value(text);
    if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int status = std::stoi(value);
    if (status > 255) return std::nullopt;
    return status;
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::optional<int> exitStatus = configuredExitStatus();
        if (!exitStatus) {
            std::fputs("scutil stand-in: TARNEL_SCUTIL_EXIT_STATUS must be 0 to 255\n", stderr);
            return 2;
        }
        if (argc == 3 && std::string_view(argv[1]) == "--nc" && std::string_view(argv[2]) == "list") {
            if (const char* list = std::getenv("TARNEL_SCUTIL_LIST")) {
                print(tarnel::files::readIfExists(list).value_or(""));
            }
            return *exitStatus;
        }
        if (argc == 4 && std::string_view(argv[1]) == "--nc" && std::string_view(argv[2]) == "status") {
            // Only canonical identifiers name a file, so no argument reaches a path outside the directory.
            const char* directory = std::getenv("TARNEL_SCUTIL_STATUS_DIRECTORY");
            const bool canonical = tarnel::PrivilegedHelperContract::parseCanonicalAttemptID(argv[3]).has_value();
            const std::optional<std::string> status =
                canonical && directory != nullptr
                    ? tarnel::files::readIfExists(std::filesystem::path(directory) / argv[3])
                    : std::nullopt;
            if (!status) {
                std::puts("No service");
                return 1;
            }
            print(*status);
            return *exitStatus;
        }
        return usage();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scutil stand-in: %s\n", error.what());
        return 2;
    }
}
