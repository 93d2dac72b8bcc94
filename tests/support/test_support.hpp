#pragma once

#include <stdlib.h>

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "common/base/error.hpp"
#include "common/base/files.hpp"

namespace tarnel::testing {

// The bytes of a checked-in fixture, named by its path under tests/fixtures.
// Throws when the fixture is missing, so a test never runs on empty input.
inline std::string readFixture(std::string_view relativePath) {
    const std::filesystem::path path = std::filesystem::path(TARNEL_TEST_FIXTURES) / relativePath;
    const auto contents = files::readIfExists(path);
    if (!contents) throw std::runtime_error("missing fixture " + path.string());
    return *contents;
}

// The message of the error that `action` throws (a tarnel::Error's own
// message, else what()); "no error" when it returns.
template <typename Action>
std::string failureOf(Action&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return errorMessage(error);
    }
    return "no error";
}

// A fresh directory under the system's temporary folder, removed with its
// contents at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace tarnel::testing
