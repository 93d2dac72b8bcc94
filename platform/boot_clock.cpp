#include "platform/boot_clock.hpp"

#include <cstddef>
#include <filesystem>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {

namespace BootIdentity {

std::optional<std::int64_t> fromBootID(std::string_view text) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    const auto uuid = Uuid::parse(text);
    if (!uuid) return std::nullopt;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        high = (high << 8) | uuid->bytes()[i];
        low = (low << 8) | uuid->bytes()[i + 8];
    }
    return static_cast<std::int64_t>((high ^ low) & 0x7FFF'FFFF'FFFF'FFFFULL);
}

}  // namespace BootIdentity

std::optional<std::int64_t> SystemBootClock::currentBoot() const {
    const std::lock_guard guard(mutex_);
    if (boot_) return boot_;
    try {
        if (const auto text = files::readIfExists(std::filesystem::path(BootIdentity::bootIDPath), 4096)) {
            boot_ = BootIdentity::fromBootID(*text);
        }
    } catch (const SystemError&) {
        // Unreadable: no answer now, another try at the next call.
    }
    return boot_;
}

const SystemBootClock& SystemBootClock::shared() {
    static const SystemBootClock clock;
    return clock;
}

std::optional<std::int64_t> FakeBootClock::currentBoot() const {
    const std::lock_guard guard(mutex_);
    return boot_;
}

void FakeBootClock::setBoot(std::optional<std::int64_t> boot) {
    const std::lock_guard guard(mutex_);
    boot_ = boot;
}

}  // namespace tarnel
