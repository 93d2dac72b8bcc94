#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/http/http_client_settings.hpp"
#include "common/base/header_fields.hpp"

namespace tarnel {

using HttpHeader = HeaderField;

// One HTTP exchange. Every request has a connection of its own (none is kept
// or shared), sends no cookies, goes through no proxy and verifies the
// server's certificate for its name.
struct HttpRequest {
    std::string url;  // http or https
    std::string method = "GET";
    // Sent as given, in order, beside the ones HTTP itself needs (Host, and
    // Content-Length with a body); nothing else is added, no User-Agent or
    // Accept-Encoding, and the body is given back as the server sent it.
    std::vector<HttpHeader> headers;
    std::optional<std::string> body;
    // The whole request, connection included, must end within this time.
    double timeoutSeconds = 30.0;
    // The most body bytes kept; one byte more fails the request with
    // HttpBodyTooLargeError.
    std::size_t bodyLimit = 1024 * 1024;
    // Redirects are followed only when asked, at most kMaximumRedirects.
    bool followRedirects = false;
    // When set, a response with any other status comes back without its body:
    // the transfer ends once the headers are in (callers that judge only the
    // status of such an answer).
    std::optional<int> bodyOnlyForStatus;
    // Pins of this request alone, tried before the client's own (the first
    // that names the request's host and port applies): a caller that has
    // resolved a name itself sends the request to that address.
    std::vector<HttpConnectPin> connectPins;

    static constexpr int kMaximumRedirects = 10;
};

struct HttpResponse {
    int status = 0;
    // The header fields of the final response, in the order received.
    std::vector<HttpHeader> headers;
    std::string body;

    // The field's value, its name compared without letter case; the values of
    // a repeated field joined by ", ". Nothing when it is absent.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// The HTTP layer as the services see it: blocking, one request at a time per
// call, safe to call from several threads at once.
class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Performs the request and gives the response, whatever its status.
    // Throws HttpTransportError when no whole response came back,
    // HttpBodyTooLargeError for a body over the limit, and CancellationError
    // when `stop` is (or becomes) requested: no connection is opened once a
    // stop was requested, and a transfer in flight ends at once.
    [[nodiscard]] virtual HttpResponse perform(const HttpRequest& request, std::stop_token stop) const = 0;
};

}  // namespace tarnel
