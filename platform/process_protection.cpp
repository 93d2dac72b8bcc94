#include "platform/process_protection.hpp"

#include <sys/prctl.h>

#include <cerrno>

#include "common/base/error.hpp"

namespace tarnel::ProcessProtection {

void denyDebuggerAttachment() {
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) throw SystemError("prctl PR_SET_DUMPABLE", errno);
}

}  // namespace tarnel::ProcessProtection
