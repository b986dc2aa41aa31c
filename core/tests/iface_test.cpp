// The routing-reply walk, the size/data query loop and the codes of the interface counters.
#include <gtest/gtest.h>

#include <cerrno>

#include "fakes/fake_routes.hpp"
#include "frame.hpp"
#include "iokit.hpp"

namespace zelk {
namespace {

using testing::concat;
using testing::FakeRoutes;
using testing::route_message;

constexpr std::uint8_t kInfo2 = 18;

TEST(FindIfinfo2, WalkSkipsAndStops) {
    const auto match = route_message(112, kInfo2, 7, 1000, 2000);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::optional<std::pair<std::uint64_t, std::uint64_t>> want;
    };
    std::vector<std::uint8_t> too_short_len = route_message(112, kInfo2, 7, 1, 2);
    too_short_len[0] = 3;
    std::vector<std::uint8_t> past_end = route_message(112, kInfo2, 7, 1, 2);
    past_end[0] = 113;
    const Case cases[] = {
        {"empty reply", {}, std::nullopt},
        {"three bytes", {112, 0, 5}, std::nullopt},
        {"first length below 4", too_short_len, std::nullopt},
        {"first length past the end", past_end, std::nullopt},
        {"the match alone", match, std::pair{1000ull, 2000ull}},
        {"other type skipped", concat({route_message(112, 14, 7, 9, 9), match}), std::pair{1000ull, 2000ull}},
        {"type 18 shorter than 112 skipped", concat({route_message(111, kInfo2, 7, 0, 0), match}),
         std::pair{1000ull, 2000ull}},
        {"other index skipped", concat({route_message(160, kInfo2, 8, 5, 5), match}), std::pair{1000ull, 2000ull}},
        {"address messages before", concat({route_message(20, 12, 7), route_message(4, 13, 0), match}),
         std::pair{1000ull, 2000ull}},
        {"match behind a broken message is never reached", concat({{2, 0, 0, 0}, match}), std::nullopt},
        {"trailing bytes shorter than a header ignored", concat({route_message(20, 12, 7), {1, 2}}), std::nullopt},
        {"counters at and above 2^63 copied exactly",
         route_message(112, kInfo2, 7, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull),
         std::pair{0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = find_ifinfo2(c.reply, c.reply.size(), 7);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(got->received, c.want->first);
            EXPECT_EQ(got->sent, c.want->second);
        }
    }
}

TEST(FindIfinfo2, LimitIsTheSmallerOfBufferAndReturnedLength) {
    const auto reply = concat({route_message(20, 12, 7), route_message(112, kInfo2, 7, 1, 2)});
    EXPECT_TRUE(find_ifinfo2(reply, reply.size(), 7));
    EXPECT_FALSE(find_ifinfo2(reply, reply.size() - 1, 7));     // the kernel said less
    EXPECT_TRUE(find_ifinfo2(reply, reply.size() + 4096, 7));  // the kernel said more than fits
    EXPECT_FALSE(find_ifinfo2(std::span(reply).first(reply.size() - 1), reply.size(), 7));
}

TEST(FindIfinfo2, IndexComparedInTheFieldsWidth) {
    // Linux indexes pass 65535; the two-byte field holds the low half.
    const auto reply = route_message(112, kInfo2, static_cast<std::uint16_t>(70000 & 0xFFFF), 3, 4);
    const auto got = find_ifinfo2(reply, reply.size(), 70000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->received, 3u);
    EXPECT_FALSE(find_ifinfo2(reply, reply.size(), 70001));
}

struct LoopResult {
    std::int32_t code;
    IfaceCounters counters;
};

LoopResult run(FakeRoutes& routes, const char* name = "en0") {
    LoopResult r{0, {111, 222}};
    r.code = guarded([&] { return iface_bytes(routes, name, r.counters); });
    return r;
}

TEST(IfaceBytes, QueryLoopAndCodes) {
    const auto good = route_message(112, kInfo2, 4, 10, 20);
    {
        SCOPED_TRACE("success after two ENOMEM answers, each attempt with a fresh size query");
        FakeRoutes f;
        f.indexes = {4};
        f.answers = {{ENOMEM, {}}, {ENOMEM, {}}, {0, good}};
        const auto r = run(f);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.counters.received, 10u);
        EXPECT_EQ(r.counters.sent, 20u);
        EXPECT_EQ(f.size_queries, 3);
        EXPECT_EQ(f.data_queries, 3);
        EXPECT_EQ(f.buffer_sizes.front(), 256u + 4096u);
    }
    {
        SCOPED_TRACE("ENOMEM four times gives -4");
        FakeRoutes f;
        f.indexes = {4};
        f.answers = {{ENOMEM, {}}};
        const auto r = run(f);
        EXPECT_EQ(r.code, -4);
        EXPECT_EQ(f.data_queries, 4);
        EXPECT_EQ(r.counters.received, 111u);
    }
    {
        SCOPED_TRACE("another error gives -4 at once");
        FakeRoutes f;
        f.indexes = {4};
        f.answers = {{EPERM, {}}, {0, good}};
        EXPECT_EQ(run(f).code, -4);
        EXPECT_EQ(f.data_queries, 1);
    }
    {
        SCOPED_TRACE("a failed size query gives -4 before any data query");
        FakeRoutes f;
        f.indexes = {4};
        f.size_err = EINVAL;
        f.answers = {{0, good}};
        EXPECT_EQ(run(f).code, -4);
        EXPECT_EQ(f.data_queries, 0);
    }
    {
        SCOPED_TRACE("no such name: 1, no query");
        FakeRoutes f;
        f.indexes = {0};
        EXPECT_EQ(run(f).code, 1);
        EXPECT_EQ(f.size_queries, 0);
    }
    {
        SCOPED_TRACE("vanished between the lookups: 1");
        FakeRoutes f;
        f.indexes = {4, 0};
        f.answers = {{0, {}}};
        const auto r = run(f);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.counters.received, 111u);
        EXPECT_EQ(f.names_asked.size(), 2u);
    }
    {
        SCOPED_TRACE("missing from the reply but still resolves: -4");
        FakeRoutes f;
        f.indexes = {4};
        f.answers = {{0, route_message(112, kInfo2, 5, 1, 1)}};
        EXPECT_EQ(run(f).code, -4);
    }
    {
        SCOPED_TRACE("a reply shorter than 4 bytes: no match");
        FakeRoutes f;
        f.indexes = {4, 0};
        f.answers = {{0, {1, 2, 3}}};
        EXPECT_EQ(run(f).code, 1);
    }
    {
        SCOPED_TRACE("the name is passed unchanged and copied once");
        FakeRoutes f;
        f.indexes = {4};
        f.answers = {{0, good}};
        EXPECT_EQ(run(f, " En0 ").code, 0);
        ASSERT_EQ(f.names_asked.size(), 1u);
        EXPECT_EQ(f.names_asked[0], " En0 ");
    }
}

TEST(IfaceBytes, NamesThatAreNotUtf8AreNoInterface) {
    for (const char* name : {"\xff", "en\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\xe2\x82"}) {
        SCOPED_TRACE(name);
        FakeRoutes f;
        f.indexes = {4};
        EXPECT_EQ(run(f, name).code, 1);
        EXPECT_TRUE(f.names_asked.empty());
    }
    FakeRoutes f;
    f.indexes = {4};
    f.answers = {{0, route_message(112, kInfo2, 4, 1, 2)}};
    EXPECT_EQ(run(f, "br\xc3\xbc\xf0\x9f\x98\x80").code, 0);
}

}  // namespace
}  // namespace zelk
