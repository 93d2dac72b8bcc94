#include "app/http/http_error.hpp"

namespace tarnel {

std::string HttpTransportError::message() const {
    switch (case_) {
        case Case::unsupportedURL: return "The URL is not an http or https URL.";
        case Case::cannotFindHost: return "A server with the specified hostname could not be found.";
        case Case::cannotConnect: return "Could not connect to the server.";
        case Case::timedOut: return "The request timed out.";
        case Case::secureConnectionFailed: return "A secure connection to the server could not be made.";
        case Case::serverCertificateUntrusted: return "The certificate for this server is invalid.";
        case Case::connectionLost: return "The network connection was lost.";
        case Case::badServerResponse: return "The server's response could not be read.";
        case Case::tooManyRedirects: return "The request was redirected too many times.";
        case Case::hostNotPinned: return "The host name is not pinned for this test build.";
        case Case::addressNotAllowed: return "The address is not allowed in this test build.";
        case Case::failed: break;
    }
    return "The network request failed.";
}

std::string HttpBodyTooLargeError::message() const {
    return "The response body is larger than " + std::to_string(limit_) + " bytes.";
}

}  // namespace tarnel
