#include "standins/sing-box/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarnel::standin {

void writeLine(int descriptor, std::string_view text) noexcept {
    try {
        std::string line = "sing-box: ";
        line += text;
        line += '\n';
        std::size_t written = 0;
        while (written < line.size()) {
            const ssize_t count = ::write(descriptor, line.data() + written, line.size() - written);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return;
            written += static_cast<std::size_t>(count);
        }
    } catch (...) {
        // Out of memory: the line is lost, the runtime goes on.
    }
}

}  // namespace tarnel::standin
