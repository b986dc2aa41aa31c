// Agent runs over recorded censuses: who inherits a run from an ancestor, two runs side by
// side, and a parent pid that a later process reused.
#include <gtest/gtest.h>

#include "runs.hpp"
#include "series.hpp"

namespace zelk::tool {
namespace {

const char* const A = "aaaaaaaa-0000-0000-0000-000000000001";
const char* const B = "bbbbbbbb-0000-0000-0000-000000000002";

ProcessRecord rec(std::int32_t pid, std::uint32_t ppid, std::uint64_t start_sec, std::uint32_t cpu, const char* command,
                  const char* session = nullptr) {
    ProcessRecord r;
    r.pid = pid;
    r.ppid = ppid;
    r.flags = FLAG_INFO | FLAG_ARGV;
    r.cpu_usage = cpu;
    r.resident_bytes = static_cast<std::uint64_t>(pid) * 1024;
    r.start_sec = start_sec;
    r.command = command;
    if (session) {
        r.flags |= FLAG_SESSION;
        SessionId id;
        std::copy_n(session, id.size(), id.begin());
        r.session_id = id;
    }
    return r;
}

ProcessRecord placeholder(std::int32_t pid) {
    ProcessRecord r;
    r.pid = pid;
    return r;
}

std::vector<std::int32_t> pids(const Snapshot& s, const std::vector<std::size_t>& members) {
    std::vector<std::int32_t> out;
    for (const auto i : members) out.push_back(s.records[i].pid);
    return out;
}

TEST(Runs, ChildrenWithoutTheIdInheritItFromTheirNearestAncestor) {
    Snapshot s;
    s.wall_sec = 2000;
    s.records = {
        rec(1, 0, 100, 0, "/sbin/init"),
        rec(50, 1, 900, 20, "node agent"),                     // the agent: no id of its own
        rec(60, 50, 1000, 10, "/bin/bash -c make", A),         // the id is set here
        rec(70, 60, 1001, 0, "make"),                          // environment hidden: inherited
        rec(80, 70, 1002, 900, "cc -c big.c"),                 // two levels down: inherited
        rec(90, 1, 1003, 300, "unrelated"),
        placeholder(95),                                       // unreadable: never in a run
    };
    const auto runs = group_runs(s);
    ASSERT_EQ(runs.size(), 1u);
    const auto& run = runs[0];
    EXPECT_EQ(run.session, A);
    EXPECT_EQ(pids(s, run.direct), (std::vector<std::int32_t>{60}));
    EXPECT_EQ(pids(s, run.inherited), (std::vector<std::int32_t>{70, 80}));
    EXPECT_EQ(s.records[run.root].pid, 60);
    EXPECT_EQ(s.records[run.busiest].pid, 80);
    EXPECT_EQ(run.cpu_usage, 910u);
    EXPECT_EQ(run.resident_bytes, (60u + 70u + 80u) * 1024u);
    EXPECT_EQ(run.start_sec, 1000u);

    // GPU time by the pid in each client's creator text; other processes' clients stay out.
    const std::vector<GpuClient> clients = {
        {"pid 80, cc", 1, 5000}, {"pid 80, cc", 2, 7}, {"pid 90, unrelated", 3, 100}, {"WindowServer", 4, 9}};
    EXPECT_EQ(run_gpu_time(s, run, gpu_time_by_pid(clients)), 5007u);
}

TEST(Runs, TwoRunsEachProcessInTheNearestOne) {
    Snapshot s;
    s.records = {
        rec(10, 1, 100, 5, "zsh -c agent-one", A),
        rec(11, 10, 101, 5, "git status"),
        rec(12, 10, 102, 0, "zsh -c agent-two", B),  // a run started inside another
        rec(13, 12, 103, 400, "cargo build"),        // nearest ancestor with an id is 12
        rec(20, 1, 104, 50, "python tool.py", A),    // a second root of run A
    };
    const auto runs = group_runs(s);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].session, B);  // busiest first
    EXPECT_EQ(pids(s, runs[0].direct), (std::vector<std::int32_t>{12}));
    EXPECT_EQ(pids(s, runs[0].inherited), (std::vector<std::int32_t>{13}));
    EXPECT_EQ(runs[0].cpu_usage, 400u);
    EXPECT_EQ(runs[1].session, A);
    EXPECT_EQ(pids(s, runs[1].direct), (std::vector<std::int32_t>{10, 20}));
    EXPECT_EQ(pids(s, runs[1].inherited), (std::vector<std::int32_t>{11}));
    EXPECT_EQ(s.records[runs[1].root].pid, 10);
    EXPECT_EQ(runs[1].cpu_usage, 60u);
}

TEST(Runs, AReusedParentPidStartedAfterTheChildIsNoAncestor) {
    Snapshot s;
    s.records = {
        rec(300, 200, 1000, 0, "orphan, its parent gone"),
        rec(200, 1, 1005, 0, "a later process that got pid 200", A),
        rec(400, 200, 1006, 0, "a real child of the later process"),
    };
    const auto runs = group_runs(s);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(pids(s, runs[0].direct), (std::vector<std::int32_t>{200}));
    EXPECT_EQ(pids(s, runs[0].inherited), (std::vector<std::int32_t>{400}));
}

// The exporter's interface counters: macOS's 32-bit figures wrap, a 64-bit one that goes back
// was reset; the widened counter goes on growing either way.
TEST(Series, WidenedCountersNeverGoBackwards) {
    WidenedCounter wraps(32);
    EXPECT_EQ(wraps.update(0xFFFFFF00u), 0xFFFFFF00u);
    EXPECT_EQ(wraps.update(0x10u), 0x100000010u);  // 0x110 bytes across the wrap
    EXPECT_EQ(wraps.update(0x20u), 0x100000020u);
    WidenedCounter resets(64);
    EXPECT_EQ(resets.update(5000), 5000u);
    EXPECT_EQ(resets.update(300), 5300u);  // the interface was made again: 300 new bytes
}

TEST(Series, LabelsAreCutWithinTheBoundOnACharacter) {
    EXPECT_EQ(bounded_label("short", 10), "short");
    EXPECT_EQ(bounded_label(std::string(300, 'a'), 128).size(), 128u);
    // "é" is two bytes: a cut never leaves half of it.
    const std::string cut = bounded_label("aaaaaa\xc3\xa9zzzz", 10);
    EXPECT_EQ(cut, "aaaaaa...");
}

}  // namespace
}  // namespace zelk::tool
