// The adaptive download of a signed route list: one whole request, and after
// a transport failure of it a ranged download in small chunks.

#include <algorithm>
#include <limits>
#include <utility>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/ascii.hpp"
#include "common/base/url.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

std::string AdaptiveManifestDownloadError::message() const {
    switch (case_) {
        case Case::invalidResponse: return "The signed route list returned an invalid response.";
        case Case::unexpectedlyLarge: return "The signed route list is unexpectedly large.";
        case Case::invalidRange: return "The signed route list returned an invalid byte range.";
        case Case::changedDuringDownload: return "The signed route list changed during download.";
        case Case::incompleteRange: return "The signed route list could not be reassembled completely.";
    }
    return "The signed route list returned an invalid response.";
}

std::string AdaptiveManifestDownloadFailure::message() const {
    return "The signed route list could not be downloaded reliably.";
}

namespace {

using Parser = SubscriptionImportParser;
using DownloadError = AdaptiveManifestDownloadError;

// Reads one or more ASCII digits at `offset` as a non-negative 64-bit number,
// moving `offset` past them; nothing without a digit or beyond 64 bits.
std::optional<std::int64_t> readNumber(std::string_view text, std::size_t& offset) noexcept {
    const std::size_t start = offset;
    std::int64_t value = 0;
    bool overflow = false;
    for (; offset < text.size() && text[offset] >= '0' && text[offset] <= '9'; ++offset) {
        const int digit = text[offset] - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) overflow = true;
        if (!overflow) value = value * 10 + digit;
    }
    if (offset == start || overflow) return std::nullopt;
    return value;
}

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested()) throw CancellationError();
}

// The header fields of the whole request, which every ranged request repeats.
std::vector<ManifestHeaderField> wholeRequestHeaders() {
    return {
        {"Accept", "application/json"},
        {"Accept-Encoding", "identity"},
        {"User-Agent", "Tarnel-Apple/1.0"},
    };
}

ManifestRequest wholeRequest(std::string_view url) {
    return ManifestRequest{
        .url = std::string(url),
        .method = "GET",
        .headers = wholeRequestHeaders(),
        .timeout = Parser::kRequestTimeout,
        .followRedirects = true,
        .bodyStatus = 200,
        .bodyLimit = Parser::kMaximumBodyBytes,
    };
}

ManifestRequest rangedRequest(std::string_view url, std::int64_t start, std::int64_t end,
                              const std::optional<std::string>& validator) {
    ManifestRequest request = wholeRequest(url);
    request.headers.push_back({"Range", "bytes=" + std::to_string(start) + "-" + std::to_string(end)});
    request.headers.push_back({"Connection", "close"});
    request.headers.push_back({"Cache-Control", "no-cache"});
    if (validator) request.headers.push_back({"If-Range", *validator});
    request.bodyStatus = 206;
    // A body longer than the range asked for is never the range asked for.
    request.bodyLimit = static_cast<std::size_t>(end - start + 1);
    return request;
}

// The ranged download after the whole request failed in transport.
class RangedDownload {
public:
    RangedDownload(std::string_view url, const ManifestLoader& loader, const ManifestSleeper& sleeper,
                   const std::stop_token& stop)
        : url_(url), loader_(loader), sleeper_(sleeper), stop_(stop) {}

    // The whole list, or the error that ended the download: a transport error
    // or an AdaptiveManifestDownloadError. Throws CancellationError, and any
    // other error of the loader unchanged.
    std::variant<std::string, AdaptiveManifestDownloadFailure::RangeFailure> run() {
        for (;;) {
            throwIfStopped(stop_);
            const ManifestRequest request = rangedRequest(url_, expectedStart_, requestedEnd_, validator_);
            std::optional<AdaptiveManifestDownloadFailure::RangeFailure> failure;
            try {
                const ManifestResponse response = loader_(request, stop_);
                const auto range = goodRange(response);
                if (range) {
                    if (auto changed = take(*range, response)) return *changed;
                    if (range->end + 1 < *total_) {
                        expectedStart_ = range->end + 1;
                        requestedEnd_ = std::min(*total_ - 1, range->end + chunkSize_);
                        continue;
                    }
                    if (static_cast<std::int64_t>(body_.size()) == *total_) return std::move(body_);
                    return DownloadError(DownloadError::Case::incompleteRange);
                }
                failure = DownloadError(DownloadError::Case::invalidRange);
            } catch (const ManifestTransportError& error) {
                failure = error;
            }
            // The retry step.
            throwIfStopped(stop_);
            if (retryCount_ >= Parser::kMaximumChunkRetries) return std::move(*failure);
            sleeper_(std::chrono::seconds(std::min<std::int64_t>(retryCount_ + 1, 2)), stop_);
            ++consecutiveFailures_;
            if (consecutiveFailures_ >= 2 && chunkSize_ > Parser::kMinimumChunkBytes) {
                chunkSize_ = std::max<std::int64_t>(chunkSize_, 2 * Parser::kMinimumChunkBytes) / 2;
                consecutiveFailures_ = 0;
            }
            requestedEnd_ = expectedStart_ + chunkSize_ - 1;
            if (total_) requestedEnd_ = std::min(requestedEnd_, *total_ - 1);
            ++retryCount_;
        }
    }

private:
    // The range of a response that is exactly the range asked for.
    std::optional<Parser::ContentRange> goodRange(const ManifestResponse& response) const {
        if (response.status != 206 || response.bodyOverLimit || !Parser::hasIdentityEncoding(response)) {
            return std::nullopt;
        }
        const auto range = Parser::contentRange(response);
        if (!range || range->start != expectedStart_ || range->total - 1 > Parser::kMaximumRangedLastByte) {
            return std::nullopt;
        }
        if (range->end != std::min(range->total - 1, requestedEnd_)) return std::nullopt;
        if (static_cast<std::int64_t>(response.body.size()) != range->end - range->start + 1) return std::nullopt;
        return range;
    }

