#include "platform/info_plist.hpp"

#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <system_error>

#include <plist/plist.h>

#include "common/base/files.hpp"

namespace tarnel::info_plist {

namespace {

// An information property list is a few kilobytes; anything near this size
// is not one.
constexpr std::size_t kMaximumSize = 4 * 1024 * 1024;

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPointer = std::unique_ptr<void, PlistFree>;

}  // namespace

std::optional<std::string> string(const std::filesystem::path& path, std::string_view key) {
    std::optional<std::string> bytes;
    try {
        bytes = files::readIfExists(path, kMaximumSize);
    } catch (const std::exception&) {
        return std::nullopt;  // unreadable, not a regular file, or too large
    }
    if (!bytes || bytes->empty() || bytes->size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;

    plist_t parsed = nullptr;
    plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &parsed);
    const PlistPointer root(parsed);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT) return std::nullopt;

    const std::string keyText(key);
    if (keyText.find('\0') != std::string::npos) return std::nullopt;
    plist_t item = plist_dict_get_item(parsed, keyText.c_str());
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    // The pointer form keeps the stored length, so a string is never cut short
    // at an embedded NUL (which a binary property list can hold).
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::filesystem::path> pathForExecutable(const std::filesystem::path& executable) {
    const std::filesystem::path macOS = executable.parent_path();
    const std::filesystem::path contents = macOS.parent_path();
    if (executable.filename().empty() || macOS.filename() != "MacOS" || contents.filename() != "Contents") {
        return std::nullopt;
    }
    return contents / "Info.plist";
}

std::optional<std::filesystem::path> mainBundlePath() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return pathForExecutable(executable);
}

}  // namespace tarnel::info_plist
