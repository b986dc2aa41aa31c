// The snapshot stream: one golden stream written by hand from the format, the rules by which a
// reader rejects a broken stream, and round trips over generated snapshots.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "selftest.hpp"
#include "stream.hpp"

namespace zelk {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char* text) {
    Bytes out;
    int nibble = -1;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The self-test's two-record snapshot (selftest_snapshot()), byte by byte from the format.
Bytes golden_stream() {
    Bytes out = hex(
        // header
        "5A 45 4C 4B 53 4E 50 31"  // "ZELKSNP1"
        "01 00 00 00"              // version 1
        "02 00 00 00"              // N = 2
        "3C 00 00 00"              // record size 60
        "B8 00 00 00"              // string area offset 184
        "88 77 66 55 44 33 22 11"  // mem_total
        "00 D2 49 6B 00 00 00 00"  // wall_sec 1800000000
        "40 E2 01 00"              // wall_usec 123456
        "01 00 00 00"              // valid_count 1
        "2A 00 00 00 00 00 00 00"  // collect_ns 42
        "00 00 00 00 00 00 00 00"  // reserved
        // record 0 at 64
        "07 00 00 00"              // pid 7
        "01 00 00 00"              // ppid 1
        "F5 01 00 00"              // uid 501
        "FB FF FF FF"              // nice -5
        "07 00 00 00"              // flags 7
        "D2 04 00 00"              // cpu_usage 1234
        "00 00 00 00 02 00 00 00"  // resident_bytes 0x200000000
        "18 CE 49 6B 00 00 00 00"  // start_sec 1799999000
        "09 00 00 00"              // start_usec 9
        "00 00 00 00"              // command offset 0
        "09 00 00 00"              // command length 9
        "09 00 00 00"              // session offset 9
        "03 00 00 10"              // tty 0x10000003
        // record 1 at 124
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
        "2D 00 00 00"      // command offset 45
        "00 00 00 00"      // command length 0
        "FF FF FF FF"      // no session
        "FF FF FF FF");    // no terminal
    const Bytes strings = ascii("/bin/x -y0123456789abcdef-0123456789ABCDEF-01");  // at 184
    out.insert(out.end(), strings.begin(), strings.end());
    return out;
}

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const auto b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

Bytes encoded(const Snapshot& s) {
    const CBuffer b = encode_snapshot(s);
    return Bytes(b.data(), b.data() + b.size());
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}

TEST(SnapshotStream, SelftestSnapshotEncodesToTheGoldenStream) {
    const Bytes golden = golden_stream();
    ASSERT_EQ(golden.size(), 229u);
    EXPECT_EQ(fnv1a64(golden), 0xe348b97ecf179858ull);
    EXPECT_EQ(encoded(selftest_snapshot()), golden);
}

TEST(SnapshotStream, GoldenStreamDecodesFieldForField) {
    const auto d = decode_snapshot(golden_stream());
    ASSERT_TRUE(d.has_value());
    const Snapshot want = selftest_snapshot();
    EXPECT_EQ(d->mem_total, want.mem_total);
    EXPECT_EQ(d->wall_sec, want.wall_sec);
    EXPECT_EQ(d->wall_usec, want.wall_usec);
    EXPECT_EQ(d->collect_ns, want.collect_ns);
    ASSERT_EQ(d->records.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto& got = d->records[i];
        const auto& exp = want.records[i];
        EXPECT_EQ(got.pid, exp.pid);
        EXPECT_EQ(got.ppid, exp.ppid);
        EXPECT_EQ(got.uid, exp.uid);
        EXPECT_EQ(got.nice, exp.nice);
        EXPECT_EQ(got.flags, exp.flags);
        EXPECT_EQ(got.cpu_usage, exp.cpu_usage);
        EXPECT_EQ(got.resident_bytes, exp.resident_bytes);
        EXPECT_EQ(got.start_sec, exp.start_sec);
        EXPECT_EQ(got.start_usec, exp.start_usec);
        EXPECT_EQ(got.tty, exp.tty);
        EXPECT_EQ(got.command, exp.command);
        EXPECT_EQ(got.session_id, exp.session_id);
    }
    EXPECT_FALSE(d->records[1].session_id.has_value());
}

TEST(SnapshotStream, EmptySnapshotIsTheHeaderAlone) {
    Snapshot s;
    s.mem_total = 5;
    const Bytes b = encoded(s);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 24), hex("00000000 3C000000 40000000"));
    const auto d = decode_snapshot(b);
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->records.empty());
    EXPECT_EQ(d->mem_total, 5u);
}

