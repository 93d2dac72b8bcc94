#include "app/tunnel/competing_vpn_detector.hpp"

#include "common/base/utf8.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/system_tools.hpp"

namespace tarnel::CompetingVPNDetector {

std::string networkConnectionList(const Clock& clock) {
    const double deadline = clock.uptime() + listingTimeout;
    BoundedCommandResult result;
    try {
        result = BoundedCommandRunner::runCompetingVPNCommand({std::string(SystemTools::scutil), {"--nc", "list"}},
                                                              maximumListingBytes, deadline, clock);
    } catch (const CompetingVPNDetectorError&) {
        throw;
    } catch (const std::exception&) {
        throw CompetingVPNDetectorError::commandFailed("scutil failed");
    }
    if (result.terminationStatus != 0) throw CompetingVPNDetectorError::commandFailed("scutil failed");
    return utf8::decodeReplacingInvalid(result.output);
}

}  // namespace tarnel::CompetingVPNDetector
