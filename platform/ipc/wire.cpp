#include "platform/ipc/wire.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/base/utf8.hpp"

namespace tarnel::ipc {

namespace {

using Json = nlohmann::json;

constexpr std::size_t lengthPrefixSize = 4;
// Containers a frame may nest: the frame's map and its one map of values.
constexpr int maximumDepth = 2;
// How long one wait on the socket lasts at most before the deadline is read
// again, so that a clock other than the system's (a test's) is followed too.
constexpr double longestWaitSlice = 0.1;

// A first pass over the payload that stops at the first container deeper
// than a frame has, and at any array or null, before the parser that builds
// the document (which descends without a bound) sees the input.
class ShapeCheck {
public:
    bool null() { return false; }
    bool boolean(bool /*value*/) { return inside(); }
    bool number_integer(Json::number_integer_t /*value*/) { return inside(); }
    bool number_unsigned(Json::number_unsigned_t /*value*/) { return inside(); }
    bool number_float(Json::number_float_t /*value*/, const std::string& /*text*/) { return inside(); }
    bool string(std::string& /*value*/) { return inside(); }
    bool binary(Json::binary_t& /*value*/) { return inside(); }
    bool start_object(std::size_t /*elements*/) { return ++depth_ <= maximumDepth; }
    bool key(std::string& /*name*/) { return true; }
    bool end_object() {
        --depth_;
        return true;
    }
    bool start_array(std::size_t /*elements*/) { return false; }
    bool end_array() { return false; }
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const Json::exception& /*error*/) {
        return false;
    }

private:
    // A scalar is only ever a member of a map, never the whole payload.
    [[nodiscard]] bool inside() const { return depth_ > 0; }
    int depth_ = 0;
};

void requireText(std::string_view text, const char* what) {
    if (!utf8::isValid(text)) throw FrameError(std::string(what) + " is not well-formed UTF-8");
}

Json toJson(const Dictionary& dictionary) {
    Json object = Json::object();
    for (const auto& [key, value] : dictionary) {
        requireText(key, "a key");
        Json& slot = object[key];
        std::visit(
            [&slot](const auto& item) {
                using T = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<T, Data>) {
                    slot = Json::binary(std::vector<std::uint8_t>(item.bytes.begin(), item.bytes.end()));
                } else if constexpr (std::is_same_v<T, std::string>) {
                    requireText(item, "a text value");
                    slot = item;
                } else {
                    slot = item;
                }
            },
            value);
    }
    return object;
}

std::string frame(const Json& document) {
    const std::vector<std::uint8_t> payload = Json::to_cbor(document);
    if (payload.size() > maximumFramePayload) throw FrameError("the frame exceeds 1048576 bytes");
    std::string bytes;
    bytes.reserve(lengthPrefixSize + payload.size());
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((length >> shift) & 0xFF));
    bytes.append(payload.begin(), payload.end());
    return bytes;
}

Value toValue(const Json& item) {
    switch (item.type()) {
    case Json::value_t::binary: {
        const auto& bytes = item.get_binary();
        if (bytes.has_subtype()) throw FrameError("a byte string carries a tag");
        return Data(std::string(bytes.begin(), bytes.end()));
    }
    case Json::value_t::string: {
        const auto& text = item.get_ref<const std::string&>();
        requireText(text, "a text value");
        return text;
    }
    case Json::value_t::number_integer:
        return item.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
        const auto number = item.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw FrameError("an integer is beyond the 64-bit range");
        }
        return static_cast<std::int64_t>(number);
    }
    case Json::value_t::number_float:
        return item.get<double>();
    case Json::value_t::boolean:
        return item.get<bool>();
    default:
        throw FrameError("a value is of a kind that does not travel");
    }
}

Dictionary toDictionary(const Json& object) {
    if (!object.is_object()) throw FrameError("the values are not a map");
    Dictionary dictionary;
    for (const auto& [key, item] : object.items()) {
        requireText(key, "a key");
        dictionary.emplace(key, toValue(item));
    }
    return dictionary;
}

// The payload as a map of the given kind, with exactly these keys.
Json parseFrame(std::string_view payload, std::string_view kind, std::initializer_list<std::string_view> keys) {
    try {
        ShapeCheck shape;
        if (!Json::sax_parse(payload.begin(), payload.end(), &shape, Json::input_format_t::cbor, true)) {
            throw FrameError("the payload is not one CBOR map of values");
        }
        Json document = Json::from_cbor(payload.begin(), payload.end(), true, false);
        if (document.is_discarded() || !document.is_object()) throw FrameError("the payload is not a CBOR map");
        // The writer's own encoding only: this refuses repeated keys (the
        // parser would keep one silently), negative integers below the 64-bit
        // range (which it would wrap), and every other form that could be read
        // otherwise than its sender meant.
        const std::vector<std::uint8_t> canonical = Json::to_cbor(document);
        if (!std::equal(canonical.begin(), canonical.end(), payload.begin(), payload.end(),
                        [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); })) {
            throw FrameError("the payload is not in the writer's encoding");
        }
        const auto found = document.find("kind");
        if (found == document.end() || !found->is_string() || found->get_ref<const std::string&>() != kind) {
            throw FrameError("the frame is not a " + std::string(kind));
        }
        if (document.size() != keys.size() + 1) throw FrameError("the frame has other keys than a " + std::string(kind));
        for (const auto key : keys) {
            if (!document.contains(key)) throw FrameError("the " + std::string(kind) + " lacks " + std::string(key));
        }
        return document;
    } catch (const Json::exception& error) {
        throw FrameError(std::string("the payload is not valid CBOR: ") + error.what());
    }
}

