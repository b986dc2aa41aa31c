// GPU and network interface figures: the logic behind the iokit exports, kept apart from the
// platform so that it runs over recorded data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/routes.hpp"

namespace zelk {

struct IfaceCounters {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

// Walks a NET_RT_IFLIST2 reply for the RTM_IFINFO2 message of interface `index`. `returned` is
// the length the kernel reported; the walk stays inside min(buffer size, returned).
std::optional<IfaceCounters> find_ifinfo2(std::span<const std::uint8_t> buffer, std::size_t returned,
                                          std::uint32_t index);

// The body of zelk_core_iface_bytes over any route source: 0 with the counters, 1 for no such
// interface; throws MeasurementFailed for -4.
std::int32_t iface_bytes(RouteSource& routes, const char* name, IfaceCounters& out);

}  // namespace zelk