TEST(SnapshotStream, DecoderRejectsBrokenStreams) {
    const Bytes golden = golden_stream();
    struct Case {
        std::string name;
        Bytes stream;
    };
    std::vector<Case> cases;
    auto edited = [&](std::string name, auto edit) {
        Bytes b = golden;
        edit(b);
        cases.push_back({std::move(name), std::move(b)});
    };
    cases.push_back({"empty", {}});
    cases.push_back({"7 bytes of magic", Bytes(golden.begin(), golden.begin() + 7)});
    edited("other magic", [](Bytes& b) { b[7] = '2'; });
    edited("version 2", [](Bytes& b) { put32(b, 8, 2); });
    edited("record size 59", [](Bytes& b) { put32(b, 16, 59); });
    edited("record size 61", [](Bytes& b) { put32(b, 16, 61); });
    edited("string area offset 183", [](Bytes& b) { put32(b, 20, 183); });
    edited("string area offset 185", [](Bytes& b) { put32(b, 20, 185); });
    edited("string area offset 0", [](Bytes& b) { put32(b, 20, 0); });
    // 64 + 60 * 0x40000002 wraps to 184 in 32 bits: a reader summing in 32 bits would walk a
    // billion records off the end of this 229-byte input.
    edited("record count whose offset wraps in 32 bits", [](Bytes& b) { put32(b, 12, 0x40000002u); });
    edited("record count 3", [](Bytes& b) { put32(b, 12, 3); });
    edited("record 1 command one byte past the end", [](Bytes& b) { put32(b, 124 + 44, 46); });
    edited("record 0 command one byte past the end", [](Bytes& b) { put32(b, 64 + 48, 46); });
    edited("command offset near 2^32", [](Bytes& b) { put32(b, 64 + 44, 0xFFFFFFF0u); });
    edited("command length near 2^32", [](Bytes& b) { put32(b, 64 + 48, 0xFFFFFFFEu); });
    edited("session one byte past the end", [](Bytes& b) { put32(b, 64 + 52, 10); });
    edited("session offset just below no-session", [](Bytes& b) { put32(b, 124 + 52, 0xFFFFFFFEu); });
    for (std::size_t cut = 0; cut < golden.size(); ++cut)
        cases.push_back({"cut to " + std::to_string(cut), Bytes(golden.begin(), golden.begin() + cut)});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(decode_snapshot(c.stream).has_value());
    }
}

TEST(SnapshotStream, DecoderIgnoresWhatItDoesNotCheck) {
    const Bytes golden = golden_stream();
    const auto want = decode_snapshot(golden);
    ASSERT_TRUE(want.has_value());
    struct Case {
        const char* name;
        void (*edit)(Bytes&);
    };
    const Case cases[] = {
        {"valid_count 0xFFFFFFFF", [](Bytes& b) { put32(b, 44, 0xFFFFFFFFu); }},
        {"valid_count 0", [](Bytes& b) { put32(b, 44, 0); }},
        {"reserved set", [](Bytes& b) { put32(b, 56, 0xDEADBEEF), put32(b, 60, 0x01020304); }},
        {"unreferenced trailing bytes", [](Bytes& b) { b.insert(b.end(), {'z', 'z', 0}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = golden;
        c.edit(b);
        const auto got = decode_snapshot(b);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, *want);
    }
}

TEST(SnapshotStream, SessionNeedNotFollowItsCommand) {
    // Record 0's session points back at the start of the string area: the decoder only asks
    // that the 36 bytes lie inside it.
    Bytes b = golden_stream();
    put32(b, 64 + 52, 0);
    const auto d = decode_snapshot(b);
    ASSERT_TRUE(d.has_value());
    ASSERT_TRUE(d->records[0].session_id.has_value());
    EXPECT_EQ(std::string(d->records[0].session_id->data(), 36), "/bin/x -y0123456789abcdef-0123456789");
}

Snapshot generated(std::mt19937_64& rng, std::size_t count) {
    auto u32 = [&] { return static_cast<std::uint32_t>(rng()); };
    Snapshot s;
    s.mem_total = rng();
    s.wall_sec = static_cast<std::int64_t>(rng());
    s.wall_usec = u32() % 1000000;
    s.collect_ns = rng();
    for (std::size_t i = 0; i < count; ++i) {
        ProcessRecord r;
        r.pid = static_cast<std::int32_t>(u32());
        r.ppid = u32();
        r.uid = u32();
        r.nice = static_cast<std::int32_t>(u32());
        r.flags = u32() % 8;
        r.cpu_usage = u32();
        r.resident_bytes = rng();
        r.start_sec = rng();
        r.start_usec = u32();
        r.tty = u32();
        r.command.resize(u32() % 300);
        for (auto& c : r.command) c = static_cast<char>(u32());  // the format carries any bytes
        if (u32() % 2 == 0) {
            r.session_id.emplace();
            for (auto& c : *r.session_id) c = static_cast<char>(u32());
        }
        s.records.push_back(std::move(r));
    }
    return s;
}

TEST(SnapshotStream, GeneratedSnapshotsRoundTrip) {
    std::mt19937_64 rng(20261209);
    for (const std::size_t count : {1u, 2u, 17u, 500u}) {
        SCOPED_TRACE(count);
        const Snapshot s = generated(rng, count);
        const Bytes b = encoded(s);
        std::size_t strings = 0;
        std::uint32_t valid = 0;
        for (const auto& r : s.records) {
            strings += r.command.size() + (r.session_id ? 36 : 0);
            valid += r.flags & FLAG_INFO;
        }
        EXPECT_EQ(b.size(), 64 + 60 * count + strings);
        EXPECT_EQ(get32(b, 44), valid) << "valid_count";
        const auto d = decode_snapshot(b);
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(*d, s);
    }
}

}  // namespace
}  // namespace zelk
