// Linux interface counters: rtnetlink RTM_GETSTATS for the 64-bit link statistics, handed to
// the routing-reply walk as the one RTM_IFINFO2 message it looks for.
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "../../bytes.hpp"
#include "../owned.hpp"
#include "../routes.hpp"

namespace zelk {
namespace {

using Fd = Owned<int, ::close, -1>;

// The synthesized reply: one zeroed 112-byte message with length, version 5, type 18
// (RTM_IFINFO2), the index in its two-byte field and the counters at 96 and 104.
constexpr std::size_t kMessageLength = 112;

struct StatsRequest {
    nlmsghdr header;
    if_stats_msg body;
};

// Reply layout: nlmsghdr (16) | if_stats_msg (12) | rtattr (4) IFLA_STATS_LINK_64 |
// rtnl_link_stats64, whose rx_bytes sits at +16 and tx_bytes at +24. An NLMSG_ERROR carries a
// negative errno at +16.
struct Counters {
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};

// 0 and the counters; ENODEV when the kernel has no such link; another errno otherwise.
int query_stats(std::uint32_t index, Counters& out) {
    Fd sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!sock) return errno;

    StatsRequest req{};
    req.header.nlmsg_len = sizeof req;
    req.header.nlmsg_type = RTM_GETSTATS;
    req.header.nlmsg_flags = NLM_F_REQUEST;
    req.header.nlmsg_seq = 1;
    req.body.family = AF_UNSPEC;
    req.body.ifindex = index;
    req.body.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        if (::sendto(sock.get(), &req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) >= 0)
            break;
        if (errno != EINTR) return errno;
    }

    alignas(8) std::array<std::uint8_t, 1024> reply{};
    ssize_t got = 0;
    for (;;) {
        got = ::recv(sock.get(), reply.data(), reply.size(), MSG_TRUNC);
        if (got >= 0) break;
        if (errno == ENOBUFS) return ENOMEM;
        if (errno != EINTR) return errno;
    }
    if (static_cast<std::size_t>(got) > reply.size()) return ENOMEM;  // cut: ask again
    const std::span<const std::uint8_t> bytes(reply.data(), static_cast<std::size_t>(got));

    const auto msg_len = read_le<std::uint32_t>(bytes, 0);
    const auto msg_type = read_le<std::uint16_t>(bytes, 4);
    if (msg_len < sizeof(nlmsghdr) || msg_len > bytes.size()) return EPROTO;
    const auto message = bytes.first(msg_len);
    if (msg_type == NLMSG_ERROR) {
        const auto err = read_le<std::int32_t>(message, sizeof(nlmsghdr));
        return err == 0 ? EPROTO : -err;
    }
    if (msg_type != RTM_NEWSTATS) return EPROTO;

    std::size_t offset = NLMSG_ALIGN(sizeof(nlmsghdr)) + NLMSG_ALIGN(sizeof(if_stats_msg));
    while (in_bounds(message.size(), offset, sizeof(rtattr))) {
        const std::size_t rta_len = read_le<std::uint16_t>(message, offset);
        const auto rta_type = read_le<std::uint16_t>(message, offset + 2);
        if (rta_len < sizeof(rtattr) || !in_bounds(message.size(), offset, rta_len)) break;
        if ((rta_type & NLA_TYPE_MASK) == IFLA_STATS_LINK_64) {
            const auto stats = message.subspan(offset + RTA_LENGTH(0), rta_len - RTA_LENGTH(0));
            out.rx = read_le<std::uint64_t>(stats, offsetof(rtnl_link_stats64, rx_bytes));
            out.tx = read_le<std::uint64_t>(stats, offsetof(rtnl_link_stats64, tx_bytes));
            return 0;
        }
        offset += RTA_ALIGN(rta_len);
    }
    return EPROTO;
}

class NetlinkRoutes final : public RouteSource {
public:
    std::uint32_t name_to_index(const char* name) override { return ::if_nametoindex(name); }

    int size_query(std::uint32_t, std::size_t& needed) override {
        needed = kMessageLength;
        return 0;
    }

    int data_query(std::uint32_t index, std::span<std::uint8_t> buffer, std::size_t& returned) override {
        Counters counters;
        const int err = query_stats(index, counters);
        if (err == ENODEV) {  // gone: an empty reply, so the second lookup decides
            returned = 0;
            return 0;
        }
        if (err != 0) return err;
        if (buffer.size() < kMessageLength) return ENOMEM;
        std::memset(buffer.data(), 0, kMessageLength);
        write_le<std::uint16_t>(buffer, 0, static_cast<std::uint16_t>(kMessageLength));
        buffer[2] = 5;   // RTM_VERSION
        buffer[3] = 18;  // RTM_IFINFO2
        write_le<std::uint16_t>(buffer, 12, static_cast<std::uint16_t>(index & 0xFFFFu));
        write_le<std::uint64_t>(buffer, 96, counters.rx);
        write_le<std::uint64_t>(buffer, 104, counters.tx);
        returned = kMessageLength;
        return 0;
    }
};

}  // namespace

RouteSource& live_routes() {
    static NetlinkRoutes routes;
    return routes;
}

}  // namespace zelk
