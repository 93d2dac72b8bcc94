#pragma once

// A program mapped at "/usr/bin/curl" for the life of the object: it records
// each call (its arguments, its environment, and the mode and entries of the
// directory its HOME names) and then runs the given shell text, by default
// the real curl with the same arguments.

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/files.hpp"
#include "common/process/system_tools.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::testing {

class CurlRecorder {
public:
    struct Call {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        std::string homeMode;                 // the octal mode of $HOME, "missing" without one
        std::vector<std::string> homeEntries;  // what $HOME held
    };

    static constexpr const char* kRealCurl = "exec /usr/bin/curl \"$@\"";

    explicit CurlRecorder(const std::string& then = kRealCurl)
        : script_(directory_ / "curl"), mapping_(std::string(SystemTools::curl), script_) {
        const std::string calls = (directory_ / "calls").string();
        std::filesystem::create_directory(calls);
        files::writeAtomically(script_,
                               "#!/bin/sh\n"
                               "call='" + calls + "'/$(date +%s%N)-$$\n"
                               "printf '%s\\n' \"$@\" > \"$call.arguments.tmp\"\n"
                               "env > \"$call.environment\"\n"
                               "if [ -d \"$HOME\" ]; then stat -c %a \"$HOME\"; ls -A \"$HOME\"; else echo missing; fi"
                               " > \"$call.home\"\n"
                               "mv \"$call.arguments.tmp\" \"$call.arguments\"\n" +
                                   then + "\n",
                               0755);
    }

    // The calls so far, oldest first.
    [[nodiscard]] std::vector<Call> calls() const {
        std::vector<std::filesystem::path> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_ / "calls")) {
            if (entry.path().extension() == ".arguments") names.push_back(entry.path());
        }
        std::sort(names.begin(), names.end());
        std::vector<Call> calls;
        for (const auto& name : names) {
            Call call;
            call.arguments = lines(name);
            auto base = name;
            base.replace_extension();
            for (const auto& line : lines(base.string() + ".environment")) {
                const auto equals = line.find('=');
                if (equals != std::string::npos) call.environment[line.substr(0, equals)] = line.substr(equals + 1);
            }
            auto home = lines(base.string() + ".home");
            if (!home.empty()) {
                call.homeMode = home.front();
                call.homeEntries.assign(home.begin() + 1, home.end());
            }
            calls.push_back(std::move(call));
        }
        return calls;
    }

    // A file in the recorder's directory, for the shell text to wait on.
    [[nodiscard]] std::filesystem::path path(const std::string& name) const { return directory_ / name; }

private:
    static std::vector<std::string> lines(const std::filesystem::path& path) {
        std::vector<std::string> result;
        std::istringstream stream(files::readIfExists(path).value_or(""));
        for (std::string line; std::getline(stream, line);) result.push_back(line);
        return result;
    }

    TemporaryDirectory directory_;
    std::filesystem::path script_;
    SystemTools::ScopedMapping mapping_;
};

}  // namespace tarnel::testing
