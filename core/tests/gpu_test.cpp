// GPU client accounting over recorded registries: the walk, the totalling, the ZELKGPU1 codec,
// the figure selection, and the two exports on this machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "fakes/gpu_registry_fake.hpp"
#include "iokit_gpu.hpp"
#include "zelk_core.h"

namespace zelk {
namespace {

using testing::array;
using testing::dict;
using testing::FakeAccelerator;
using testing::FakeChild;
using testing::FakeGpuRegistry;
using testing::floating;
using testing::integer;
using testing::other;
using testing::text;
using testing::usage;

constexpr auto kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr auto kI64Max = std::numeric_limits<std::int64_t>::max();

std::vector<std::uint8_t> bytes_of(const CBuffer& b) { return {b.data(), b.data() + b.size()}; }

FakeChild client(std::uint64_t id, std::string creator, RegistryValue app_usage = {}) {
    return FakeChild{true, id, text(std::move(creator)), std::move(app_usage)};
}

// --- the stream ---------------------------------------------------------------------------

TEST(GpuStream, EmptyAndSingleRecordByteForByte) {
    EXPECT_EQ(bytes_of(encode_gpu_clients({})),
              (std::vector<std::uint8_t>{'Z', 'E', 'L', 'K', 'G', 'P', 'U', '1', 0, 0, 0, 0}));

    // 5a454c4b47505531 01000000 | 0100000000000000 0200000000000000 03000000 616263
    const std::vector<GpuClient> one{{"abc", 1, 2}};
    const std::vector<std::uint8_t> want{'Z', 'E', 'L', 'K', 'G', 'P', 'U', '1', 1, 0, 0, 0,
                                         1,   0,   0,   0,   0,   0,   0,   0,   2, 0, 0, 0,
                                         0,   0,   0,   0,   3,   0,   0,   0,   'a', 'b', 'c'};
    const CBuffer got = encode_gpu_clients(one);
    ASSERT_EQ(got.size(), 35u);
    EXPECT_EQ(bytes_of(got), want);
}

TEST(GpuStream, RoundTripKeepsOrderNulsAndExtremes) {
    const std::vector<GpuClient> clients{
        {"pid 1, a", 0, 0},
        {"", kU64Max, kU64Max},
        {std::string("x\0y", 3), 0x0102030405060708ull, 9},
        {std::string(70, 'z'), 5, 6},  // longer than the 64 bytes planned per record
    };
    const CBuffer buf = encode_gpu_clients(clients);
    EXPECT_EQ(buf.size(), 12 + 4 * 20 + 8 + 0 + 3 + 70u);
    const auto back = decode_gpu_clients(buf.bytes());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), clients.size());
    for (std::size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((*back)[i].creator, clients[i].creator);
        EXPECT_EQ((*back)[i].registry_id, clients[i].registry_id);
        EXPECT_EQ((*back)[i].gpu_time, clients[i].gpu_time);
    }
}

TEST(GpuStream, DecoderRefusesDamage) {
    const auto good = bytes_of(encode_gpu_clients(std::vector<GpuClient>{{"abc", 1, 2}, {"de", 3, 4}}));
    auto bad_magic = good;
    bad_magic[7] = '2';
    auto count_high = good;
    count_high[8] = 3;
    auto count_huge = good;
    count_huge[11] = 0xFF;
    auto length_past_end = good;
    length_past_end[12 + 16] = 4;
    auto extra = good;
    extra.push_back(0);
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"header cut", std::vector<std::uint8_t>(good.begin(), good.begin() + 11)},
        {"record cut", std::vector<std::uint8_t>(good.begin(), good.end() - 1)},
        {"wrong magic", bad_magic},
        {"count above the records", count_high},
        {"count no stream can hold", count_huge},
        {"creator length past the end", length_past_end},
        {"trailing byte", extra},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(decode_gpu_clients(c.bytes));
    }
    EXPECT_TRUE(decode_gpu_clients(good));
}

// --- totalling ----------------------------------------------------------------------------

