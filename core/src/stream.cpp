// The "ZELKSNP1" snapshot stream: encode_snapshot writes a Snapshot into one buffer sized in
// advance; decode_snapshot reads one back, checking every offset against the input first.
#include "stream.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "bytes.hpp"

namespace zelk {
namespace {

// Header, 64 bytes:
//   0 magic "ZELKSNP1"   8 version u32 = 1    12 record count N u32   16 record size u32 = 60
//  20 string area offset u32 = 64 + 60*N      24 mem_total u64        32 wall_sec i64
//  40 wall_usec u32      44 valid_count u32   48 collect_ns u64       56 reserved u64 = 0
// Record, 60 bytes at 64 + 60*i:
//   0 pid i32   4 ppid u32   8 uid u32   12 nice i32   16 flags u32   20 cpu_usage u32
//  24 resident_bytes u64     32 start_sec u64          40 start_usec u32
//  44 command offset u32     48 command length u32     52 session offset u32 (or NO_SESSION)
//  56 tty u32
// String area: per record, its command bytes, then its 36 session bytes when present. Offsets
// count from the start of the string area.
constexpr char kMagic[8] = {'Z', 'E', 'L', 'K', 'S', 'N', 'P', '1'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 64;
constexpr std::size_t kRecordBytes = 60;
constexpr std::size_t kSessionBytes = std::tuple_size_v<SessionId>;
constexpr std::uint32_t kNoSession = 0xFFFFFFFFu;

std::span<const std::uint8_t> as_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint32_t to_u32(std::size_t value) noexcept { return static_cast<std::uint32_t>(value); }

}  // namespace

CBuffer encode_snapshot(const Snapshot& snapshot) {
    const auto& records = snapshot.records;
    std::size_t strings_bytes = 0;
    std::uint32_t valid_count = 0;
    for (const auto& r : records) {
        strings_bytes += r.command.size() + (r.session_id ? kSessionBytes : 0);
        if ((r.flags & FLAG_INFO) != 0) ++valid_count;
    }
    const std::size_t strings_offset = kHeaderBytes + kRecordBytes * records.size();
    const std::size_t total = strings_offset + strings_bytes;
    // Every count and offset in the stream is 32 bits wide; past that, a reader would follow
    // wrapped offsets. No machine has that many processes, but never write a lying stream.
    if (total > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("snapshot stream over 4 GiB");

    CBuffer buffer = CBuffer::allocate(total);
    const auto out = buffer.bytes();
    ByteWriter head(out.first(strings_offset));
    ByteWriter strings(out.subspan(strings_offset));

    head.put_bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(kMagic), sizeof kMagic));
    head.put(kVersion);
    head.put(to_u32(records.size()));
    head.put(to_u32(kRecordBytes));
    head.put(to_u32(strings_offset));
    head.put(snapshot.mem_total);
    head.put(snapshot.wall_sec);
    head.put(snapshot.wall_usec);
    head.put(valid_count);
    head.put(snapshot.collect_ns);
    head.put(std::uint64_t{0});

    for (const auto& r : records) {
        const auto command_offset = to_u32(strings.position());
        strings.put_bytes(as_bytes(r.command));
        std::uint32_t session_offset = kNoSession;
        if (r.session_id) {
            session_offset = to_u32(strings.position());
            strings.put_bytes(as_bytes(std::string_view(r.session_id->data(), r.session_id->size())));
        }
        head.put(r.pid);
        head.put(r.ppid);
        head.put(r.uid);
        head.put(r.nice);
        head.put(r.flags);
        head.put(r.cpu_usage);
        head.put(r.resident_bytes);
        head.put(r.start_sec);
        head.put(r.start_usec);
        head.put(command_offset);
        head.put(to_u32(r.command.size()));
        head.put(session_offset);
        head.put(r.tty);
    }
    return buffer;
}

std::optional<Snapshot> decode_snapshot(std::span<const std::uint8_t> stream) {
    const std::size_t length = stream.size();
    if (length < 8 || std::memcmp(stream.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
    if (length < 12 || read_le<std::uint32_t>(stream, 8) != kVersion) return std::nullopt;
    if (length < 20 || read_le<std::uint32_t>(stream, 16) != kRecordBytes) return std::nullopt;
    if (length < 24) return std::nullopt;
    const std::uint32_t count = read_le<std::uint32_t>(stream, 12);
    // 64-bit arithmetic: 64 + 60*N reaches about 2^38, so a 32-bit sum could wrap onto a
    // small offset and let a tiny input claim billions of records.
    const std::uint64_t expected_offset = kHeaderBytes + std::uint64_t{kRecordBytes} * count;
    const std::uint64_t strings_offset = read_le<std::uint32_t>(stream, 20);
    if (strings_offset != expected_offset || length < strings_offset) return std::nullopt;
    // From here the header and all N records lie inside the input.
    const auto strings = stream.subspan(static_cast<std::size_t>(strings_offset));

    Snapshot snapshot;
    snapshot.mem_total = read_le<std::uint64_t>(stream, 24);
    snapshot.wall_sec = read_le<std::int64_t>(stream, 32);
    snapshot.wall_usec = read_le<std::uint32_t>(stream, 40);
    snapshot.collect_ns = read_le<std::uint64_t>(stream, 48);

    snapshot.records.reserve(count);  // bounded by length / 60 through the check above
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto rec = stream.subspan(kHeaderBytes + kRecordBytes * i, kRecordBytes);
        ProcessRecord r;
        r.pid = read_le<std::int32_t>(rec, 0);
        r.ppid = read_le<std::uint32_t>(rec, 4);
        r.uid = read_le<std::uint32_t>(rec, 8);
        r.nice = read_le<std::int32_t>(rec, 12);
        r.flags = read_le<std::uint32_t>(rec, 16);
        r.cpu_usage = read_le<std::uint32_t>(rec, 20);
        r.resident_bytes = read_le<std::uint64_t>(rec, 24);
        r.start_sec = read_le<std::uint64_t>(rec, 32);
        r.start_usec = read_le<std::uint32_t>(rec, 40);
        const std::uint32_t command_offset = read_le<std::uint32_t>(rec, 44);
        const std::uint32_t command_length = read_le<std::uint32_t>(rec, 48);
        const std::uint32_t session_offset = read_le<std::uint32_t>(rec, 52);
        r.tty = read_le<std::uint32_t>(rec, 56);

        if (!in_bounds(strings.size(), command_offset, command_length)) return std::nullopt;
        const auto command = strings.subspan(command_offset, command_length);
        r.command.assign(reinterpret_cast<const char*>(command.data()), command.size());
        if (session_offset != kNoSession) {
            if (!in_bounds(strings.size(), session_offset, kSessionBytes)) return std::nullopt;
            SessionId id;
            std::memcpy(id.data(), strings.data() + session_offset, kSessionBytes);
            r.session_id = id;
        }
        snapshot.records.push_back(std::move(r));
    }
    return snapshot;
}

}  // namespace zelk
