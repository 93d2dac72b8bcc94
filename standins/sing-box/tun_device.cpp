#include "standins/sing-box/tun_device.hpp"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <linux/ipv6.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/base/error.hpp"

namespace tarnel::standin {

namespace {

// A socket of the family, only for the interface ioctls.
UniqueFd controlSocket(int family) {
    UniqueFd socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) throw SystemError("socket for interface control", errno);
    return socket;
}

ifreq request(const std::string& name) {
    ifreq value{};
    std::memcpy(value.ifr_name, name.c_str(), name.size() + 1);
    return value;
}

void control(int socket, unsigned long operation, void* argument, const std::string& what) {
    if (::ioctl(socket, operation, argument) != 0) throw SystemError(what, errno);
}

}  // namespace

TunDevice TunDevice::create() {
    UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (!fd) throw SystemError("open /dev/net/tun", errno);
    // "%d" makes the kernel pick the lowest free number.
    ifreq value = request("utun%d");
    value.ifr_flags = IFF_TUN | IFF_NO_PI;
    control(fd.get(), TUNSETIFF, &value, "create a TUN interface");
    return TunDevice(std::move(fd), std::string(value.ifr_name, ::strnlen(value.ifr_name, IFNAMSIZ)));
}

void TunDevice::assign(const InterfacePrefix& prefix) const {
    const std::string what = "assign " + prefix.text + " to " + name_;
    if (prefix.family == AF_INET) {
        const UniqueFd socket = controlSocket(AF_INET);
        ifreq value = request(name_);
        auto* address = reinterpret_cast<sockaddr_in*>(&value.ifr_addr);
        address->sin_family = AF_INET;
        address->sin_addr = prefix.ipv4;
        control(socket.get(), SIOCSIFADDR, &value, what);
        address->sin_addr.s_addr = prefix.length == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - prefix.length));
        control(socket.get(), SIOCSIFNETMASK, &value, what);
        return;
    }
    const UniqueFd socket = controlSocket(AF_INET6);
    ifreq index = request(name_);
    control(socket.get(), SIOCGIFINDEX, &index, what);
    in6_ifreq value{};
    value.ifr6_addr = prefix.ipv6;
    value.ifr6_prefixlen = static_cast<std::uint32_t>(prefix.length);
    value.ifr6_ifindex = index.ifr_ifindex;
    control(socket.get(), SIOCSIFADDR, &value, what);
}

void TunDevice::setMtu(int mtu) const {
    const UniqueFd socket = controlSocket(AF_INET);
    ifreq value = request(name_);
    value.ifr_mtu = mtu;
    control(socket.get(), SIOCSIFMTU, &value, "set the MTU of " + name_);
}

void TunDevice::bringUp() const {
    const UniqueFd socket = controlSocket(AF_INET);
    ifreq value = request(name_);
    control(socket.get(), SIOCGIFFLAGS, &value, "read the flags of " + name_);
    value.ifr_flags = static_cast<short>(value.ifr_flags | IFF_UP);
    control(socket.get(), SIOCSIFFLAGS, &value, "bring up " + name_);
}

}  // namespace tarnel::standin