TEST(SumAppUsage, OnlyPositiveIntegerTimesOfDictionariesCount) {
    RegistryValue unreadable = RegistryValue::make_integer(123, false);
    const struct {
        const char* name;
        RegistryValue app_usage;
        std::uint64_t want;
    } cases[] = {
        {"missing", {}, 0},
        {"not an array: text", text("5"), 0},
        {"not an array: a dictionary holding a time", usage(integer(5)), 0},
        {"empty array", array({}), 0},
        {"one entry", array({usage(integer(7))}), 7},
        {"entries that are not dictionaries", array({integer(5), text("5"), array({}), usage(integer(2))}), 2},
        {"time missing", array({dict({{"other", integer(9)}}), usage(integer(1))}), 1},
        {"float time", array({usage(floating()), usage(integer(4))}), 4},
        {"time not a number", array({usage(text("9")), usage(other()), usage(integer(4))}), 4},
        {"zero and negative", array({usage(integer(0)), usage(integer(-9)), usage(integer(3))}), 3},
        {"number that cannot be read as 64-bit", array({usage(unreadable), usage(integer(3))}), 3},
        {"several summed", array({usage(integer(10)), usage(integer(20)), usage(integer(30))}), 60},
        {"largest signed values add up past it", array({usage(integer(kI64Max)), usage(integer(kI64Max))}),
         2 * static_cast<std::uint64_t>(kI64Max)},
        {"exactly 2^64 - 1", array({usage(integer(kI64Max)), usage(integer(kI64Max)), usage(integer(1))}), kU64Max},
        {"saturates", array({usage(integer(kI64Max)), usage(integer(kI64Max)), usage(integer(2)), usage(integer(9))}),
         kU64Max},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sum_app_usage(c.app_usage), c.want);
    }
}

// --- the walk -----------------------------------------------------------------------------

TEST(CollectGpuClients, NoAcceleratorGivesNoRecords) {
    FakeGpuRegistry r;
    EXPECT_TRUE(collect_gpu_clients(r).empty());
    EXPECT_EQ(encode_gpu_clients(collect_gpu_clients(r)).size(), 12u);
}

TEST(CollectGpuClients, OrderFollowsAcceleratorsThenChildren) {
    FakeGpuRegistry r;
    r.accelerators_ = {
        FakeAccelerator{false, {client(30, "c"), client(10, "a")}, {}},
        FakeAccelerator{false, {}, {}},
        FakeAccelerator{false, {client(20, "b")}, {}},
    };
    const auto got = collect_gpu_clients(r);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].registry_id, 30u);
    EXPECT_EQ(got[1].registry_id, 10u);
    EXPECT_EQ(got[2].registry_id, 20u);
    EXPECT_EQ(got[2].creator, "b");
}

TEST(CollectGpuClients, AppUsageNeverSkipsAClient) {
    FakeGpuRegistry r;
    r.accelerators_ = {FakeAccelerator{
        false,
        {client(1, "none"), client(2, "text", text("x")), client(3, "empty", array({})),
         client(4, "counted", array({usage(integer(5)), integer(1), usage(integer(6))}))},
        {}}};
    const auto got = collect_gpu_clients(r);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].gpu_time, 0u);
    EXPECT_EQ(got[1].gpu_time, 0u);
    EXPECT_EQ(got[2].gpu_time, 0u);
    EXPECT_EQ(got[3].gpu_time, 11u);
}

TEST(CollectGpuClients, SkippedChildrenCostNoPropertyReads) {
    FakeGpuRegistry r;
    FakeChild not_a_client = client(5, "never");
    not_a_client.conforms = false;
    r.accelerators_ = {
        FakeAccelerator{false, {not_a_client, client(7, "first", array({usage(integer(1))}))}, {}},
        FakeAccelerator{false, {client(7, "again", array({usage(integer(50))})), not_a_client}, {}},
    };
    const auto got = collect_gpu_clients(r);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].creator, "first");  // reported once, where it was first found
    EXPECT_EQ(got[0].gpu_time, 1u);
    EXPECT_EQ(r.reads_of(0, 0), std::vector<std::string>{"class"});
    EXPECT_EQ(r.reads_of(0, 1), (std::vector<std::string>{"class", "id", "creator", "app_usage"}));
    EXPECT_EQ(r.reads_of(1, 0), (std::vector<std::string>{"class", "id"}));
    EXPECT_EQ(r.reads_of(1, 1), std::vector<std::string>{"class"});
}

