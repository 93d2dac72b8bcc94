#pragma once

// The record the networksetup stand-in keeps of its runs (its environment
// variable TARNEL_NETWORKSETUP_CALLS names the file): one record a run, its
// arguments after argument 0 each followed by a NUL byte, then a line feed.

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/files.hpp"

namespace tarnel::testing {

using NetworkSetupCall = std::vector<std::string>;
using NetworkSetupCalls = std::vector<NetworkSetupCall>;

// Every run the file records, in order; none when it is missing.
inline NetworkSetupCalls readNetworkSetupCalls(const std::filesystem::path& file) {
    const std::string bytes = files::readIfExists(file).value_or("");
    NetworkSetupCalls calls(1);
    std::string argument;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (bytes[index] != '\0') {
            argument.push_back(bytes[index]);
            continue;
        }
        calls.back().push_back(std::move(argument));
        argument.clear();
        if (index + 1 < bytes.size() && bytes[index + 1] == '\n') {
            calls.emplace_back();
            ++index;
        }
    }
    calls.pop_back();
    return calls;
}

// The three runs that turn a service's proxy states off.
inline NetworkSetupCalls systemProxyOffCalls(const std::string& service) {
    return {{"-setwebproxystate", service, "off"},
            {"-setsecurewebproxystate", service, "off"},
            {"-setsocksfirewallproxystate", service, "off"}};
}

// The first `count` runs of the seven that point a service's proxies at the
// local proxy (127.0.0.1:2080) and turn them on.
inline NetworkSetupCalls systemProxyEnableCalls(const std::string& service, std::size_t count = 7) {
    NetworkSetupCalls calls{{"-setwebproxy", service, "127.0.0.1", "2080"},
                            {"-setsecurewebproxy", service, "127.0.0.1", "2080"},
                            {"-setsocksfirewallproxy", service, "127.0.0.1", "2080"},
                            {"-setproxybypassdomains", service, "localhost", "127.0.0.1", "::1", "*.local"},
                            {"-setwebproxystate", service, "on"},
                            {"-setsecurewebproxystate", service, "on"},
                            {"-setsocksfirewallproxystate", service, "on"}};
    calls.resize(count);
    return calls;
}

}  // namespace tarnel::testing
