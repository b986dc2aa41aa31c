// macOS interface counters: if_nametoindex and the routing sysctl NET_RT_IFLIST2, limited to
// one interface; the reply bytes go to the walk unchanged.
#include <net/if.h>
#include <net/route.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/types.h>

#include <array>
#include <cerrno>

#include "../routes.hpp"

namespace zelk {
namespace {

std::array<int, 6> mib_for(std::uint32_t index) {
    return {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST2, static_cast<int>(index)};
}

class Iflist2Routes final : public RouteSource {
public:
    std::uint32_t name_to_index(const char* name) override { return ::if_nametoindex(name); }

    int size_query(std::uint32_t index, std::size_t& needed) override {
        auto mib = mib_for(index);
        needed = 0;
        if (::sysctl(mib.data(), static_cast<u_int>(mib.size()), nullptr, &needed, nullptr, 0) != 0) return errno;
        return 0;
    }

    int data_query(std::uint32_t index, std::span<std::uint8_t> buffer, std::size_t& returned) override {
        auto mib = mib_for(index);
        returned = buffer.size();
        if (::sysctl(mib.data(), static_cast<u_int>(mib.size()), buffer.data(), &returned, nullptr, 0) != 0)
            return errno;
        return 0;
    }
};

}  // namespace

RouteSource& live_routes() {
    static Iflist2Routes routes;
    return routes;
}

}  // namespace zelk
