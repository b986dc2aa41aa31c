// The self-test: fixed checks of the codec, the session scan and the visible form, then a
// live snapshot that must hold the calling process with its own ids and command.
#include "selftest.hpp"

#include <unistd.h>

#include <array>
#include <cstring>

#include "lib.hpp"
#include "macos.hpp"
#include "procargs.hpp"

namespace zelk {
namespace {

constexpr std::size_t kSelftestStreamBytes = 229;
constexpr std::uint64_t kSelftestDigest = 0xe348b97ecf179858ull;
constexpr std::string_view kExpectedSession = "0f0e0d0c-0b0a-0908-0706-050403020100";

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

SessionId session_of(std::string_view text) {
    SessionId id{};
    std::memcpy(id.data(), text.data(), std::min(text.size(), id.size()));
    return id;
}

bool same_record(const ProcessRecord& a, const ProcessRecord& b) {
    return a.pid == b.pid && a.ppid == b.ppid && a.uid == b.uid && a.nice == b.nice && a.flags == b.flags &&
           a.cpu_usage == b.cpu_usage && a.resident_bytes == b.resident_bytes && a.start_sec == b.start_sec &&
           a.start_usec == b.start_usec && a.tty == b.tty && a.command == b.command && a.session_id == b.session_id;
}

bool codec_round_trip(const SelftestParts& parts) {
    const Snapshot want = selftest_snapshot();
    const CBuffer stream = parts.encode(want);
    if (stream.size() != kSelftestStreamBytes || fnv1a64(stream.bytes()) != kSelftestDigest) return false;
    const auto got = parts.decode(stream.bytes());
    if (!got || got->wall_usec != want.wall_usec || got->mem_total != want.mem_total ||
        got->wall_sec != want.wall_sec || got->collect_ns != want.collect_ns || got->records.size() != 2)
        return false;
    return same_record(got->records[0], want.records[0]) && same_record(got->records[1], want.records[1]);
}

bool session_scans(const SelftestParts& parts) {
    const std::string_view key = "CLAUDE_CODE_SESSION_ID=";
    static const std::string table[8] = {
        "/usr/bin/node",
        std::string(key) + std::string(kExpectedSession),
        std::string(key) + "0f0e",
        "0d0c-0b0a-0908-0706-050403020100xxxxxxxx",
        std::string(key) + "zz " + std::string(key) + std::string(kExpectedSession),
        std::string(key) + std::string(kExpectedSession),
        std::string(key) + "ffffffff-ffff-ffff-ffff-ffffffffffff",
        "no session here",
    };
    std::array<std::string_view, 8> views;
    for (std::size_t i = 0; i < views.size(); ++i) views[i] = table[i];
    const auto scan = [&](std::size_t first, std::size_t count) {
        return parts.find_session(std::span<const std::string_view>(views).subspan(first, count));
    };
    const SessionId expected = session_of(kExpectedSession);
    return scan(0, 2) == expected && !scan(2, 2) && scan(4, 1) == expected && scan(5, 2) == expected && !scan(7, 1);
}

bool visible_forms(const SelftestParts& parts) {
    using namespace std::string_view_literals;
    const auto pushed = [&](std::string_view in) {
        std::string out;
        parts.push_visible(out, in);
        return out;
    };
    return pushed("plain /path with space"sv) == "plain /path with space"sv &&
           pushed("t\tn\nb\\"sv) == "t\\011n\\012b\\"sv && pushed("x\x01y\x7f\x1b"sv) == "x^Ay^?^["sv &&
           parts.to_visible("caf\xc3\xa9"sv) == "cafM-CM-)"sv &&
           parts.to_visible("\xc2\xa0\xff\x80\x9f"sv) == "M-B\\240M^?M^@M^_"sv;
}

bool live_snapshot(const SelftestParts& parts) {
    const Snapshot snap = parts.collect();
    const ProcessRecord* self = nullptr;
    for (const auto& r : snap.records) {
        if (r.pid == parts.pid) {
            self = &r;
            break;
        }
    }
    if (self == nullptr) return false;
    return snap.mem_total != 0 && snap.records.size() > 1 && (self->flags & FLAG_INFO) != 0 &&
           (self->flags & FLAG_ARGV) != 0 && self->ppid == static_cast<std::uint32_t>(parts.ppid) &&
           self->uid == parts.euid && !self->command.empty() && self->resident_bytes != 0 &&
           static_cast<std::int64_t>(self->start_sec) > 0;
}

}  // namespace

Snapshot selftest_snapshot() {
    Snapshot s;
    s.mem_total = 0x1122334455667788ull;
    s.wall_sec = 1800000000;
    s.wall_usec = 123456;
    s.collect_ns = 42;
    ProcessRecord r0;
    r0.pid = 7;
    r0.ppid = 1;
    r0.uid = 501;
    r0.nice = -5;
    r0.flags = FLAG_INFO | FLAG_ARGV | FLAG_SESSION;
    r0.cpu_usage = 1234;
    r0.resident_bytes = 0x200000000ull;
    r0.start_sec = 1799999000;
    r0.start_usec = 9;
    r0.tty = 0x10000003;
    r0.command = "/bin/x -y";
    r0.session_id = session_of("0123456789abcdef-0123456789ABCDEF-01");
    ProcessRecord r1;
    r1.tty = NO_TTY;
    s.records = {r0, r1};
    return s;
}

SelftestParts live_selftest_parts() {
    SelftestParts p;
    p.encode = [](const Snapshot& s) { return encode_snapshot(s); };
    p.decode = [](std::span<const std::uint8_t> b) { return decode_snapshot(b); };
    p.find_session = [](std::span<const std::string_view> s) { return find_session_id(s); };
    p.push_visible = [](std::string& out, std::string_view in) { push_visible(out, in); };
    p.to_visible = [](std::string_view in) { return to_visible(in); };
    p.collect = [] { return collect_snapshot(); };
    p.pid = static_cast<std::int32_t>(::getpid());
    p.ppid = static_cast<std::int32_t>(::getppid());
    p.euid = static_cast<std::uint32_t>(::geteuid());
    return p;
}

std::int32_t run_selftest(const SelftestParts& parts) {
    return codec_round_trip(parts) && session_scans(parts) && visible_forms(parts) && live_snapshot(parts) ? 1 : 0;
}

}  // namespace zelk

ZELK_API std::int32_t zelk_core_selftest(void) noexcept {
    const std::int32_t result = zelk::guarded([] { return zelk::run_selftest(zelk::live_selftest_parts()); });
    return result == 1 ? 1 : 0;  // a contained fault is a failed self-test
}
