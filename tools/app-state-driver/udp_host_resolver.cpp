#include "tools/app-state-driver/udp_host_resolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "common/base/unique_fd.hpp"

namespace tarnel {

namespace {

constexpr unsigned char kQueryID[2] = {0x54, 0x44};

// A recursive query for the A records of `host`.
std::string queryFor(const std::string& host) {
    std::string query{static_cast<char>(kQueryID[0]), static_cast<char>(kQueryID[1]), 0x01, 0x00, 0x00, 0x01,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t dot = std::min(host.find('.', start), host.size());
        query += static_cast<char>(dot - start);
        query += host.substr(start, dot - start);
        start = dot + 1;
    }
    query += std::string{0x00, 0x00, 0x01, 0x00, 0x01};
    return query;
}

// The IPv4 addresses of the answer's A records; none for an answer that is
// not ours, failed or cannot be read.
std::vector<std::string> addressesIn(std::basic_string_view<unsigned char> answer) {
    const auto word = [&](std::size_t at) { return (answer[at] << 8) | answer[at + 1]; };
    if (answer[0] != kQueryID[0] || answer[1] != kQueryID[1] || (answer[2] & 0x80) == 0 || (answer[3] & 0x0f) != 0) {
        return {};
    }
    std::size_t at = 12;
    // Past a name: labels up to the root, or a pointer that ends it.
    const auto skipName = [&] {
        while (at < answer.size()) {
            const unsigned char length = answer[at];
            if ((length & 0xc0) == 0xc0) {
                at += 2;
                return;
            }
            at += length + 1;
            if (length == 0) return;
        }
    };
    for (int question = word(4); question > 0; --question) {
        skipName();
        at += 4;
    }
    std::vector<std::string> addresses;
    for (int record = word(6); record > 0 && at < answer.size(); --record) {
        skipName();
        if (at + 10 > answer.size()) break;
        const int type = word(at);
        const std::size_t length = static_cast<std::size_t>(word(at + 8));
        at += 10;
        if (at + length > answer.size()) break;
        if (type == 1 && length == 4) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, answer.data() + at, text, sizeof text);
            addresses.emplace_back(text);
        }
        at += length;
    }
    return addresses;
}

}  // namespace

std::vector<std::string> UdpHostResolver::resolve(const std::string& host) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    if (::inet_pton(AF_INET, server_.c_str(), &address.sin_addr) != 1) return {};
    const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const std::string query = queryFor(host);
    if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(socket.get(), query.data(), query.size(), 0) != static_cast<ssize_t>(query.size())) {
        return {};
    }
    pollfd ready{socket.get(), POLLIN, 0};
    if (::poll(&ready, 1, 2000) != 1) return {};
    std::array<unsigned char, 512> answer{};
    const ssize_t length = ::recv(socket.get(), answer.data(), answer.size(), 0);
    if (length < 12) return {};
    return addressesIn({answer.data(), static_cast<std::size_t>(length)});
}

}  // namespace tarnel
