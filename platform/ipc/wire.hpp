#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/base/clock.hpp"
#include "platform/ipc/value.hpp"

// The frames of the IPC channel and their transfer over a stream socket.
//
// A frame is a 4-byte big-endian payload length followed by the payload: one
// CBOR map as nlohmann's to_cbor writes it. Three kinds of map travel:
//   hello    {"kind": "hello", "version": 1}               service → caller, once admitted
//   request  {"kind": "request", "selector": text, "arguments": {name: value}}
//   reply    {"kind": "reply", "values": {name: value}}
// Values are CBOR byte strings (data), text strings (UTF-8 text), integers,
// floats and booleans; nil is an absent key, never a CBOR null.
namespace tarnel::ipc {

// The largest payload a frame may carry. A reader refuses a larger length
// before it allocates anything.
inline constexpr std::size_t maximumFramePayload = 1048576;
// The version of this framing that the hello announces; a caller refuses any
// other.
inline constexpr std::int64_t wireVersion = 1;

struct Request {
    std::string selector;
    Dictionary arguments;

    friend bool operator==(const Request&, const Request&) = default;
};

// A frame that cannot be written or a payload that is not a valid frame of
// the expected kind; what() names the fault.
class FrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whole frames, length prefix included. Throw FrameError for a text (value,
// key or selector) that is not well-formed UTF-8 and for a payload larger
// than maximumFramePayload.
[[nodiscard]] std::string encodeHello();
[[nodiscard]] std::string encodeRequest(const Request& request);
[[nodiscard]] std::string encodeReply(const Dictionary& values);

// Payloads (without the length prefix) of each kind. The reader accepts
// exactly what the writer produces: a payload that is not one CBOR map of the
// expected kind in the writer's own encoding (shortest integer and float
// forms, definite lengths, sorted keys without repeats), or that holds a
// value of another kind, a text that is not well-formed UTF-8, a CBOR null,
// tag or array, throws FrameError. Integer values beyond the signed 64-bit
// range are refused.
void decodeHello(std::string_view payload);
[[nodiscard]] Request decodeRequest(std::string_view payload);
[[nodiscard]] Dictionary decodeReply(std::string_view payload);

// A point on the clock by which a transfer must be done.
struct Deadline {
    double uptime = 0.0;
    const Clock* clock = &SystemClock::shared();
};

enum class ReadStatus {
    frame,      // a whole frame; its payload is in `payload`
    closed,     // the other end closed the connection between frames
    truncated,  // the other end closed it inside a frame
    oversized,  // the length exceeds maximumFramePayload (or is 0); nothing more was read
    timedOut,   // the deadline passed first
    failed,     // the connection failed (reset by the other end, ...)
    foreignSender  // bytes came from another process than the one required
};

// Reads one frame from a stream socket (blocking or not). Without a deadline
// it waits as long as it takes; a shutdown of the socket ends the wait.
ReadStatus readFrame(int socket, std::string& payload, const std::optional<Deadline>& deadline = std::nullopt);

// The same on a socket with SO_PASSCRED set, where every byte of the frame
// must have been sent by the process `sender`: the kernel tells who sent
// each piece, so a process that inherited the connection cannot speak on
// behalf of the one that was admitted. Bytes without the sender's
// credentials count as foreign.
ReadStatus readFrameFrom(int socket, pid_t sender, std::string& payload);

enum class WriteStatus { written, closed, timedOut };

// Writes every byte with MSG_NOSIGNAL, so that a peer that has gone gives
// `closed` and never SIGPIPE.
WriteStatus writeFully(int socket, std::string_view bytes, const std::optional<Deadline>& deadline = std::nullopt);

}  // namespace tarnel::ipc