// Waits until the socket is ready for `events`; false once the deadline has
// passed.
bool waitFor(int socket, short events, const std::optional<Deadline>& deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const double remaining = deadline->uptime - deadline->clock->uptime();
            // Written so that a deadline that is not a number has passed.
            if (!(remaining > 0.0)) return false;
            timeout = static_cast<int>(std::ceil(std::min(remaining, longestWaitSlice) * 1000.0));
        }
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) return true;  // ready, or an error or hang-up that the transfer reports
        if (ready < 0 && errno != EINTR) return true;
    }
}

// One receive; with a required sender, through recvmsg with the sender's
// credentials, any bytes from another process (or without credentials) give
// foreignSender. A stream socket never hands out the bytes of two senders in
// one receive.
ssize_t receive(int socket, char* buffer, std::size_t size, const std::optional<pid_t>& sender, bool& foreign) {
    if (!sender) return ::recv(socket, buffer, size, MSG_DONTWAIT);
    iovec piece{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t count = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (count <= 0) return count;
    bool fromSender = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
            header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            ucred credentials{};
            std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
            fromSender = credentials.pid == *sender;
        }
    }
    foreign = !fromSender || (message.msg_flags & MSG_CTRUNC) != 0;
    return count;
}

// Reads exactly `size` bytes; `received` tells how many arrived when it fails.
ReadStatus readExactly(int socket, char* buffer, std::size_t size, std::size_t& received,
                       const std::optional<Deadline>& deadline, const std::optional<pid_t>& sender = std::nullopt) {
    received = 0;
    while (received < size) {
        bool foreign = false;
        const ssize_t count = receive(socket, buffer + received, size - received, sender, foreign);
        if (foreign) return ReadStatus::foreignSender;
        if (count > 0) {
            received += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0) return received == 0 ? ReadStatus::closed : ReadStatus::truncated;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::failed;
        if (!waitFor(socket, POLLIN, deadline)) return ReadStatus::timedOut;
    }
    return ReadStatus::frame;
}

}  // namespace

std::string encodeHello() { return frame(Json{{"kind", "hello"}, {"version", wireVersion}}); }

std::string encodeRequest(const Request& request) {
    requireText(request.selector, "the selector");
    return frame(Json{{"kind", "request"}, {"selector", request.selector}, {"arguments", toJson(request.arguments)}});
}

std::string encodeReply(const Dictionary& values) { return frame(Json{{"kind", "reply"}, {"values", toJson(values)}}); }

void decodeHello(std::string_view payload) {
    const Json document = parseFrame(payload, "hello", {"version"});
    const Json& version = document.at("version");
    if (!version.is_number_integer() || version.get<std::int64_t>() != wireVersion) {
        throw FrameError("the hello announces another version");
    }
}

Request decodeRequest(std::string_view payload) {
    const Json document = parseFrame(payload, "request", {"selector", "arguments"});
    const Json& selector = document.at("selector");
    if (!selector.is_string()) throw FrameError("the selector is not text");
    Request request;
    request.selector = selector.get<std::string>();
    requireText(request.selector, "the selector");
    request.arguments = toDictionary(document.at("arguments"));
    return request;
}

Dictionary decodeReply(std::string_view payload) {
    return toDictionary(parseFrame(payload, "reply", {"values"}).at("values"));
}

namespace {

ReadStatus readFrame(int socket, std::string& payload, const std::optional<Deadline>& deadline,
                     const std::optional<pid_t>& sender) {
    std::array<char, lengthPrefixSize> prefix{};
    std::size_t received = 0;
    const ReadStatus header = readExactly(socket, prefix.data(), prefix.size(), received, deadline, sender);
    if (header != ReadStatus::frame) return header;
    std::uint32_t length = 0;
    for (const char byte : prefix) length = (length << 8) | static_cast<std::uint8_t>(byte);
    if (length == 0 || length > maximumFramePayload) return ReadStatus::oversized;
    payload.assign(length, '\0');
    const ReadStatus body = readExactly(socket, payload.data(), payload.size(), received, deadline, sender);
    // A frame that ends early is truncated even when its end falls on no byte of it.
    return body == ReadStatus::closed ? ReadStatus::truncated : body;
}

}  // namespace

ReadStatus readFrame(int socket, std::string& payload, const std::optional<Deadline>& deadline) {
    return readFrame(socket, payload, deadline, std::nullopt);
}

ReadStatus readFrameFrom(int socket, pid_t sender, std::string& payload) {
    return readFrame(socket, payload, std::nullopt, sender);
}

WriteStatus writeFully(int socket, std::string_view bytes, const std::optional<Deadline>& deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return WriteStatus::closed;
        if (!waitFor(socket, POLLOUT, deadline)) return WriteStatus::timedOut;
    }
    return WriteStatus::written;
}

}  // namespace tarnel::ipc
