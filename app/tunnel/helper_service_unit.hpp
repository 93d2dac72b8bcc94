#pragma once

#include <string_view>

namespace tarnel::HelperServiceUnit {

// The helper's systemd unit, "app.tarnel.direct.helper.service", as the
// application carries it to register the helper: the same bytes as the
// helper program's own section ".tarnel_systemd_unit".
[[nodiscard]] std::string_view applicationCopy();

}  // namespace tarnel::HelperServiceUnit
