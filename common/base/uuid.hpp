#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// A 128-bit UUID. Its canonical text is 36 characters: upper-case
// hexadecimal in groups 8-4-4-4-12 separated by "-".
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Uuid() = default;
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A random (version 4) UUID from the system's cryptographic generator.
    [[nodiscard]] static Uuid random();
    // Parses the 8-4-4-4-12 form in either letter case. Braces, a missing
    // dash, surrounding white space or any other text give nothing.
    [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);

    [[nodiscard]] std::string text() const;
    [[nodiscard]] const Bytes& bytes() const noexcept { return bytes_; }

    friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace tarnel

template <>
struct std::hash<tarnel::Uuid> {
    std::size_t operator()(const tarnel::Uuid& uuid) const noexcept;
};
