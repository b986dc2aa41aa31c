// What the interface byte counters ask of the platform: a name-to-index lookup and the
// routing sysctl's NET_RT_IFLIST2 reply for one interface, as raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelk {

class RouteSource {
public:
    virtual ~RouteSource() = default;
    // if_nametoindex: 0 means no such interface. `name` is NUL-terminated.
    virtual std::uint32_t name_to_index(const char* name) = 0;
    // Size query (null buffer): 0 and the needed length, or an error number.
    virtual int size_query(std::uint32_t index, std::size_t& needed) = 0;
    // Data query into `buffer`: 0 and the returned length, or an error number (ENOMEM = 12
    // means the buffer was too small).
    virtual int data_query(std::uint32_t index, std::span<std::uint8_t> buffer, std::size_t& returned) = 0;
};

// The running system's source: the routing sysctl on macOS, rtnetlink on Linux.
RouteSource& live_routes();

}  // namespace zelk
