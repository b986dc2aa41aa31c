// The two streams of libzelk_core as this tool holds them: a census and the GPU clients, copied
// out of the library's buffer through the public decoder of zelk_stream.h, as any host reads them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zelk_stream.h"

namespace zelk::tool {

inline constexpr std::uint32_t FLAG_INFO = ZELK_SNP_FLAG_INFO;        // task information was read
inline constexpr std::uint32_t FLAG_ARGV = ZELK_SNP_FLAG_ARGV;        // command built from the argument vector
inline constexpr std::uint32_t FLAG_SESSION = ZELK_SNP_FLAG_SESSION;  // session_id present
inline constexpr std::uint32_t NO_TTY = ZELK_SNP_NO_TTY;

// 36 bytes of hex digits and hyphens, as found.
using SessionId = std::array<char, ZELK_SNP_SESSION_SIZE>;

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
};

struct Snapshot {
    std::uint64_t mem_total = 0;
    std::int64_t wall_sec = 0;
    std::uint32_t wall_usec = 0;
    std::uint64_t collect_ns = 0;
    std::vector<ProcessRecord> records;
};

struct GpuClient {
    std::string creator;
    std::uint64_t registry_id = 0;
    std::uint64_t gpu_time = 0;  // in the platform's unit (nanoseconds on Linux)
};

// The stream decoded into `out`; else the decoder's code (negative), `out` untouched.
int decode_snapshot(std::span<const std::uint8_t> stream, Snapshot& out);
int decode_gpu_clients(std::span<const std::uint8_t> stream, std::vector<GpuClient>& out);

// The rule a stream broke, for a decoder's code: "a command or session id outside the string area".
const char* stream_rule(int code);

}  // namespace zelk::tool
