#pragma once

#include "app/catalog/manifest_loader.hpp"
#include "app/http/http_client.hpp"

namespace tarnel {

// The application's loader of the signed route list: each request is one
// request of the HTTP layer (a connection of its own, no cookies, no cache,
// no proxy). A failed transfer is a ManifestTransportError; a body past the
// request's limit ends the transfer and comes back marked `bodyOverLimit`
// with its response's status and header fields. `client` must outlive the
// loader.
[[nodiscard]] ManifestLoader httpManifestLoader(const HttpClient& client);

}  // namespace tarnel
