// The IPC frame reader, on payloads that a caller or a service could send:
// never crashes (a deep nesting included), fails only with FrameError, and
// accepts exactly the writer's encoding, so writing what it read gives back
// the input byte for byte. What the interface accepts is written the same way.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "platform/ipc/interface.hpp"
#include "platform/ipc/wire.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

namespace {

std::string payloadOf(const std::string& frame) { return frame.substr(4); }

const ipc::Interface& interface() {
    static const ipc::Interface value({
        {"echo",
         {{"data", ipc::Kind::data, true},
          {"text", ipc::Kind::text, false},
          {"count", ipc::Kind::integer, true},
          {"deadline", ipc::Kind::number, true},
          {"flag", ipc::Kind::boolean, true}}},
        {"none", {}},
    });
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload = fuzz::bytesOf(data, size);
    try {
        const ipc::Request request = ipc::decodeRequest(payload);
        require(payloadOf(ipc::encodeRequest(request)) == payload, "a request is read only in the writer's encoding");
        try {
            const ipc::Request valid = interface().validate(request);
            require(ipc::decodeRequest(payloadOf(ipc::encodeRequest(valid))) == valid,
                    "a validated request travels unchanged");
        } catch (const ipc::FrameError&) {
        }
    } catch (const ipc::FrameError&) {
    }
    try {
        const ipc::Dictionary values = ipc::decodeReply(payload);
        require(payloadOf(ipc::encodeReply(values)) == payload, "a reply is read only in the writer's encoding");
    } catch (const ipc::FrameError&) {
    }
    return 0;
}
