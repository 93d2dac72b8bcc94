#pragma once

// Clients of the HTTP layer that reach a test server.

#include <string>
#include <vector>

#include "app/http/http_client_settings.hpp"
#include "tests/support/https_test_server.hpp"

namespace tarnel::testing {

// Settings that trust the server's CA and send each host's port 443 (the
// port of an https URL without one) to the server.
inline HttpClientSettings clientSettingsFor(const HttpsTestServer& server, const std::vector<std::string>& hosts = {}) {
    HttpClientSettings settings;
    settings.caFile = server.caFile();
    for (const auto& host : hosts) {
        settings.connectPins.push_back({host, 443, server.address(), server.port()});
    }
    return settings;
}

}  // namespace tarnel::testing
