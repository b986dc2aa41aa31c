// The census over a recorded process source: records, placeholders, the pid-list retries,
// thread usage, the identity re-check and the process cache.
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/fake_processes.hpp"
#include "frame.hpp"
#include "macos.hpp"

namespace zelk {
namespace {

using testing::arg_area;
using testing::FakeProcesses;
using testing::task;

const std::string kSession = "0f0e0d0c-0b0a-0908-0706-050403020100";

FakeProcesses three_processes() {
    FakeProcesses f;
    f.pid_list = {1, 42, 77};
    f.procs[1] = {task(0, "launchd"), {{11, 0}}, false, arg_area(1, "/sbin/launchd", {"/sbin/launchd"}), {}};
    f.procs[42] = {task(1, "node", 2000),
                   {{21, 300}, {22, std::nullopt}, {23, -4}, {24, 200}},
                   false,
                   arg_area(2, "/usr/bin/node", {"node", "agent.js", "HOME=/x", "CLAUDE_CODE_SESSION_ID=" + kSession}),
                   {}};
    f.procs[77] = {task(1, "secretd"), {{31, 0}}, false, std::nullopt, {}};
    return f;
}

const ProcessRecord* find(const Snapshot& s, std::int32_t pid) {
    const auto it = std::find_if(s.records.begin(), s.records.end(), [&](const auto& r) { return r.pid == pid; });
    return it == s.records.end() ? nullptr : &*it;
}

TEST(Census, RecordsFromTheSource) {
    auto f = three_processes();
    ProcessCache cache;
    const Snapshot s = collect_snapshot(f, cache);
    EXPECT_EQ(s.mem_total, 16ull << 30);
    EXPECT_EQ(s.wall_sec, 1800000000);
    EXPECT_EQ(s.wall_usec, 5u);
    EXPECT_GT(s.collect_ns, 0u);
    ASSERT_EQ(s.records.size(), 3u);
    EXPECT_EQ(s.records[0].pid, 1);  // pid-list order
    EXPECT_EQ(s.records[2].pid, 77);

    const auto* node = find(s, 42);
    EXPECT_EQ(node->flags, FLAG_INFO | FLAG_ARGV | FLAG_SESSION);
    EXPECT_EQ(node->command, "node agent.js");  // the environment never enters the command
    ASSERT_TRUE(node->session_id);
    EXPECT_EQ(std::string(node->session_id->begin(), node->session_id->end()), kSession);
    EXPECT_EQ(node->cpu_usage, 500u);  // failed and negative thread figures add nothing
    EXPECT_EQ(node->ppid, 1u);
    EXPECT_EQ(node->uid, 501u);
    EXPECT_EQ(node->nice, -2);
    EXPECT_EQ(node->tty, 0x10000003u);
    EXPECT_EQ(node->resident_bytes, 40960u);
    EXPECT_EQ(node->start_sec, 2000u);
    EXPECT_EQ(node->start_usec, 77u);

    const auto* refused = find(s, 77);
    EXPECT_EQ(refused->flags, FLAG_INFO);
    EXPECT_EQ(refused->command, "(secretd)");
    EXPECT_FALSE(refused->session_id);
}

TEST(Census, PlaceholdersAndSkippedPids) {
    auto f = three_processes();
    f.pid_list = {0, -3, 1, 555, 42};
    f.procs[555] = {std::nullopt, {}, false, std::nullopt, {}};
    ProcessCache cache;
    const Snapshot s = collect_snapshot(f, cache);
    ASSERT_EQ(s.records.size(), 3u);  // pids below 1 get nothing
    const auto* gone = find(s, 555);
    ASSERT_NE(gone, nullptr);
    ProcessRecord placeholder;
    placeholder.pid = 555;
    EXPECT_EQ(*gone, placeholder);
    EXPECT_EQ(gone->tty, 0xFFFFFFFFu);
    EXPECT_EQ(cache.slot->count(555), 0u);  // no cache entry for a placeholder
}

// A process whose task information is refused (another user's) exists: it is shown from its
// process-table entry, without threads or arguments. Only a process that has gone is a placeholder.
TEST(Census, RefusedIsNotGone) {
    auto f = three_processes();
    f.pid_list = {1, 77, 555};
    f.procs[77].info->refused = true;
    f.procs[77].threads = {{31, 250}};
    f.procs[77].args = arg_area(1, "/usr/sbin/secretd", {"secretd"});
    f.procs[555] = {std::nullopt, {}, false, std::nullopt, {}};
    // Its ids, nice value, terminal and start time; no resident size, usage or session.
    const ProcessRecord refused{.pid = 77, .ppid = 1, .uid = 501, .nice = -2, .flags = FLAG_INFO, .cpu_usage = 0,
                                .resident_bytes = 0, .start_sec = 1000, .start_usec = 77, .tty = 0x10000003,
                                .command = "(secretd)", .session_id = std::nullopt};
    ProcessRecord gone;  // the placeholder
    gone.pid = 555;
    ProcessCache cache;
    for (int pass = 0; pass < 2; ++pass) {
        const Snapshot s = collect_snapshot(f, cache);
        EXPECT_EQ(*find(s, 77), refused);
        EXPECT_EQ(*find(s, 555), gone);
    }
    EXPECT_EQ(std::count(f.arg_reads.begin(), f.arg_reads.end(), 77), 0);
    EXPECT_EQ(std::count(f.thread_lists.begin(), f.thread_lists.end(), 77), 0);
}

TEST(Census, FailuresLeaveTheCacheAlone) {
    struct Case {
        const char* name;
        void (*script)(FakeProcesses&);
        bool cache_replaced;
    };
    const Case cases[] = {
        {"memory size unreadable", [](FakeProcesses& f) { f.memory = std::nullopt; }, false},
        {"memory size zero", [](FakeProcesses& f) { f.memory = 0; }, false},
        {"pid list fails", [](FakeProcesses& f) { f.list_results = {0}; }, false},
        {"pid list keeps filling", [](FakeProcesses& f) { f.list_results = {320, 640, 1280, 2560, 5120, 10240, 20480, 40960}; }, false},
        {"no pid of 1 or more", [](FakeProcesses& f) { f.pid_list = {0, -1}; }, true},
        {"no process readable", [](FakeProcesses& f) { f.procs[1].info.reset(); f.procs[42].info.reset(); f.procs[77].info.reset(); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = three_processes();
        c.script(f);
        ProcessCache cache;
        cache.slot = CacheMap{{999, CacheEntry{}}};
        EXPECT_THROW(collect_snapshot(f, cache), MeasurementFailed);
        ASSERT_TRUE(cache.slot);
        EXPECT_EQ(cache.slot->count(999), c.cache_replaced ? 0u : 1u);
    }
}

TEST(Census, PidListRetriesAtTwiceTheCapacity) {
    auto f = three_processes();
    f.estimate = -1;
    f.list_results = {320, 640, 3};  // full, full, then complete
    ProcessCache cache;
    const Snapshot s = collect_snapshot(f, cache);
    EXPECT_EQ(f.list_capacities, (std::vector<std::size_t>{320, 640, 1280}));
    EXPECT_EQ(s.records.size(), 3u);

    auto g = three_processes();
    g.estimate = 1000;
    collect_snapshot(g, cache);
    EXPECT_EQ(g.list_capacities, (std::vector<std::size_t>{1256}));
}

TEST(Census, UsageSaturatesAndThreadBufferIsSizedFromTheCount) {
    auto f = three_processes();
    f.procs[42].info->threadnum = 3;
    f.procs[42].threads = {{1, 0x7FFFFFFF}, {2, 0x7FFFFFFF}, {3, 0x7FFFFFFF}};
    ProcessCache cache;
    const Snapshot s = collect_snapshot(f, cache);
    EXPECT_EQ(find(s, 42)->cpu_usage, 0xFFFFFFFFu);
    EXPECT_EQ(f.thread_list_capacities[1], 35u);  // pid 42: 3 threads + 32

    auto g = three_processes();
    g.procs[42].threads_fail = true;
    const Snapshot t = collect_snapshot(g, cache);
    EXPECT_EQ(find(t, 42)->cpu_usage, 0u);
}

TEST(Census, AThreadListedTwiceCountsOnce) {
    auto f = three_processes();
    f.procs[42].threads = {{21, 300}, {22, 200}, {21, 300}};
    ProcessCache cache;
    EXPECT_EQ(find(collect_snapshot(f, cache), 42)->cpu_usage, 500u);
    EXPECT_EQ(f.thread_info_reads, 4);  // pids 1 and 77: one thread each; pid 42: two
}

// Totals that move while the live threads read 0: their rate, with no thread walk, after the first sight.
TEST(Census, UsageFollowsTheTotalsNotTheLiveThreads) {
    constexpr std::uint64_t kWindow = 2'400'000;  // 100 ms of a 24 MHz clock
    for (const std::uint64_t spacing : {10 * kWindow, kWindow}) {
        SCOPED_TRACE(spacing);
        auto f = three_processes();
        f.procs[42].threads = {{21, 0}, {22, 0}};
        f.clock = TotalsClock{7 * kWindow, kWindow};
        ProcessCache cache;
        for (int i = 0; i < 4; ++i) {
            f.forget_calls();
            f.procs[42].info->total_user += spacing * 3 / 4;
            f.clock->now += spacing;
            const auto usage = find(collect_snapshot(f, cache), 42)->cpu_usage;
            if (i == 0) continue;
            EXPECT_NEAR(usage, 750, 750 * 0.05);
            EXPECT_TRUE(f.thread_lists.empty());
        }
        f.procs[42].info->total_user = 0;
        f.procs[42].threads = {{21, 400}};
        f.clock->now += spacing;
        EXPECT_EQ(find(collect_snapshot(f, cache), 42)->cpu_usage, 400u);
    }
}

TEST(Census, ArgumentAreasTheCensusRefuses) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> area;
    };
    std::vector<std::uint8_t> too_long = arg_area(1, "/bin/x", {"x"});
    too_long.resize(5000);  // claims more than the 4096-byte buffer holds
    const Case cases[] = {
        {"shorter than 4 bytes", {1, 0, 0}},
        {"argument count 0", arg_area(0, "/bin/x", {"x"})},
        {"negative argument count", arg_area(-1, "/bin/x", {"x"})},
        {"size past the buffer", too_long},
        {"no argument string", arg_area(1, "/bin/x", {})},
        {"executable path only", {1, 0, 0, 0, '/', 'x'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = three_processes();
        f.procs[42].args = c.area;
        ProcessCache cache;
        const Snapshot s = collect_snapshot(f, cache);
        const auto* r = find(s, 42);
        EXPECT_EQ(r->flags, FLAG_INFO);
        EXPECT_EQ(r->command, "(node)");
        EXPECT_FALSE(cache.slot->at(42).command);  // the fallback is never cached
    }
}

TEST(Census, RecheckDropsTheCommandOfAReusedPid) {
    for (const bool fails : {true, false}) {
        auto f = three_processes();
        if (fails)
            f.procs[42].recheck_fails = true;
        else
            f.procs[42].bsd = StartTime{2001, 77};  // another process now has the pid
        ProcessCache cache;
        const Snapshot s = collect_snapshot(f, cache);
        const auto* r = find(s, 42);
        EXPECT_EQ(r->flags, FLAG_INFO);
        EXPECT_EQ(r->command, "(node)");
        EXPECT_FALSE(r->session_id);
    }
}

TEST(Census, CacheSparesIdleProcesses) {
    auto f = three_processes();
    ProcessCache cache;
    collect_snapshot(f, cache);
    ASSERT_TRUE(cache.slot);
    EXPECT_EQ(cache.slot->size(), 3u);  // exactly the pids with FLAG_INFO

    // Second pass: nothing changed except the argument areas.
    f.forget_calls();
    f.procs[1].args = arg_area(1, "/sbin/launchd", {"/sbin/changed"});
    f.procs[42].args = arg_area(1, "/x", {"changed"});
    Snapshot s = collect_snapshot(f, cache);
    EXPECT_EQ(find(s, 1)->command, "/sbin/launchd");  // kept from the first pass
    EXPECT_EQ(find(s, 42)->command, "node agent.js");
    EXPECT_EQ(find(s, 42)->flags, 7u);
    // pids 1 and 77 were idle with usage 0: no threads asked. pid 42 had usage: asked again.
    // pid 77's arguments were refused, so no command is cached and they are asked again.
    EXPECT_EQ(f.thread_lists, (std::vector<std::int32_t>{42}));
    EXPECT_EQ(f.arg_reads, (std::vector<std::int32_t>{77}));

    // Third pass: pid 1 used CPU time, pid 42 is a new process under the same pid.
    f.forget_calls();
    f.procs[1].info->total_user += 1;
    f.procs[42].info->start_tvusec = 78;
    s = collect_snapshot(f, cache);
    EXPECT_EQ(find(s, 1)->command, "/sbin/changed");
    EXPECT_EQ(find(s, 42)->command, "changed");
    EXPECT_FALSE(find(s, 42)->session_id);
    EXPECT_EQ(f.arg_reads, (std::vector<std::int32_t>{1, 42, 77}));

    // Then pid 1 replaces its program without using measurable CPU time: fetched again.
    f.forget_calls();
    f.procs[1].args = arg_area(2, "/bin/sleep", {"sleep", "30"});
    f.procs[1].info->image = 99;
    s = collect_snapshot(f, cache);
    EXPECT_EQ(find(s, 1)->command, "sleep 30");
    EXPECT_EQ(f.arg_reads, (std::vector<std::int32_t>{1, 77}));

    // Fourth pass: pid 42 has gone; its entry leaves the cache.
    f.pid_list = {1, 77};
    collect_snapshot(f, cache);
    EXPECT_EQ(cache.slot->size(), 2u);
    EXPECT_EQ(cache.slot->count(42), 0u);
}

// A panic inside the per-process loop leaves an empty slot: the next collection starts afresh.
TEST(Census, PanicInTheLoopEmptiesTheCache) {
    struct Exploding : FakeProcesses {
        bool explode = false;
        std::optional<TaskInfo> task_info(std::int32_t pid) override {
            if (explode && pid == 42) throw std::logic_error("boom");
            return FakeProcesses::task_info(pid);
        }
    };
    Exploding f;
    static_cast<FakeProcesses&>(f) = three_processes();
    ProcessCache cache;
    collect_snapshot(f, cache);
    f.explode = true;
    EXPECT_EQ(guarded([&] { return static_cast<std::int32_t>(collect_snapshot(f, cache).records.size()); }), -1);
    EXPECT_FALSE(cache.slot);
    f.explode = false;
    f.forget_calls();
    collect_snapshot(f, cache);
    EXPECT_EQ(f.arg_reads.size(), 3u);  // nothing was cached
}

}  // namespace
}  // namespace zelk
