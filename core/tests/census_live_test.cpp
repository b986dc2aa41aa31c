// The census of this machine through the exported function, as a host sees it: the calling
// process, a child in an agent session, busy and idle children, and children that change
// without using CPU time.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "live_children.hpp"
#include "stream.hpp"
#include "zelk_core.h"

extern char** environ;

namespace zelk {
namespace {

using testing::Child;
using testing::cpu_seconds;
using testing::Spinner;
using namespace std::chrono;

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

    Spinner busy;
    ASSERT_GE(busy.pid, 0);
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

#if defined(__linux__)
// Linux only: the wiped child finds its argument area through /proc and glibc's
// program_invocation_name.
// A child that blocks until told to go, then runs `then`; the parent learns that `then` has
// happened when the child's close-on-exec descriptor closes (exec) or one byte arrives.
struct Forked : Child {
    int go = -1;
    int done = -1;
    template <class F>
    explicit Forked(F then) {
        int to_child[2], to_parent[2];
        if (::pipe(to_child) != 0 || ::pipe2(to_parent, O_CLOEXEC) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(to_child[1]);
            ::close(to_parent[0]);
            char c;
            if (::read(to_child[0], &c, 1) != 1) ::_exit(1);
            then(to_parent[1]);
            for (;;) ::pause();
        }
        ::close(to_child[0]);
        ::close(to_parent[1]);
        go = to_child[1];
        done = to_parent[0];
    }
    ~Forked() {
        ::close(go);
        ::close(done);
    }
    // Lets the child go and waits until it has acted.
    void act() {
        ASSERT_EQ(::write(go, "g", 1), 1);
        char c;
        ssize_t n;
        do n = ::read(done, &c, 1);
        while (n < 0 && errno == EINTR);
    }
};

// Processes that change while using (almost) no CPU time: the census's view of them must follow
// by the next collection.
TEST(LiveCensus, ChangesWithoutCpuTimeShowAtOnce) {
    const std::string id = "0f0e0d0c-0b0a-0908-0706-050403020100";
    const std::string session = "CLAUDE_CODE_SESSION_ID=" + id;
    // Replaces its program (same pid, same start time).
    Forked execs([&](int) {
        const char* argv[] = {"/bin/sleep", "30", nullptr};
        const char* envp[] = {session.c_str(), nullptr};
        ::execve("/bin/sleep", const_cast<char**>(argv), const_cast<char**>(envp));
        ::_exit(1);
    });
    // Drops root to another effective uid, as a daemon does once it is set up.
    const bool root = ::geteuid() == 0;
    Forked drops([&](int done) {
        if (root && ::seteuid(65534) != 0) ::_exit(1);
        ::close(done);
    });
    // Wipes its argument vector with NULs, as programs do to hide a password, before the census
    // first sees it.
    std::ifstream self_cmdline("/proc/self/cmdline");
    const std::string args((std::istreambuf_iterator<char>(self_cmdline)), std::istreambuf_iterator<char>());
    Forked wipes([&](int done) {
        std::memset(program_invocation_name, 0, args.size());
        ::close(done);
    });
    wipes.act();
    // Started with an empty argument only, and a secret in its environment.
    Child empty_args;
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);  // cat waits on a pipe that stays open
        const char* argv[] = {"", nullptr};
        const char* envp[] = {"AWS_SECRET_ACCESS_KEY=hunter2", session.c_str(), nullptr};
        ASSERT_EQ(::posix_spawn(&empty_args.pid, "/bin/cat", &fa, nullptr, const_cast<char**>(argv),
                                const_cast<char**>(envp)),
                  0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Snapshot before = take();
    ASSERT_NE(find(before, execs.pid), nullptr);
    EXPECT_NE(find(before, execs.pid)->command.find("core_live_test"), std::string::npos);
    ASSERT_NE(find(before, drops.pid), nullptr);
    EXPECT_EQ(find(before, drops.pid)->uid, ::geteuid());
    execs.act();
    drops.act();
    const Snapshot after = take();
    ::close(in[1]);

    const auto* e = find(after, execs.pid);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->command, "/bin/sleep 30");
    EXPECT_EQ(e->flags, FLAG_INFO | FLAG_ARGV | FLAG_SESSION);
    ASSERT_NE(find(after, drops.pid), nullptr);
    if (root) {
        EXPECT_EQ(find(after, drops.pid)->uid, 65534u);
    }
    for (const auto& [pid, name] : {std::pair{wipes.pid, std::string("(core_live_test)")}, {empty_args.pid, "(cat)"}}) {
        SCOPED_TRACE(name);
        const auto* r = find(after, pid);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->command, name);
        EXPECT_EQ(r->flags, FLAG_INFO);
    }
}

// An exec of the same program, as large as before, by a process that the host may not trace.
TEST(LiveCensus, AnExecSeenByAnUnprivilegedHost) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a process that an unprivileged host may not trace";
    const std::string session = "CLAUDE_CODE_SESSION_ID=0f0e0d0c-0b0a-0908-0706-050403020100";
    const char* argv[] = {"sh", "-c", "sleep 0.4; exec sh -c 'sleep 30' \"$0\"", session.c_str(), nullptr};
    Child sh;
    ASSERT_EQ(::posix_spawn(&sh.pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(::seteuid(65534), 0);  // the whole process, for two collections
    take();
    std::this_thread::sleep_for(1s);
    const Snapshot after = take();
    ASSERT_EQ(::seteuid(0), 0);
    ASSERT_NE(find(after, sh.pid), nullptr);
    EXPECT_EQ(find(after, sh.pid)->command, "sh -c sleep 30 " + session);
}

#endif

// Census figures for `pid`, each weighted by the time it stood, against the kernel's count: within 10 %.
void expect_kernel_count(pid_t pid, milliseconds spacing, int calls) {
    const auto from = steady_clock::now();
    const double cpu_from = cpu_seconds(pid);
    double sum = 0;
    for (auto last = from; calls-- > 0; last = steady_clock::now()) {
        std::this_thread::sleep_for(spacing);
        const Snapshot s = take();
        if (const auto* r = find(s, pid)) sum += r->cpu_usage * duration<double>(steady_clock::now() - last).count();
    }
    const double span = duration<double>(steady_clock::now() - from).count();
    const double kernel = (cpu_seconds(pid) - cpu_from) / span * 1000.0;
    EXPECT_NEAR(sum / span, kernel, std::max(kernel * 0.1, 25.0)) << spacing.count() << " ms apart";
}

TEST(LiveCensus, FastCallsMeasureASpinningChild) {
    Spinner busy;
    ASSERT_GE(busy.pid, 0);
    for (const auto until = steady_clock::now() + 300ms; steady_clock::now() < until;) take();
    expect_kernel_count(busy.pid, 3ms, 200);
}

// Work done in threads that live 20 ms each, one after another, counts at slow and fast calls.
TEST(LiveCensus, ThreadsThatComeAndGo) {
    Child churn;
    if ((churn.pid = ::fork()) == 0)
        for (;;) std::thread([end = steady_clock::now() + 20ms] { while (steady_clock::now() < end) {} }).join();
    take();
    expect_kernel_count(churn.pid, 1000ms, 2);
    expect_kernel_count(churn.pid, 100ms, 10);
}

}  // namespace
}  // namespace zelk
