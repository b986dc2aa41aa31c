// The self-test passes on this machine, and each of its checks fails when the part it checks
// is broken on purpose; a failed early check means the live snapshot is never taken.
#include <gtest/gtest.h>

#include "fakes/fake_processes.hpp"
#include "lib.hpp"
#include "macos.hpp"
#include "procargs.hpp"
#include "selftest.hpp"
#include "zelk_core.h"

namespace zelk {
namespace {

TEST(Selftest, PassesHere) {
    EXPECT_EQ(zelk_core_selftest(), 1);
    EXPECT_EQ(run_selftest(live_selftest_parts()), 1);
}

TEST(Selftest, EachBrokenPartFailsItsCheck) {
    struct Case {
        const char* name;
        void (*mutilate)(SelftestParts&);
        bool live_collection_runs;
    };
    const Case cases[] = {
        {"an encoder that writes the record count big-endian",
         [](SelftestParts& p) {
             p.encode = [](const Snapshot& s) {
                 CBuffer b = encode_snapshot(s);
                 std::swap(b.data()[12], b.data()[15]);
                 return b;
             };
         },
         false},
        {"a decoder that rejects the stream",
         [](SelftestParts& p) { p.decode = [](std::span<const std::uint8_t>) { return std::optional<Snapshot>(); }; },
         false},
        {"a decoder that gives record 1 a session id",
         [](SelftestParts& p) {
             p.decode = [](std::span<const std::uint8_t> b) {
                 auto s = decode_snapshot(b);
                 s->records[1].session_id = s->records[0].session_id;
                 return s;
             };
         },
         false},
        {"a scanner that takes the last value",
         [](SelftestParts& p) {
             p.find_session = [](std::span<const std::string_view> s) {
                 std::optional<SessionId> last;
                 for (std::size_t i = 0; i < s.size(); ++i)
                     if (auto v = find_session_id(s.subspan(i, 1))) last = v;
                 return last;
             };
         },
         false},
        {"a scanner that joins adjacent strings",
         [](SelftestParts& p) {
             p.find_session = [](std::span<const std::string_view> s) {
                 std::string joined;
                 for (auto v : s) joined += v;
                 const std::string_view one = joined;
                 return find_session_id(std::span(&one, 1));
             };
         },
         false},
        {"a renderer that escapes the backslash",
         [](SelftestParts& p) {
             p.push_visible = [](std::string& out, std::string_view in) {
                 for (char c : in) {
                     if (c == '\\') out += '\\';
                     push_visible(out, std::string_view(&c, 1));
                 }
             };
         },
         false},
        {"a renderer that gives 0xA0 the meta form",
         [](SelftestParts& p) {
             p.to_visible = [](std::string_view in) {
                 std::string out = to_visible(in);
                 if (auto at = out.find("\\240"); at != std::string::npos) out.replace(at, 4, "M- ");
                 return out;
             };
         },
         false},
        {"own arguments unreadable", [](SelftestParts&) {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SelftestParts parts = live_selftest_parts();
        c.mutilate(parts);
        // The live collection runs over a recorded source in which this process's arguments
        // are refused, so only the last case reaches it, and fails there.
        int collections = 0;
        parts.collect = [&] {
            ++collections;
            testing::FakeProcesses f;
            f.pid_list = {1, parts.pid};
            f.procs[1] = {testing::task(0, "init"), {}, false, testing::arg_area(1, "/init", {"/init"}), {}};
            auto me = testing::task(static_cast<std::uint32_t>(parts.ppid), "self");
            me.uid = parts.euid;
            f.procs[parts.pid] = {me, {}, false, std::nullopt, {}};
            ProcessCache cache;
            return collect_snapshot(f, cache);
        };
        EXPECT_EQ(run_selftest(parts), 0);
        EXPECT_EQ(collections, c.live_collection_runs ? 1 : 0);
    }
}

TEST(Selftest, LiveChecksAgainstARecordedCensus) {
    // The same recorded census passes when the process's arguments are readable, and fails on
    // each wrong id or a failed collection.
    struct Case {
        const char* name;
        std::int32_t ppid_delta;
        std::uint32_t uid_delta;
        bool collection_fails;
        int want;
    };
    const Case cases[] = {
        {"all as expected", 0, 0, false, 1},
        {"wrong parent", 1, 0, false, 0},
        {"wrong uid", 0, 1, false, 0},
        {"collection fails", 0, 0, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SelftestParts parts = live_selftest_parts();
        parts.collect = [&] {
            if (c.collection_fails) throw MeasurementFailed("x");
            testing::FakeProcesses f;
            f.pid_list = {1, parts.pid};
            f.procs[1] = {testing::task(0, "init"), {}, false, testing::arg_area(1, "/init", {"/init"}), {}};
            auto me = testing::task(static_cast<std::uint32_t>(parts.ppid + c.ppid_delta), "self");
            me.uid = parts.euid + c.uid_delta;
            f.procs[parts.pid] = {me, {}, false, testing::arg_area(1, "/self", {"/self"}), {}};
            ProcessCache cache;
            return collect_snapshot(f, cache);
        };
        EXPECT_EQ(guarded([&] { return run_selftest(parts); }), c.collection_fails ? -4 : c.want);
    }
}

}  // namespace
}  // namespace zelk
