// Network interface byte counters: the walk over the routing reply, the query loop and the
// zelk_core_iface_bytes export.
#include "iokit.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "frame.hpp"
#include "zelk_text.hpp"

namespace zelk {
namespace {

// One routing message, as the walk reads it (offsets from the message start):
//   0  u16 ifm_msglen     3  u8 ifm_type (18 = RTM_IFINFO2)     12  u16 ifm_index
//   96 u64 ifi_ibytes     104 u64 ifi_obytes                     (inside if_data64 at 32)
constexpr std::size_t kLenOffset = 0;
constexpr std::size_t kTypeOffset = 3;
constexpr std::size_t kIndexOffset = 12;
constexpr std::size_t kInBytesOffset = 96;
constexpr std::size_t kOutBytesOffset = 104;
constexpr std::size_t kMinInfoLength = 112;
constexpr std::uint8_t kRtmIfinfo2 = 18;
constexpr int kEnomem = 12;  // the value on both systems; a too-small buffer
constexpr int kAttempts = 4;
constexpr std::size_t kSlack = 4096;

}  // namespace

std::optional<IfaceCounters> find_ifinfo2(std::span<const std::uint8_t> buffer, std::size_t returned,
                                          std::uint32_t index) {
    const auto reply = buffer.first(std::min(buffer.size(), returned));
    // The index field is two bytes wide; Linux indexes can pass 65535, so compare in that width.
    const auto wanted = static_cast<std::uint16_t>(index & 0xFFFFu);
    std::size_t offset = 0;
    while (in_bounds(reply.size(), offset, 4)) {
        const std::size_t length = read_le<std::uint16_t>(reply, offset + kLenOffset);
        if (length < 4 || !in_bounds(reply.size(), offset, length)) return std::nullopt;
        const auto message = reply.subspan(offset, length);
        if (length >= kMinInfoLength && message[kTypeOffset] == kRtmIfinfo2 &&
            read_le<std::uint16_t>(message, kIndexOffset) == wanted) {
            return IfaceCounters{read_le<std::uint64_t>(message, kInBytesOffset),
                                 read_le<std::uint64_t>(message, kOutBytesOffset)};
        }
        offset += length;
    }
    return std::nullopt;
}

std::int32_t iface_bytes(RouteSource& routes, const char* name, IfaceCounters& out) {
    const std::string copy(name);  // owned, NUL-terminated; used for both lookups
    if (!valid_utf8({reinterpret_cast<const std::uint8_t*>(copy.data()), copy.size()})) return kNoSuchInterface;
    const std::uint32_t index = routes.name_to_index(copy.c_str());
    if (index == 0) return kNoSuchInterface;

    for (int attempt = 1;; ++attempt) {
        std::size_t needed = 0;
        if (routes.size_query(index, needed) != 0) throw MeasurementFailed("routing size query failed");
        if (needed > SIZE_MAX - kSlack) throw MeasurementFailed("routing size query gave an absurd length");
        std::vector<std::uint8_t> buffer(needed + kSlack, 0);
        std::size_t returned = buffer.size();
        const int err = routes.data_query(index, buffer, returned);
        if (err == 0) {
            if (auto found = find_ifinfo2(buffer, returned, index)) {
                out = *found;
                return kOk;
            }
            break;
        }
        if (err != kEnomem || attempt == kAttempts) throw MeasurementFailed("routing data query failed");
    }
    // No message for the interface: it went away between the lookups, or the reply is unusable.
    if (routes.name_to_index(copy.c_str()) == 0) return kNoSuchInterface;
    throw MeasurementFailed("interface missing from the routing reply");
}

}  // namespace zelk

ZELK_API std::int32_t zelk_core_iface_bytes(const char* name, std::uint64_t* out_received,
                                            std::uint64_t* out_sent) noexcept {
    return zelk::export_frame(
        [&]() -> std::int32_t {
            zelk::IfaceCounters counters;
            const std::int32_t code = zelk::iface_bytes(zelk::live_routes(), name, counters);
            if (code == zelk::kOk) {
                *out_received = counters.received;
                *out_sent = counters.sent;
            }
            return code;
        },
        name, out_received, out_sent);
}
