#pragma once

#include <stop_token>

#include "app/http/http_client.hpp"
#include "app/http/http_client_settings.hpp"

namespace tarnel {

// The HTTP layer over libcurl. Each request is one easy handle in a multi
// handle of its own, so nothing (connections, TLS sessions, cookies, resolved
// names) outlives it; proxies are off whatever the environment says, and only
// http and https are spoken, redirects included. The stop token wakes the
// transfer's wait, so a stop ends a request at once.
class CurlHttpClient final : public HttpClient {
public:
    // Throws std::invalid_argument for settings whose addresses are not IP
    // literals, and std::runtime_error when libcurl cannot be initialised.
    explicit CurlHttpClient(HttpClientSettings settings = {});

    // Throws std::invalid_argument for a request that cannot be sent as given:
    // a method that is not a token, a header with a line break or without a
    // name, a time-out that is not a positive number, a connect pin without a
    // host.
    [[nodiscard]] HttpResponse perform(const HttpRequest& request, std::stop_token stop) const override;

    [[nodiscard]] const HttpClientSettings& settings() const noexcept { return settings_; }

private:
    HttpClientSettings settings_;
    HttpAddressGuard guard_;
};

}  // namespace tarnel
