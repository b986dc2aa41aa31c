// The self-test: the stream codec byte for byte, the session scan, the visible form and a live
// snapshot of the calling process. Its parts are injectable so that a test can break each one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "stream.hpp"

namespace zelk {

struct SelftestParts {
    std::function<CBuffer(const Snapshot&)> encode;
    std::function<std::optional<Snapshot>(std::span<const std::uint8_t>)> decode;
    std::function<std::optional<SessionId>(std::span<const std::string_view>)> find_session;
    std::function<void(std::string&, std::string_view)> push_visible;
    std::function<std::string(std::string_view)> to_visible;
    std::function<Snapshot()> collect;  // a live collection; throws on failure
    std::int32_t pid = 0;
    std::int32_t ppid = 0;
    std::uint32_t euid = 0;
};

// The library's own parts and the calling process's ids.
SelftestParts live_selftest_parts();

// The selftest snapshot: two records, 229 bytes encoded.
Snapshot selftest_snapshot();

// 1 when every check passes, 0 at the first that fails. Exceptions propagate.
std::int32_t run_selftest(const SelftestParts& parts);

}  // namespace zelk
