#pragma once

#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace tarnel::testing {

// A program this build made, by its path under the build directory, for
// example "standins/pfctl/pfctl". Throws when it is missing, so that a test
// never runs against nothing.
inline std::filesystem::path buildProduct(std::string_view relativePath) {
    const auto path = std::filesystem::path(TARNEL_TEST_BINARY_DIR).parent_path() / relativePath;
    if (!std::filesystem::exists(path)) throw std::runtime_error("missing build product " + path.string());
    return path;
}

}  // namespace tarnel::testing
