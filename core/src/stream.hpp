// The snapshot stream "ZELKSNP1": the in-memory result of a process collection and its
// little-endian byte form, written by encode_snapshot and read back by decode_snapshot.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame.hpp"

namespace zelk {

inline constexpr std::uint32_t FLAG_INFO = 1;     // task information was read
inline constexpr std::uint32_t FLAG_ARGV = 2;     // command built from the argument vector
inline constexpr std::uint32_t FLAG_SESSION = 4;  // session_id present
inline constexpr std::uint32_t NO_TTY = 0xFFFFFFFFu;

// 36 bytes of hex digits and hyphens, as found.
using SessionId = std::array<char, 36>;

struct ProcessRecord {
    std::int32_t pid = 0;
    std::uint32_t ppid = 0;
    std::uint32_t uid = 0;
    std::int32_t nice = 0;
    std::uint32_t flags = 0;
    std::uint32_t cpu_usage = 0;
    std::uint64_t resident_bytes = 0;
    std::uint64_t start_sec = 0;
    std::uint32_t start_usec = 0;
    std::uint32_t tty = NO_TTY;
    std::string command;
    std::optional<SessionId> session_id;

    bool operator==(const ProcessRecord&) const = default;
};

struct Snapshot {
    std::uint64_t mem_total = 0;
    std::int64_t wall_sec = 0;
    std::uint32_t wall_usec = 0;
    std::uint64_t collect_ns = 0;
    std::vector<ProcessRecord> records;

    bool operator==(const Snapshot&) const = default;
};

// One buffer from the C allocator at exactly the stream's length.
CBuffer encode_snapshot(const Snapshot& snapshot);

// nullopt: not a snapshot stream. Never reads outside `stream`.
std::optional<Snapshot> decode_snapshot(std::span<const std::uint8_t> stream);

}  // namespace zelk