    // Takes a good response's bytes; the failure when the list changed.
    std::optional<DownloadError> take(const Parser::ContentRange& range, const ManifestResponse& response) {
        const auto validator = Parser::validator(response);
        if (firstResponse_) {
            total_ = range.total;
            validator_ = validator;
            body_.reserve(static_cast<std::size_t>(range.total));
        } else {
            if (range.total != *total_) return DownloadError(DownloadError::Case::changedDuringDownload);
            if (validator_ && validator && *validator_ != *validator) {
                return DownloadError(DownloadError::Case::changedDuringDownload);
            }
        }
        body_.append(response.body);
        retryCount_ = 0;
        consecutiveFailures_ = 0;
        firstResponse_ = false;
        return std::nullopt;
    }

    std::string_view url_;
    const ManifestLoader& loader_;
    const ManifestSleeper& sleeper_;
    const std::stop_token& stop_;

    std::string body_;
    std::int64_t expectedStart_ = 0;
    std::int64_t requestedEnd_ = Parser::kFirstChunkBytes - 1;
    std::optional<std::int64_t> total_;
    std::optional<std::string> validator_;
    std::int64_t chunkSize_ = Parser::kFirstChunkBytes;
    std::int64_t retryCount_ = 0;
    std::int64_t consecutiveFailures_ = 0;
    bool firstResponse_ = true;
};

bool isHttpURL(std::string_view url) {
    const auto components = UrlComponents::parse(url);
    if (!components || !components->scheme() || !components->host() || components->host()->empty()) return false;
    const std::string& scheme = *components->scheme();
    return ascii::equalIgnoringCase(scheme, "http") || ascii::equalIgnoringCase(scheme, "https");
}

}  // namespace

SubscriptionImportParser::SignedRouteList SubscriptionImportParser::downloadSignedRouteList(
    std::string_view url, const ManifestLoader& loader, const ManifestSleeper& sleeper, std::stop_token stop) {
    // Only http and https are loaded; any other URL has no HTTP answer.
    if (!isHttpURL(url)) throw DownloadError(DownloadError::Case::invalidResponse);
    throwIfStopped(stop);

    std::optional<ManifestTransportError> primaryFailure;
    try {
        ManifestResponse response = loader(wholeRequest(url), stop);
        if (response.status != 200) return SignedRouteList{.body = {}, .statusCode = response.status};
        if (response.bodyOverLimit || response.body.size() > kMaximumBodyBytes) {
            throw DownloadError(DownloadError::Case::unexpectedlyLarge);
        }
        return SignedRouteList{.body = std::move(response.body), .statusCode = 200};
    } catch (const ManifestTransportError& error) {
        primaryFailure = error;
    }
    // A transport failure after a stop is the stop's.
    throwIfStopped(stop);

    RangedDownload ranged(url, loader, sleeper, stop);
    auto outcome = ranged.run();
    if (auto* body = std::get_if<std::string>(&outcome)) {
        return SignedRouteList{.body = std::move(*body), .statusCode = 200};
    }
    throwIfStopped(stop);
    throw AdaptiveManifestDownloadFailure(std::move(*primaryFailure),
                                          std::move(std::get<AdaptiveManifestDownloadFailure::RangeFailure>(outcome)));
}

bool SubscriptionImportParser::isTransientNetworkError(const std::exception& error) noexcept {
    return dynamic_cast<const ManifestTransportError*>(&error) != nullptr;
}

std::optional<SubscriptionImportParser::ContentRange> SubscriptionImportParser::contentRange(
    const ManifestResponse& response) {
    const auto value = response.header("Content-Range");
    if (!value) return std::nullopt;
    const std::string_view text = *value;
    constexpr std::string_view kUnit = "bytes ";
    if (text.size() < kUnit.size() || !ascii::equalIgnoringCase(text.substr(0, kUnit.size()), kUnit)) {
        return std::nullopt;
    }
    std::size_t offset = kUnit.size();
    const auto start = readNumber(text, offset);
    if (!start || offset >= text.size() || text[offset] != '-') return std::nullopt;
    ++offset;
    const auto end = readNumber(text, offset);
    if (!end || offset >= text.size() || text[offset] != '/') return std::nullopt;
    ++offset;
    const auto total = readNumber(text, offset);
    if (!total || offset != text.size()) return std::nullopt;
    return ContentRange{*start, *end, *total};
}

std::optional<std::string> SubscriptionImportParser::validator(const ManifestResponse& response) {
    if (const auto etag = response.header("ETag")) {
        std::string trimmed = unicode::trimmingWhitespaceAndNewlines(*etag);
        if (!trimmed.empty() && !trimmed.starts_with("W/")) return trimmed;
    }
    if (const auto lastModified = response.header("Last-Modified")) {
        std::string trimmed = unicode::trimmingWhitespaceAndNewlines(*lastModified);
        if (!trimmed.empty()) return trimmed;
    }
    return std::nullopt;
}

bool SubscriptionImportParser::hasIdentityEncoding(const ManifestResponse& response) {
    const auto encoding = response.header("Content-Encoding");
    if (!encoding) return true;
    const std::string trimmed = unicode::trimmingWhitespaceAndNewlines(*encoding);
    return trimmed.empty() || ascii::equalIgnoringCase(trimmed, "identity");
}

}  // namespace tarnel
