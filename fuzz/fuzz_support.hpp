#pragma once

// Shared by the fuzz targets: an invariant check that stops the run with a
// readable reason, and the checked-in test fixtures the targets read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tarnel::fuzz {

// Aborts (which libFuzzer reports as a crash and saves the input) when an
// invariant does not hold.
inline void require(bool holds, const char* invariant, std::string_view detail = {}) {
    if (holds) return;
    std::fprintf(stderr, "invariant violated: %s\n", invariant);
    if (!detail.empty()) {
        std::fprintf(stderr, "detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::abort();
}

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A file of tests/fixtures, read once; aborts when it is missing, since a
// target without its key material would fuzz nothing of interest.
inline std::string fixture(std::string_view relativePath) {
    const std::string path = std::string(TARNEL_FUZZ_FIXTURES) + "/" + std::string(relativePath);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "missing fixture %s\n", path.c_str());
        std::abort();
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace tarnel::fuzz
