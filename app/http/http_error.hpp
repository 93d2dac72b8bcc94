#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/http/http_client.hpp"
#include "common/base/error.hpp"

namespace tarnel {

// A request that did not bring back a whole HTTP response: the URL could not
// be loaded, the connection or its TLS failed, the time ran out, the answer
// broke off or could not be read. Every such failure is this one type, so a
// caller that retries on the network's failures catches exactly this.
class HttpTransportError final : public Error {
public:
    enum class Case {
        unsupportedURL,       // not an http or https URL with a host
        cannotFindHost,       // the name did not resolve
        cannotConnect,        // no connection to the server
        timedOut,             // the request's time ran out
        secureConnectionFailed,      // the TLS handshake or session failed
        serverCertificateUntrusted,  // the server's certificate did not verify for its name
        connectionLost,       // the connection broke off before the response was complete
        badServerResponse,    // the answer is no HTTP response that can be read
        tooManyRedirects,     // more redirects than a request may follow
        hostNotPinned,        // test builds: a host name that is neither an IP literal nor pinned
        addressNotAllowed,    // test builds: an address outside loopback and the allowed ones
        failed,               // any other failure of the transfer
    };

    // `detail` says what happened in the transfer's own words, for logs; it
    // is not part of the message.
    HttpTransportError(Case errorCase, std::string detail) : case_(errorCase), detail_(std::move(detail)) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "HttpTransportError"; }

private:
    Case case_;
    std::string detail_;
};

// A response body longer than the request allows; the transfer stops at the
// first byte over the limit. It keeps the status and header fields of that
// response, for callers that judge an oversized answer by them.
class HttpBodyTooLargeError final : public Error {
public:
    HttpBodyTooLargeError(std::size_t limit, int status, std::vector<HttpHeader> headers)
        : limit_(limit), status_(status), headers_(std::move(headers)) {}

    [[nodiscard]] std::size_t limit() const noexcept { return limit_; }
    [[nodiscard]] int status() const noexcept { return status_; }
    [[nodiscard]] const std::vector<HttpHeader>& headers() const noexcept { return headers_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "HttpBodyTooLargeError"; }

private:
    std::size_t limit_;
    int status_;
    std::vector<HttpHeader> headers_;
};

}  // namespace tarnel
