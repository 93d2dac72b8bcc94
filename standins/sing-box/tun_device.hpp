#pragma once

#include <string>

#include "common/base/unique_fd.hpp"
#include "standins/sing-box/configuration.hpp"

namespace tarnel::standin {

// One TUN interface ("utunN", IFF_TUN | IFF_NO_PI) that lives as long as this
// object's descriptor: the device is not persistent, so the kernel removes it
// when the descriptor closes, also when the process is killed, as a macOS
// utun interface goes with its process. The descriptor carries the
// interface's packets (read and written as bare IP packets).
class TunDevice {
public:
    // Opens /dev/net/tun and creates the first free name "utun0", "utun1", ...
    // Throws SystemError.
    static TunDevice create();

    // Gives the interface an address with its prefix. Throws SystemError.
    void assign(const InterfacePrefix& prefix) const;
    void setMtu(int mtu) const;
    // Brings the interface up.
    void bringUp() const;

    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    [[nodiscard]] int descriptor() const noexcept { return fd_.get(); }

private:
    TunDevice(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
    UniqueFd fd_;
    std::string name_;
};

}  // namespace tarnel::standin
