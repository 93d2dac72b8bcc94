#include "app/http/curl_http_client.hpp"

#include <curl/curl.h>
#include <sys/socket.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "app/http/http_error.hpp"
#include "common/base/ascii.hpp"
#include "common/base/ip_literal.hpp"
#include "common/base/url.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

// The header fields of one response may take at most this many bytes.
constexpr std::size_t kHeaderLimit = 64 * 1024;

#if defined(TARNEL_HTTP_ADDRESS_GUARD)
constexpr bool kGuarded = true;
#else
constexpr bool kGuarded = false;
#endif

void initializeLibcurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("libcurl could not be initialised");
        }
    });
}

struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using List = std::unique_ptr<curl_slist, ListCleanup>;

void append(List& list, const std::string& entry) {
    curl_slist* extended = curl_slist_append(list.get(), entry.c_str());
    if (extended == nullptr) throw std::bad_alloc();
    list.release();
    list.reset(extended);
}

bool isTokenCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!isTokenCharacter(c)) return false;
    }
    return true;
}

bool hasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

// An address in the form libcurl's pins take: IPv6 in brackets.
std::string pinAddress(const std::string& address) {
    return ipLiteralFamily(address) == IPAddressFamily::ipv6 ? "[" + address + "]" : address;
}

std::string_view trimmedField(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// The host and port that a URL names, the port defaulting by scheme; nothing
// for a URL that is not http or https with a host.
struct Authority {
    std::string host;
    std::uint16_t port = 0;
};

std::optional<Authority> httpAuthority(std::string_view url) {
    const auto components = UrlComponents::parse(url);
    if (!components) return std::nullopt;
    const auto& scheme = components->scheme();
    const auto& host = components->host();
    if (!scheme || !host || host->empty()) return std::nullopt;
    std::uint16_t defaultPort = 0;
    if (ascii::equalIgnoringCase(*scheme, "https")) {
        defaultPort = 443;
    } else if (ascii::equalIgnoringCase(*scheme, "http")) {
        defaultPort = 80;
    } else {
        return std::nullopt;
    }
    return Authority{*host, components->port().value_or(defaultPort)};
}

// The state of one request while libcurl runs it; the callbacks reach it
// through their user pointer.
struct Transfer {
    const HttpRequest* request = nullptr;
    const HttpAddressGuard* guard = nullptr;  // set in guarded builds
    CURL* easy = nullptr;
    HttpResponse response;
    std::size_t headerBytes = 0;
    bool headersTooLarge = false;
    bool bodyTooLarge = false;
    bool bodyDropped = false;
    bool hostRefused = false;
    bool addressRefused = false;
    char errorText[CURL_ERROR_SIZE] = {};
};

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    const std::string_view line(data, length);
    // Every response (an interim one, a redirect) starts over with its status line.
    if (line.starts_with("HTTP/")) {
        transfer.response.headers.clear();
        transfer.headerBytes = 0;
    }
    transfer.headerBytes += length;
    if (transfer.headerBytes > kHeaderLimit) {
        transfer.headersTooLarge = true;
        return 0;
    }
    const auto colon = line.find(':');
    if (colon == line.npos || line.starts_with("HTTP/")) return length;
    transfer.response.headers.push_back(
        {std::string(trimmedField(line.substr(0, colon))), std::string(trimmedField(line.substr(colon + 1)))});
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length == 0) return 0;
    if (transfer.request->bodyOnlyForStatus) {
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        if (status != *transfer.request->bodyOnlyForStatus) {
            transfer.bodyDropped = true;
            return 0;  // ends the transfer: the caller wants no more of this answer
        }
    }
    std::string& body = transfer.response.body;
    if (length > transfer.request->bodyLimit - body.size()) {
        transfer.bodyTooLarge = true;
        return 0;
    }
    body.append(data, length);
    return length;
}

