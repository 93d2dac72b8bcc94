#pragma once

#include <sys/socket.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarnel::NetworkInterfaces {

// One entry of the interface address list: an interface can appear once per
// address it carries.
struct InterfaceAddress {
    std::string name;
    unsigned int flags = 0;              // IFF_* flags of the interface
    std::optional<std::string> address;  // numeric host text of an IPv4 or IPv6 address

    [[nodiscard]] bool isUp() const noexcept;
    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

// The interface address list (getifaddrs) of this thread's network namespace;
// nothing when it cannot be read.
[[nodiscard]] std::optional<std::vector<InterfaceAddress>> addresses();

// The index of a named interface (if_nametoindex); nothing when there is no
// such interface, and for a name holding a NUL byte.
[[nodiscard]] std::optional<unsigned int> index(const std::string& name);

// The numeric host text of an IPv4 or IPv6 socket address as the resolver
// prints it (getnameinfo, NI_NUMERICHOST), an IPv6 scope suffix included
// ("fe80::1%en0"); nothing for an absent address, another family, or an
// address the resolver cannot print.
[[nodiscard]] std::optional<std::string> numericHostText(const sockaddr* address);

// The same text without an IPv6 scope suffix ("fe80::1%en0" gives "fe80::1").
[[nodiscard]] std::optional<std::string> numericHostAddress(const sockaddr* address);

}  // namespace tarnel::NetworkInterfaces

namespace tarnel {

// The interface questions of the network protection: which addresses the
// interfaces carry, and whether an interface of a name exists. Injected, so
// that tests say which interfaces there are.
class NetworkInterfaceLookup {
public:
    virtual ~NetworkInterfaceLookup() = default;
    // The interface address list; nothing when it cannot be read.
    [[nodiscard]] virtual std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> addresses() const = 0;
    // True when an interface of this name exists now.
    [[nodiscard]] virtual bool exists(const std::string& name) const = 0;
};

// This thread's network namespace: NetworkInterfaces::addresses and
// NetworkInterfaces::index.
class SystemNetworkInterfaceLookup final : public NetworkInterfaceLookup {
public:
    [[nodiscard]] std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> addresses() const override;
    [[nodiscard]] bool exists(const std::string& name) const override;

    static const SystemNetworkInterfaceLookup& shared();
};

// Interfaces set by hand (tests); thread-safe. An interface exists while the
// list holds an entry of its name, with or without an address.
class FakeNetworkInterfaceLookup final : public NetworkInterfaceLookup {
public:
    [[nodiscard]] std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> addresses() const override;
    [[nodiscard]] bool exists(const std::string& name) const override;

    void add(const std::string& name, std::optional<std::string> address = std::nullopt);
    // Removes every entry of the name.
    void remove(const std::string& name);
    // Makes the list unreadable (nothing) or readable again.
    void setUnreadable(bool unreadable);

private:
    mutable std::mutex mutex_;
    std::vector<NetworkInterfaces::InterfaceAddress> list_;
    bool unreadable_ = false;
};

}  // namespace tarnel
