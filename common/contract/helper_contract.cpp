#include "common/contract/helper_contract.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "common/base/utf8.hpp"
#include "common/contract/interface_names.hpp"

namespace tarnel {

std::string PrivilegedHelperContractError::message() const {
    switch (case_) {
        case Case::invalidConfiguration: return "Privileged tunnel configuration rejected: " + reason_ + ".";
        case Case::invalidProxyService: return "The selected network service name is not valid.";
        case Case::invalidStartupRequest: return "The privileged tunnel startup request is not valid.";
        case Case::startupRequestCapacityExceeded: return "The privileged tunnel startup registry is full.";
    }
    return "The privileged tunnel startup request is not valid.";
}

namespace PrivilegedHelperContract {

std::optional<Uuid> parseCanonicalAttemptID(std::string_view text) {
    const auto uuid = Uuid::parse(text);
    if (!uuid || uuid->text() != text) {
        return std::nullopt;
    }
    return uuid;
}

bool isObsoleteRuntimeFileName(std::string_view fileName) {
    constexpr std::string_view runtimeName = "sing-box";
    constexpr std::string_view copyPrefix = "sing-box-";
    if (fileName == runtimeName) return true;
    return fileName.starts_with(copyPrefix) && parseCanonicalAttemptID(fileName.substr(copyPrefix.size()));
}

bool validateAttemptIdentifier(std::string_view requested, const std::optional<std::string>& recorded) {
    const auto canonical = parseCanonicalAttemptID(requested);
    if (!canonical) {
        throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::invalidStartupRequest);
    }
    return recorded.has_value() && *recorded == canonical->text();
}

namespace {

// Closed ranges of the Unicode general categories Cc and Cf.
constexpr std::pair<char32_t, char32_t> kControlAndFormatRanges[] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

bool isControlOrFormat(char32_t scalar) {
    return std::any_of(std::begin(kControlAndFormatRanges), std::end(kControlAndFormatRanges),
                       [scalar](const auto& range) { return scalar >= range.first && scalar <= range.second; });
}

}  // namespace

bool containsControlCharacter(std::string_view text) noexcept {
    std::size_t offset = 0;
    while (offset < text.size()) {
        const auto scalar = utf8::decodeNext(text, offset);
        if (!scalar || isControlOrFormat(*scalar)) {
            return true;
        }
    }
    return false;
}

void validateProtectedDNSInterface(std::string_view interfaceName) {
    if (!InterfaceNames::isTunnel(interfaceName)) {
        throw PrivilegedHelperContractError::invalidConfiguration("protected DNS tunnel interface is invalid");
    }
}

std::vector<std::string> protectedDNSRouteArguments(std::string_view interfaceName) {
    validateProtectedDNSInterface(interfaceName);
    return {"-n", "add", "-host", std::string(protectedDNSAddress), "-interface", std::string(interfaceName)};
}

namespace {

bool isLineSeparator(char32_t scalar) {
    return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || scalar == 0x2028 || scalar == 0x2029;
}

}  // namespace

bool routeOutputShowsInterface(std::string_view output, std::string_view interfaceName) {
    validateProtectedDNSInterface(interfaceName);
    std::vector<std::string_view> words;
    std::size_t wordStart = std::string_view::npos;
    std::size_t offset = 0;
    const auto endWord = [&](std::size_t end) {
        if (wordStart != std::string_view::npos) words.push_back(output.substr(wordStart, end - wordStart));
        wordStart = std::string_view::npos;
    };
    const auto lineShowsInterface = [&] {
        return words.size() == 2 && words[0] == "interface:" && words[1] == interfaceName;
    };
    while (offset < output.size()) {
        const std::size_t start = offset;
        // An ill-formed byte counts as one character of a word, never as a
        // separator.
        const auto decoded = utf8::decodeNext(output, offset);
        if (!decoded) ++offset;
        const char32_t scalar = decoded.value_or(U'\uFFFD');
        if (isLineSeparator(scalar)) {
            endWord(start);
            if (lineShowsInterface()) return true;
            words.clear();
        } else if (utf8::isWhiteSpace(scalar)) {
            endWord(start);
        } else if (wordStart == std::string_view::npos) {
            wordStart = start;
        }
    }
    endWord(output.size());
    return lineShowsInterface();
}

}  // namespace PrivilegedHelperContract

}  // namespace tarnel