// Opens every socket of the transfer: close-on-exec, so no child process the
// application starts inherits a connection, and in guarded builds only
// towards loopback and the allowed addresses.
curl_socket_t onOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.guard != nullptr && !transfer.guard->mayConnect(&address->addr, address->addrlen)) {
        transfer.addressRefused = true;
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Guarded builds: called before libcurl looks a name up (a pinned name is
// never looked up). Refuses unless the host being reached, a redirect's
// included, is an IP literal or pinned, so the resolver never sees a name.
int onResolverStart(void*, void*, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    char* url = nullptr;
    if (curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr) {
        const auto authority = httpAuthority(url);
        if (authority && transfer.guard->mayLookUp(authority->host, authority->port)) return 0;
    }
    transfer.hostRefused = true;
    return 1;
}

HttpTransportError::Case transportCase(CURLcode code, const Transfer& transfer) {
    using Case = HttpTransportError::Case;
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT: return Case::unsupportedURL;
        case CURLE_COULDNT_RESOLVE_HOST: return transfer.hostRefused ? Case::hostNotPinned : Case::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return transfer.addressRefused ? Case::addressNotAllowed : Case::cannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return Case::timedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS: return Case::serverCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED: return Case::secureConnectionFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return Case::connectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_RANGE_ERROR: return Case::badServerResponse;
        case CURLE_TOO_MANY_REDIRECTS: return Case::tooManyRedirects;
        case CURLE_WRITE_ERROR: return transfer.headersTooLarge ? Case::badServerResponse : Case::failed;
        default: return Case::failed;
    }
}

HttpTransportError transportError(CURLcode code, const Transfer& transfer) {
    std::string detail = "libcurl error " + std::to_string(static_cast<int>(code)) + ": ";
    detail += transfer.errorText[0] != '\0' ? transfer.errorText : curl_easy_strerror(code);
    return {transportCase(code, transfer), std::move(detail)};
}

// Sets an option, failing loudly: an option libcurl refuses is a build that
// cannot keep its promises (no TLS verification, a protocol it cannot limit).
template <typename Value>
void set(CURL* easy, CURLoption option, Value value) {
    const CURLcode code = curl_easy_setopt(easy, option, value);
    if (code != CURLE_OK) {
        throw std::runtime_error("libcurl refused option " + std::to_string(static_cast<int>(option)) + ": " +
                                 curl_easy_strerror(code));
    }
}

void checkRequest(const HttpRequest& request) {
    if (!isToken(request.method)) throw std::invalid_argument("HTTP method is not a token");
    for (const auto& header : request.headers) {
        if (!isToken(header.name) || hasLineBreakOrNul(header.value)) {
            throw std::invalid_argument("HTTP header cannot be sent as given: " + header.name);
        }
    }
    if (!(request.timeoutSeconds > 0.0) || !std::isfinite(request.timeoutSeconds)) {
        throw std::invalid_argument("HTTP time-out is not a positive number");
    }
}

bool hasHeader(const HttpRequest& request, std::string_view name) {
    for (const auto& header : request.headers) {
        if (ascii::equalIgnoringCase(header.name, name)) return true;
    }
    return false;
}

// The request's header fields as libcurl takes them; the fields libcurl
// would add on its own ("Accept", "Expect", a form "Content-Type") are
// removed unless the request gives them.
List headerList(const HttpRequest& request) {
    List list;
    for (const auto& header : request.headers) {
        // "Name;" sends a field with an empty value; "Name:" would remove it.
        append(list, header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
    }
    for (const char* name : {"Accept", "Expect", "Content-Type"}) {
        if (!hasHeader(request, name)) append(list, std::string(name) + ":");
    }
    return list;
}

void checkConnectPins(const std::vector<HttpConnectPin>& pins) {
    for (const auto& pin : pins) {
        if (pin.host.empty() || pin.toHost.empty()) throw std::invalid_argument("connect pin without a host");
    }
}

}  // namespace

CurlHttpClient::CurlHttpClient(HttpClientSettings settings) : settings_(std::move(settings)), guard_(settings_) {
    checkConnectPins(settings_.connectPins);
    for (const auto& pin : settings_.addressPins) {
        if (pin.host.empty()) throw std::invalid_argument("address pin without a host");
    }
    initializeLibcurl();
}

HttpResponse CurlHttpClient::perform(const HttpRequest& request, std::stop_token stop) const {
    checkRequest(request);
    checkConnectPins(request.connectPins);
    if (stop.stop_requested()) throw CancellationError();

    // The request's own pins go first, for libcurl and for the guard alike.
    std::vector<HttpConnectPin> pins = request.connectPins;
    pins.insert(pins.end(), settings_.connectPins.begin(), settings_.connectPins.end());
    std::optional<HttpAddressGuard> requestGuard;
    if (!request.connectPins.empty()) {
        HttpClientSettings merged = settings_;
        merged.connectPins = pins;
        requestGuard.emplace(merged);
    }
    const HttpAddressGuard& guard = requestGuard ? *requestGuard : guard_;

    const auto authority = httpAuthority(request.url);
    if (!authority) throw HttpTransportError(HttpTransportError::Case::unsupportedURL, "not an http or https URL");
    if (kGuarded && !guard.mayLookUp(authority->host, authority->port)) {
        throw HttpTransportError(HttpTransportError::Case::hostNotPinned,
                                 "host " + authority->host + " is neither an IP literal nor pinned");
    }

    Transfer transfer;
    transfer.request = &request;
    transfer.guard = kGuarded ? &guard : nullptr;
    EasyHandle easy(curl_easy_init());
    MultiHandle multi(curl_multi_init());
    if (!easy || !multi) throw std::bad_alloc();
    transfer.easy = easy.get();
    CURL* const handle = easy.get();

    set(handle, CURLOPT_ERRORBUFFER, transfer.errorText);
    set(handle, CURLOPT_URL, request.url.c_str());
    set(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    set(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(handle, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
    set(handle, CURLOPT_MAXREDIRS, static_cast<long>(HttpRequest::kMaximumRedirects));
    // No proxy, whatever the environment's proxy variables say.
    set(handle, CURLOPT_PROXY, "");
    set(handle, CURLOPT_NOSIGNAL, 1L);
    set(handle, CURLOPT_FRESH_CONNECT, 1L);
    set(handle, CURLOPT_FORBID_REUSE, 1L);
    set(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    set(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (settings_.caFile) {
        set(handle, CURLOPT_CAINFO, settings_.caFile->c_str());
        set(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    set(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    const long timeout = static_cast<long>(std::ceil(std::min(request.timeoutSeconds, 86400.0) * 1000.0));
    set(handle, CURLOPT_TIMEOUT_MS, timeout);
    set(handle, CURLOPT_CONNECTTIMEOUT_MS, timeout);

    if (request.method == "HEAD") {
        set(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST" || request.body) {
        const std::string& body = request.body ? *request.body : std::string();
        set(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        set(handle, CURLOPT_COPYPOSTFIELDS, body.c_str());
        if (request.method != "POST") set(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method != "GET") {
        set(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    const List headers = headerList(request);
    set(handle, CURLOPT_HTTPHEADER, headers.get());

    List addressPins;
    for (const auto& pin : settings_.addressPins) {
        append(addressPins, pin.host + ":" + std::to_string(pin.port) + ":" + pinAddress(pin.address));
    }
    List connectPins;
    for (const auto& pin : pins) {
        append(connectPins, pin.host + ":" + std::to_string(pin.port) + ":" + pinAddress(pin.toHost) + ":" +
                                std::to_string(pin.toPort));
    }
    if (addressPins) set(handle, CURLOPT_RESOLVE, addressPins.get());
    if (connectPins) set(handle, CURLOPT_CONNECT_TO, connectPins.get());

    set(handle, CURLOPT_HEADERFUNCTION, &onHeader);
    set(handle, CURLOPT_HEADERDATA, &transfer);
    set(handle, CURLOPT_WRITEFUNCTION, &onBody);
    set(handle, CURLOPT_WRITEDATA, &transfer);
    set(handle, CURLOPT_OPENSOCKETFUNCTION, &onOpenSocket);
    set(handle, CURLOPT_OPENSOCKETDATA, &transfer);
    if (kGuarded) {
        set(handle, CURLOPT_RESOLVER_START_FUNCTION, &onResolverStart);
        set(handle, CURLOPT_RESOLVER_START_DATA, &transfer);
    }

    if (curl_multi_add_handle(multi.get(), handle) != CURLM_OK) throw std::runtime_error("libcurl refused a transfer");
    // The handle leaves the multi handle before either is cleaned up.
    struct Detach {
        CURLM* multi;
        CURL* easy;
        ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi.get(), handle};

    {
        // A stop wakes the wait below at once; the callback ends before the
        // multi handle does.
        CURLM* const waker = multi.get();
        std::stop_callback wake(stop, [waker] { curl_multi_wakeup(waker); });
        int running = 1;
        while (true) {
            if (stop.stop_requested()) throw CancellationError();
            if (curl_multi_perform(waker, &running) != CURLM_OK) {
                throw HttpTransportError(HttpTransportError::Case::failed, "libcurl multi interface failed");
            }
            if (running == 0) break;
            if (curl_multi_poll(waker, nullptr, 0, 1000, nullptr) != CURLM_OK) {
                throw HttpTransportError(HttpTransportError::Case::failed, "libcurl multi interface failed");
            }
        }
    }

    CURLcode result = CURLE_FAILED_INIT;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &pending)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == handle) result = message->data.result;
    }
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.bodyDropped)) {
        if (result == CURLE_WRITE_ERROR && transfer.bodyTooLarge) {
            long status = 0;
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
            throw HttpBodyTooLargeError(request.bodyLimit, static_cast<int>(status),
                                        std::move(transfer.response.headers));
        }
        throw transportError(result, transfer);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = static_cast<int>(status);
    if (transfer.bodyDropped) transfer.response.body.clear();
    return std::move(transfer.response);
}

}  // namespace tarnel
