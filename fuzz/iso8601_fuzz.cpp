// iso8601::parse and format: the reader never crashes, an accepted text has
// one of the two fixed lengths, and every accepted instant can be written
// and read back as the same instant. format() of any double either refuses
// with std::out_of_range or writes a text that reads back as its floor.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "common/base/iso8601.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);

    if (const auto instant = iso8601::parse(text)) {
        require(text.size() == 20 || text.size() == 25, "an accepted date-time has a fixed length", text);
        std::string written;
        try {
            written = iso8601::format(static_cast<double>(*instant));
        } catch (const std::out_of_range&) {
            require(false, "an accepted instant can be written", text);
        }
        require(iso8601::parse(written) == instant, "parse(format(parse(x))) == parse(x)", text);
        require(iso8601::format(static_cast<double>(*iso8601::parse(written))) == written,
                "format is stable", written);
    }

    // The same bytes as a double given to the writer.
    if (size >= sizeof(double)) {
        double seconds = 0;
        std::memcpy(&seconds, data, sizeof seconds);
        try {
            const std::string written = iso8601::format(seconds);
            const auto reread = iso8601::parse(written);
            require(reread.has_value() && static_cast<double>(*reread) == std::floor(seconds),
                    "format(t) reads back as floor(t)", written);
        } catch (const std::out_of_range&) {
            // Refused: not finite, or outside the years 0000-9999.
        }
    }
    return 0;
}
