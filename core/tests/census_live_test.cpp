// The census of this machine through the exported function, as a host sees it: the calling
// process, a child in an agent session, and busy and idle children.
#include <gtest/gtest.h>
#if defined(__APPLE__)
#include <libproc.h>
#include <mach/mach_time.h>
#endif
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "stream.hpp"
#include "zelk_core.h"

extern char** environ;

namespace zelk {
namespace {

Snapshot take() {
    std::uint8_t* p = nullptr;
    std::size_t n = 0;
    EXPECT_EQ(zelk_core_snapshot(&p, &n), 0);
    auto s = decode_snapshot({p, n});
    zelk_core_free(p, n);
    EXPECT_TRUE(s);
    return s ? *s : Snapshot{};
}

const ProcessRecord* find(const Snapshot& s, pid_t pid) {
    for (const auto& r : s.records)
        if (r.pid == pid) return &r;
    return nullptr;
}

// User + system CPU time of a process in seconds, as the kernel accounts it: libproc's task
// totals on macOS (in Mach time units there), /proc/PID/stat fields 14 and 15 on Linux.
double cpu_seconds(pid_t pid) {
#if defined(__APPLE__)
    proc_taskinfo info{};
    if (::proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info)) return 0;
    mach_timebase_info_data_t base{};
    ::mach_timebase_info(&base);
    return static_cast<double>(info.pti_total_user + info.pti_total_system) * base.numer / base.denom / 1e9;
#else
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int k = 3; k <= 15 && fields >> f; ++k)
        if (k >= 14) ticks += std::stod(f);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
#endif
}

// A child process killed and reaped when the guard goes.
struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

TEST(LiveCensus, NullOutputsAndTheCallingProcess) {
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(0x1);
    std::size_t n = 99;
    EXPECT_EQ(zelk_core_snapshot(nullptr, &n), -3);
    EXPECT_EQ(zelk_core_snapshot(&p, nullptr), -3);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(p, reinterpret_cast<std::uint8_t*>(0x1));

    const Snapshot s = take();
    EXPECT_GT(s.mem_total, 0u);
    EXPECT_GT(s.wall_sec, 0);
    EXPECT_EQ(find(s, 0), nullptr);
    const auto* self = find(s, ::getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->flags & (FLAG_INFO | FLAG_ARGV), FLAG_INFO | FLAG_ARGV);
    EXPECT_EQ(self->ppid, static_cast<std::uint32_t>(::getppid()));
    EXPECT_EQ(self->uid, ::geteuid());
    EXPECT_NE(self->command.find("core_live_test"), std::string::npos);
    EXPECT_GT(self->resident_bytes, 0u);
    EXPECT_GT(self->start_sec, 0u);
    for (const auto& r : s.records)
        for (unsigned char c : r.command) ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << r.pid;
}

TEST(LiveCensus, AgentSessionAndCpuUsage) {
    const std::string id = "0f0e0d0c-0b0a-0908-0706-05040302ABcd";
    std::string var = "CLAUDE_CODE_SESSION_ID=" + id;
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("30"), nullptr};
    char* envp[] = {const_cast<char*>("PATH=/bin:/usr/bin"), var.data(), nullptr};
    Child agent;
    ASSERT_EQ(::posix_spawn(&agent.pid, "/bin/sleep", nullptr, nullptr, argv, envp), 0);

    Child busy;
    busy.pid = ::fork();
    ASSERT_GE(busy.pid, 0);
    if (busy.pid == 0) {
        volatile unsigned long spins = 0;
        for (;;) spins = spins + 1u;
    }
    Child idle;
    idle.pid = ::fork();
    ASSERT_GE(idle.pid, 0);
    if (idle.pid == 0) {
        ::pause();
        ::_exit(0);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Snapshot first = take();
    const double busy_from = cpu_seconds(busy.pid);
    const auto wall_from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Snapshot second = take();
    const double busy_share = (cpu_seconds(busy.pid) - busy_from) /
                              std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_from).count();

    const auto* a = find(second, agent.pid);
    ASSERT_NE(a, nullptr);
#if defined(__APPLE__)
    // macOS leaves the environment of Apple's own binaries out of their argument area.
    EXPECT_EQ(a->flags, FLAG_INFO | FLAG_ARGV);
    EXPECT_FALSE(a->session_id);
#else
    EXPECT_EQ(a->flags, FLAG_INFO | FLAG_ARGV | FLAG_SESSION);
    ASSERT_TRUE(a->session_id);
    EXPECT_EQ(std::string(a->session_id->begin(), a->session_id->end()), id);
#endif
    EXPECT_EQ(a->command, "/bin/sleep 30");  // the environment stays out of the command

    // The spinning child gets a full processor unless the machine is loaded; either way its
    // figure must follow the CPU time the kernel gave it over the window.
    const auto* b = find(second, busy.pid);
    ASSERT_NE(b, nullptr);
    EXPECT_NEAR(b->cpu_usage, busy_share * 1000.0, 200.0);
    if (busy_share > 0.7) {
        EXPECT_GT(b->cpu_usage, 500u);
    }
    const auto* i = find(second, idle.pid);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->cpu_usage, 0u);
    (void)first;
}

}  // namespace
}  // namespace zelk