TEST(CollectGpuClients, CreatorRules) {
    const struct {
        const char* name;
        RegistryValue creator;
        bool reported;
        std::string want;
    } cases[] = {
        {"plain", text("pid 42, Safari"), true, "pid 42, Safari"},
        {"cut at a NUL", text(std::string("pid 1, a\0hidden", 15)), true, "pid 1, a"},
        {"converted buffer with trailing zeros", text(std::string("abc\0\0\0\0", 7)), true, "abc"},
        {"empty", text(""), true, ""},
        {"only a NUL", text(std::string(1, '\0')), true, ""},
        {"missing", {}, false, ""},
        {"a number", integer(42), false, ""},
        {"another type", other(), false, ""},
        {"text that cannot be converted", RegistryValue::make_text("", false), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeGpuRegistry r;
        // The same ID with a good creator under a second accelerator: seen already, so never
        // reported even when the first had no usable creator.
        r.accelerators_ = {FakeAccelerator{false, {FakeChild{true, 9, c.creator, {}}}, {}},
                           FakeAccelerator{false, {client(9, "later")}, {}}};
        const auto got = collect_gpu_clients(r);
        ASSERT_EQ(got.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            EXPECT_EQ(got[0].creator, c.want);
        }
        EXPECT_TRUE(r.reads_of(1, 0) == (std::vector<std::string>{"class", "id"}));
        if (!c.reported) {
            EXPECT_EQ(r.reads_of(0, 0), (std::vector<std::string>{"class", "id", "creator"}));
        }
    }
}

TEST(CollectGpuClients, UnreadableIdsCollapseToTheFirst) {
    FakeGpuRegistry r;
    r.accelerators_ = {FakeAccelerator{false, {client(0, "one"), client(0, "two")}, {}},
                       FakeAccelerator{false, {client(0, "three"), client(4, "four")}, {}}};
    const auto got = collect_gpu_clients(r);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].creator, "one");
    EXPECT_EQ(got[1].creator, "four");
}

TEST(CollectGpuClients, FailedListingsFailTheWholeCall) {
    {
        SCOPED_TRACE("second accelerator's children cannot be listed");
        FakeGpuRegistry r;
        r.accelerators_ = {FakeAccelerator{false, {client(1, "read already")}, {}},
                           FakeAccelerator{true, {client(2, "x")}, {}},
                           FakeAccelerator{false, {client(3, "y")}, {}}};
        EXPECT_THROW(collect_gpu_clients(r), MeasurementFailed);
        EXPECT_EQ(r.reads_of(0, 0).size(), 4u);
        EXPECT_TRUE(r.reads_of(2, 0).empty());
        EXPECT_EQ(r.lists_released, r.lists_made);  // the remaining accelerators are released
    }
    {
        SCOPED_TRACE("accelerators cannot be matched");
        FakeGpuRegistry r;
        r.matching_fails = true;
        EXPECT_THROW(collect_gpu_clients(r), MeasurementFailed);
        EXPECT_THROW(select_gpu_stats(r), MeasurementFailed);
    }
}

// --- the figures --------------------------------------------------------------------------

