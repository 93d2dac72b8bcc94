#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.hpp"
#include "common/base/header_fields.hpp"

// What the signed route list download needs of the network, kept free of any
// HTTP library: the download builds each request, a loader performs it. The
// application's loader runs over the HTTP layer; tests script one.
namespace tarnel {

// One header field. A received value has no white space or line break at its ends.
using ManifestHeaderField = HeaderField;

// One request of the download.
struct ManifestRequest {
    // Absolute; its scheme is "http" or "https" (any letter case): the download
    // refuses every other URL before it calls the loader.
    std::string url;
    std::string method = "GET";
    // Sent exactly as given and in this order; the loader adds no header of its
    // own that changes the answer (no Accept-Encoding of its own, no cookies).
    std::vector<ManifestHeaderField> headers;
    // Bounds the whole request, connecting included; running out of it is a
    // transport failure.
    std::chrono::milliseconds timeout{8000};
    // Redirects are followed (http and https only, at most 10); the response is
    // the last one.
    bool followRedirects = true;
    // Only a response with this status keeps its body; the body of any other
    // status is not kept (the download never reads it).
    int bodyStatus = 200;
    // The most body bytes the download can use. Once a kept body grows past it,
    // the loader stops receiving and answers with `bodyOverLimit` set.
    std::size_t bodyLimit = 0;

    friend bool operator==(const ManifestRequest&, const ManifestRequest&) = default;
};

// The answer to one request: the final response's status and header fields and
// the body as received (content encodings are never decoded).
struct ManifestResponse {
    int status = 0;
    // In the order received; a name may repeat.
    std::vector<ManifestHeaderField> headers;
    // Empty unless `status` is the request's `bodyStatus`.
    std::string body;
    // The body passed the request's `bodyLimit`: receiving stopped, and `body`
    // holds only a part of it, which the download does not use.
    bool bodyOverLimit = false;

    // The value of the header `name` (ASCII letter case ignored); the values of
    // a repeated field joined by ", " in the order received; nothing without one.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// The request could not be completed: no connection, a TLS failure, a time-out,
// a connection that broke or closed early. The download counts every such
// failure as transient and retries it in ranges.
class ManifestTransportError final : public Error {
public:
    // `description` tells what failed, in the transport's own words.
    explicit ManifestTransportError(std::string description) : description_(std::move(description)) {}

    [[nodiscard]] const std::string& description() const noexcept { return description_; }
    [[nodiscard]] std::string message() const override { return description_; }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "ManifestTransportError"; }

private:
    std::string description_;
};

// Performs one request and blocks until its answer. Throws
// ManifestTransportError for a failed transport and CancellationError
// (common/process/cancellation_error.hpp) when `stop` is requested before or
// during the request; it starts nothing once `stop` is requested. Any other
// error it throws ends the download unchanged.
using ManifestLoader = std::function<ManifestResponse(const ManifestRequest& request, std::stop_token stop)>;

// Waits for `duration`; throws CancellationError when `stop` is requested
// before or during the wait.
using ManifestSleeper = std::function<void(std::chrono::nanoseconds duration, std::stop_token stop)>;

// The application's sleeper: waits on the steady clock, woken at once by a stop.
void sleepUnlessStopped(std::chrono::nanoseconds duration, std::stop_token stop);

}  // namespace tarnel
