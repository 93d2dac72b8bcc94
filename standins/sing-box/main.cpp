#include <cstdlib>

#include "standins/sing-box/faults.hpp"
#include "standins/sing-box/proxy_protocol.hpp"
#include "standins/sing-box/sing_box.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tarnel::standin::runSingBox(arguments, std::getenv(tarnel::standin::faultVariable.data()),
                                       std::getenv(tarnel::standin::connectToVariable.data()));
}