TEST(SelectGpuStats, EachFigureFromTheFirstAcceleratorThatGivesIt) {
    const auto figures = [](std::optional<RegistryValue> u, std::optional<RegistryValue> m) {
        std::vector<RegistryEntry> e;
        if (u) e.emplace_back(kUtilizationKey, *u);
        if (m) e.emplace_back(kMemoryKey, *m);
        return dict(std::move(e));
    };
    const auto none = std::nullopt;
    const struct {
        const char* name;
        std::vector<RegistryValue> statistics;
        std::int64_t utilization;
        std::int64_t memory;
        std::size_t read;  // accelerators asked
    } cases[] = {
        {"no accelerator", {}, -1, -1, 0},
        {"no dictionary", {RegistryValue{}}, -1, -1, 1},
        {"not a dictionary", {array({figures(integer(5), integer(6))}), integer(3)}, -1, -1, 2},
        {"both from one", {figures(integer(40), integer(1000)), figures(integer(1), integer(1))}, 40, 1000, 1},
        {"float utilisation ignored", {figures(floating(), integer(7))}, -1, 7, 1},
        {"float then integer", {figures(floating(), integer(7)), figures(integer(3), integer(8))}, 3, 7, 2},
        {"from two, the third not read",
         {figures(integer(12), none), figures(none, integer(900)), figures(integer(99), integer(99))}, 12, 900, 2},
        {"0 counts as found", {figures(integer(0), none), figures(integer(50), integer(5))}, 0, 5, 2},
        {"-5 stored, replaced later", {figures(integer(-5), integer(1)), figures(integer(8), none)}, 8, 1, 2},
        {"-5 kept when nothing replaces it", {figures(integer(-5), integer(1)), figures(none, integer(2))}, -5, 1, 2},
        {"unreadable number and wrong types", {figures(RegistryValue::make_integer(4, false), text("9"))}, -1, -1, 1},
        {"largest signed value", {figures(integer(kI64Max), integer(kI64Max))}, kI64Max, kI64Max, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeGpuRegistry r;
        for (const auto& s : c.statistics) r.accelerators_.push_back(FakeAccelerator{false, {}, s});
        const GpuStats got = select_gpu_stats(r);
        EXPECT_EQ(got.utilization, c.utilization);
        EXPECT_EQ(got.memory, c.memory);
        EXPECT_EQ(r.log.size(), c.read);
    }
}

// --- the exports on this machine ----------------------------------------------------------

TEST(GpuExports, NullPointersLeaveTheOtherLocationAlone) {
    std::uint8_t* ptr = reinterpret_cast<std::uint8_t*>(0x1);
    std::size_t len = 77;
    EXPECT_EQ(zelk_core_gpu_clients(nullptr, &len), kNullPointer);
    EXPECT_EQ(zelk_core_gpu_clients(&ptr, nullptr), kNullPointer);
    EXPECT_EQ(len, 77u);
    EXPECT_EQ(ptr, reinterpret_cast<std::uint8_t*>(0x1));
    std::int64_t u = 5;
    std::int64_t m = 6;
    EXPECT_EQ(zelk_core_gpu_stats(nullptr, &m), kNullPointer);
    EXPECT_EQ(zelk_core_gpu_stats(&u, nullptr), kNullPointer);
    EXPECT_EQ(u, 5);
    EXPECT_EQ(m, 6);
}

TEST(GpuExports, LiveCallsGiveAWellFormedAnswer) {
    std::uint8_t* ptr = nullptr;
    std::size_t len = 0;
    ASSERT_EQ(zelk_core_gpu_clients(&ptr, &len), kOk);
    ASSERT_NE(ptr, nullptr);
    const auto decoded = decode_gpu_clients({ptr, len});
    zelk_core_free(ptr, len);
    ASSERT_TRUE(decoded);

    std::int64_t u = 5;
    std::int64_t m = 6;
    ASSERT_EQ(zelk_core_gpu_stats(&u, &m), kOk);

    // A machine without any GPU: no records and neither figure.
    std::error_code ec;
    const bool any_gpu = std::filesystem::exists("/sys/class/drm", ec) ||
                         std::filesystem::exists("/dev/nvidia0", ec) ||
                         std::filesystem::exists("/System/Library/Extensions", ec);
    if (any_gpu) GTEST_SKIP() << "this machine has GPU devices; only the form was checked";
    EXPECT_EQ(len, 12u);
    EXPECT_EQ(u, -1);
    EXPECT_EQ(m, -1);
}

}  // namespace
}  // namespace zelk
