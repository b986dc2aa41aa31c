// The real zelk-helper binary on a socket in a temporary folder, run as root: start-up and its
// failures, the socket file, priorities of a real process, foreign peers, silent peers and the
// exit when its executable is touched.
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "support/daemon.hpp"
#include "support/socket_client.hpp"

namespace zelk::helper {
namespace {

using testing::ClientSocket;
using testing::Daemon;
using testing::roundTrip;
using testing::TempDir;

const std::string OK = "{\"ok\":true}\n";

// Whether this test and the helper it runs are built with a sanitizer.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
[[maybe_unused]] constexpr bool SANITIZED = true;
#else
[[maybe_unused]] constexpr bool SANITIZED = false;
#endif
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
[[maybe_unused]] constexpr bool SANITIZED = true;
#else
[[maybe_unused]] constexpr bool SANITIZED = false;
#endif

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        ASSERT_FALSE(dir_.path().empty());
    }
    std::unique_ptr<Daemon> start(const std::vector<std::string>& args, const std::string& program = ZELK_HELPER_BIN) {
        return std::make_unique<Daemon>(program, args, dir_ / "stderr.txt");
    }
    std::unique_ptr<Daemon> startServing(const std::string& program = ZELK_HELPER_BIN) {
        auto d = start({"--socket", sock_}, program);
        EXPECT_TRUE(d->waitFor("zelk-helper: listening on " + sock_ + " for console uid ")) << d->stderrText();
        return d;
    }

    TempDir dir_;
    std::string sock_ = dir_ / "helper.sock";
};

std::optional<long long> niceOf(pid_t pid) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (nice == -1 && errno != 0) return std::nullopt;
    return nice;
}

TEST_F(DaemonTest, ListensOnAFreshSocketFile) {
    auto d = startServing();
    const std::string text = d->stderrText();
    // One line, the listening line; the uid in it owns the file.
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    const auto uid = std::stoul(text.substr(text.rfind(' ') + 1));
    const auto st = testing::statOf(sock_);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISSOCK(st->st_mode));
    EXPECT_EQ(st->st_mode & 07777, 0600u);
    EXPECT_EQ(st->st_uid, uid);
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}\n"), OK);

    // A second start over the first one's socket file removes it and binds afresh.
    d.reset();  // killed: its socket file stays behind
    ASSERT_TRUE(testing::statOf(sock_));
    auto again = startServing();
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}"), OK);
    EXPECT_EQ(again->stderrText().find("failed"), std::string::npos);
}

TEST_F(DaemonTest, SetupFailuresExitWithOne) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const std::string longPath = dir_.path() + "/" + std::string(104 - dir_.path().size() - 1, 's');
    ASSERT_EQ(longPath.size(), 104u);
    const std::vector<Case> cases = {
        {{"--socket", dir_ / "no-such-folder/helper.sock"},
         "zelk-helper: bind() failed errno=" + std::to_string(ENOENT) + "\n"},
        {{"--socket", longPath}, "zelk-helper: refused socket path of 104 bytes (at most 103)\n"},
        {{"--socket", ""}, "zelk-helper: refused socket path: empty\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto d = start(c.args);
        EXPECT_EQ(d->waitExit(), 1);
        EXPECT_EQ(d->stderrText(), c.line);
    }
    EXPECT_FALSE(testing::statOf(longPath.substr(0, 103)));
}

TEST_F(DaemonTest, EaseAndRestoreARealProcess) {
    if (::access("/usr/bin/renice", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/renice";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ / "no-bus").c_str(), 1);  // no power daemon
    auto d = startServing();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    Daemon child("/bin/sleep", {"30"}, dir_ / "child-stderr.txt");
    ASSERT_TRUE(child.started());
    const std::string pid = std::to_string(child.pid());

    // Only renice exists here (no taskpolicy): one tool succeeding is success.
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ease\",\"pid\":" + pid + "}"), OK);
    EXPECT_EQ(niceOf(child.pid()), 10);
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"restore\",\"pid\":\"" + pid + "\"}"), OK);
    EXPECT_EQ(niceOf(child.pid()), 0);
    EXPECT_TRUE(d->waitFor("zelk-helper: ease pid=" + pid + " -> ok\nzelk-helper: restore pid=" + pid + " -> ok\n"));

    // Without power-profiles-daemon (Linux) nothing applies profiles, and the reply says so; a
    // Mac's power settings stay untouched.
    if (::access("/usr/bin/pmset", F_OK) == 0) return;
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"power\",\"profile\":\"default\"}"), "{\"ok\":false,\"err\":\"unsupported\"}\n");
    EXPECT_TRUE(d->waitFor("zelk-helper: power profile=default -> unsupported\n"));
}

TEST_F(DaemonTest, ForeignPeerIsUnauthorized) {
    auto d = startServing();
    // Let an unprivileged process reach the socket at all, so the helper's own check decides.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(sock_.c_str(), 0666), 0);
    const std::string before = d->stderrText();

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ClientSocket c(sock_);
        if (!c.connected()) ::_exit(3);
        c.write("{\"verb\":\"ease\",\"pid\":2}");
        const auto reply = c.readAll().value_or("<read failed>");
        [[maybe_unused]] const auto n = ::write(pipeFds[1], reply.data(), reply.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string reply;
    char buf[128];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(reply, "{\"ok\":false,\"err\":\"unauthorized\"}\n");
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}"), OK);  // still serving
    EXPECT_EQ(d->stderrText(), before + "zelk-helper: refused peer uid=65534\n");
}

#if defined(__linux__)  // prlimit of another process and /proc: Linux only
// Field `n` (1-based, as in proc(5)) of /proc/PID/stat, read after the command name.
std::optional<long long> statField(pid_t pid, int n) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    for (int i = 3; i <= n && fields >> f; ++i)
        if (i == n) return std::stoll(f);
    return std::nullopt;
}

// With no descriptor left, accept fails at once for as long as it is tried; the helper pauses
// between tries instead of spinning a core, and serves a waiting client once it can.
TEST_F(DaemonTest, NoDescriptorsLeftMeansWaitingNotSpinning) {
    if (SANITIZED) GTEST_SKIP() << "sanitizer runtimes open files of their own while checking calls";
    auto d = startServing();
    const rlimit none{1, 1024};  // only descriptor 0
    ASSERT_EQ(::prlimit(d->pid(), RLIMIT_NOFILE, &none, nullptr), 0);
    const auto cpuTicks = [&] { return statField(d->pid(), 14).value_or(0) + statField(d->pid(), 15).value_or(0); };
    const auto before = cpuTicks();
    // Linux takes the descriptor of an accept before it waits: an accept already waiting when
    // the limit fell may still serve the first client; every later accept fails with EMFILE.
    std::string replies[2];
    std::atomic<int> answered{0};
    std::thread clients([&] {
        for (auto& reply : replies) {
            reply = roundTrip(sock_, "{\"verb\":\"ping\"}");
            ++answered;
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 4) << "clock ticks spent in one second";
    EXPECT_LE(answered.load(), 1);
    const rlimit loose{1024, 1024};
    ASSERT_EQ(::prlimit(d->pid(), RLIMIT_NOFILE, &loose, nullptr), 0);
    clients.join();
    EXPECT_EQ(replies[0], OK);
    EXPECT_EQ(replies[1], OK);
}
#endif

TEST_F(DaemonTest, SilentPeerCannotHoldTheLoop) {
    auto d = startServing();
    ClientSocket silent(sock_);
    ASSERT_TRUE(silent.connected());
    const auto begin = std::chrono::steady_clock::now();
    // Queued behind the silent peer, answered once the helper gives up on it.
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}"), OK);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(2500));
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_EQ(silent.readAll(), "");
}

TEST_F(DaemonTest, TouchedExecutableEndsTheHelper) {
    const std::string copy = dir_ / "zelk-helper";
    std::filesystem::copy_file(ZELK_HELPER_BIN, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const timespec old[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), old, 0), 0);
    auto d = startServing(copy);
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}"), OK);

    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), nullptr, 0), 0);  // touch: same bytes, new time
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"ping\"}"), "");           // no reply
    EXPECT_EQ(d->waitExit(), 0);
    const std::string text = d->stderrText();
    EXPECT_TRUE(text.ends_with("\nzelk-helper: binary replaced under us (app updated) -> exiting so launchd "
                               "re-execs the new helper\n"))
        << text;
    EXPECT_FALSE(testing::statOf(sock_));
}

#ifdef __linux__
// The helper on `sock` in a mount namespace of its own, with a tmpfs on `emptied` (if any) and
// each file of `binds` mounted over its path; standard error appended to `errPath`. Exit status
// 126: no such namespace here.
pid_t startMounted(const std::string& sock, const std::string& errPath, const char* emptied,
                   const std::vector<std::pair<std::string, std::string>>& binds) {
    std::string program = ZELK_HELPER_BIN, option = "--socket", path = sock;
    char* const argv[] = {program.data(), option.data(), path.data(), nullptr};
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls from here on.
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    bool ok = err >= 0 && ::dup2(err, 2) >= 0 && ::unshare(CLONE_NEWNS) == 0 &&
              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              (!emptied || ::mount("tmpfs", emptied, "tmpfs", 0, nullptr) == 0);
    for (const auto& [file, over] : binds) ok = ok && ::mount(file.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!ok) ::_exit(126);
    ::execv(argv[0], argv);
    ::_exit(127);
}

// The helper runs in a mount namespace of its own where /run is empty (no logind seat) and
// /dev/console is a file of this test, whose owner is the console user. Before that user
// changes, the socket path is swapped for a symbolic link to a root-only file, as a console user
// may do in a folder they can write: the helper changes neither the link nor its target.
TEST_F(DaemonTest, SocketSwappedForALinkIsLeftAlone) {
    const std::string console = dir_ / "console";
    std::ofstream(console) << "";
    ASSERT_EQ(::chown(console.c_str(), 4001, 4001), 0);
    const std::string errPath = dir_ / "stderr.txt";
    const pid_t pid = startMounted(sock_, errPath, "/run", {{console, "/dev/console"}});
    ASSERT_GE(pid, 0);
    Daemon d(pid, errPath);
    if (!d.waitFor("zelk-helper: listening on " + sock_ + " for console uid 4001\n")) {
        if (d.waitExit(std::chrono::milliseconds(100)) == 126) GTEST_SKIP() << "no private mount namespace here";
        FAIL() << d.stderrText();
    }

    const std::string other = dir_ / "other.sock";  // reaches the helper once the path is swapped
    ASSERT_EQ(::link(sock_.c_str(), other.c_str()), 0);
    const std::string target = dir_ / "root-only";
    std::ofstream(target) << "secret";
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::unlink(sock_.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), sock_.c_str()), 0);

    ASSERT_EQ(::chown(console.c_str(), 4002, 4002), 0);
    EXPECT_EQ(roundTrip(other, "{\"verb\":\"ping\"}"), OK);  // the accept loop follows the change first
    EXPECT_TRUE(d.waitFor("zelk-helper: socket path " + sock_ + " no longer holds the socket bound; left alone\n"))
        << d.stderrText();
    const auto targetStat = testing::statOf(target);
    const auto linkStat = testing::statOf(sock_);
    const auto socketStat = testing::statOf(other);
    ASSERT_TRUE(targetStat && linkStat && socketStat);
    EXPECT_EQ(targetStat->st_uid, 0u);
    EXPECT_EQ(targetStat->st_mode & 07777, 0600u);
    EXPECT_TRUE(S_ISLNK(linkStat->st_mode));
    EXPECT_EQ(linkStat->st_uid, 0u);
    EXPECT_EQ(socketStat->st_uid, 4001u);
    std::cout << d.stderrText();
}
#endif

// Help, version and usage errors print and exit before anything is bound or removed; something
// other than a socket at the path is left alone and the helper does not start.
TEST_F(DaemonTest, CommandLineTouchesNothing) {
    std::ofstream(sock_) << "not a socket";
    const std::string out = dir_ / "stdout.txt";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string stdoutStart, stderrStart;
    };
    const std::vector<Case> cases = {
        {{"--help", "--socket", sock_}, 0, "usage: zelk-helper [--socket PATH]\n", ""},
        {{"--version", "--socket", sock_}, 0, "zelk-helper ", ""},
        {{"--socket", sock_, "--bogus"}, 2, "", "zelk-helper: unknown option --bogus\nusage: zelk-helper"},
        {{"--socket"}, 2, "", "zelk-helper: --socket needs a path\nusage: zelk-helper"},
        {{"--socket", dir_.path()}, 1, "", "zelk-helper: refused socket path " + dir_.path() + ": something other"},
        {{"--socket", sock_}, 1, "", "zelk-helper: refused socket path " + sock_ + ": something other than a socket"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Daemon d(ZELK_HELPER_BIN, c.args, dir_ / "stderr.txt", out);
        EXPECT_EQ(d.waitExit(), c.status);
        EXPECT_TRUE(Daemon(0, out).stderrText().starts_with(c.stdoutStart)) << Daemon(0, out).stderrText();
        EXPECT_TRUE(d.stderrText().starts_with(c.stderrStart)) << d.stderrText();
        EXPECT_EQ(c.stderrStart.empty(), d.stderrText().empty());
        EXPECT_TRUE(std::filesystem::is_regular_file(sock_));
    }
}

TEST_F(DaemonTest, StopSignalsEndCleanly) {
    // The second helper names its folder through a link, as the default path does on Debian
    // (/var/run is a link to /run): its socket file is still its own to remove.
    ASSERT_EQ(::symlink(dir_.path().c_str(), (dir_ / "linked").c_str()), 0);
    for (const int signal : {SIGTERM, SIGINT}) {
        if (signal == SIGINT) sock_ = dir_ / "linked/helper.sock";
        auto d = startServing();
        ASSERT_EQ(::kill(d->pid(), signal), 0);
        EXPECT_EQ(d->waitExit(), 0);
        EXPECT_TRUE(d->stderrText().ends_with("zelk-helper: stopped by signal " + std::to_string(signal) + "\n"));
        EXPECT_FALSE(testing::statOf(sock_));
    }
}

struct TamingTest : DaemonTest {
    std::unique_ptr<Daemon> sleeper(int nice) {
        auto p = std::make_unique<Daemon>("/bin/sleep", std::vector<std::string>{"60"}, dir_ / "sleep.err");
        EXPECT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(p->pid()), nice), 0);
        return p;
    }
    std::string request(const std::string& verb, pid_t pid) {
        return roundTrip(sock_, "{\"verb\":\"" + verb + "\",\"pid\":" + std::to_string(pid) + "}");
    }
};

// Root must not raise the priority of a process that asked for less.
TEST_F(TamingTest, EaseNeverRaisesAPriority) {
    auto d = startServing();
    for (const int nice : {10, 15, 19}) {
        auto p = sleeper(nice);
        EXPECT_EQ(request("ease", p->pid()), OK);
        EXPECT_EQ(niceOf(p->pid()), nice);
    }
}

#ifdef __linux__
int ioPriority(pid_t pid) { return static_cast<int>(::syscall(SYS_ioprio_get, 1, pid)); }

// Restore puts back what ease recorded, also after a restart of the helper, and leaves a
// process it never eased alone.
TEST_F(TamingTest, RestoreUndoesExactlyWhatEaseDid) {
    auto d = startServing();
    auto eased = sleeper(5);
    auto never = sleeper(7);
    const int bestEffort7 = (2 << 13) | 7;
    ASSERT_EQ(::syscall(SYS_ioprio_set, 1, eased->pid(), bestEffort7), 0);
    EXPECT_EQ(request("ease", eased->pid()), OK);
    EXPECT_EQ(niceOf(eased->pid()), 10);
    EXPECT_EQ(ioPriority(eased->pid()) >> 13, 3);  // idle

    d.reset();  // killed outright: the record is already on disk
    d = startServing();
    EXPECT_EQ(request("restore", eased->pid()), OK);
    EXPECT_EQ(request("restore", never->pid()), OK);
    EXPECT_EQ(niceOf(eased->pid()), 5);
    EXPECT_EQ(ioPriority(eased->pid()), bestEffort7);
    EXPECT_EQ(niceOf(never->pid()), 7);
}

// Start time in microseconds since the epoch, as the census gives it: from the boot time in
// /proc/stat, or `bootAt` when given.
std::uint64_t startUsec(pid_t pid, std::optional<std::uint64_t> bootAt = std::nullopt) {
    const std::string stat = Daemon(0, "/proc/stat").stderrText();
    const auto boot = bootAt.value_or(std::stoull(stat.substr(stat.find("btime ") + 6)));
    const std::uint64_t ticks = static_cast<std::uint64_t>(statField(pid, 22).value_or(0)),
                        tck = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
    return (boot + ticks / tck) * 1'000'000 + ticks % tck * (1'000'000 / tck);
}

// A real pid reuse: in a pid namespace of its own, the test's init starts the helper, a process
// at pid 100, and after that one has ended, another at pid 100 (ns_last_pid). A request naming
// the first by its start time must not touch the second.
TEST_F(TamingTest, ReusedPidIsGone) {
    const pid_t outer = ::fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(126);
        if (const pid_t init = ::fork(); init != 0) {
            int status = 0;
            ::waitpid(init, &status, 0);
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || ::mount("proc", "/proc", "proc", 0, nullptr) != 0)
            ::_exit(126);
        Daemon helper(ZELK_HELPER_BIN, {"--socket", sock_}, dir_ / "stderr.txt");
        // Its threads take pids too: once a ping is answered they all exist.
        const bool serving = helper.waitFor("listening on", std::chrono::seconds(20)) &&
                             roundTrip(sock_, "{\"verb\":\"ping\"}") == OK;
        const auto sleepAt100 = [] {
            std::ofstream("/proc/sys/kernel/ns_last_pid") << 99;
            return std::make_unique<Daemon>("/bin/sleep", std::vector<std::string>{"60"}, "/dev/null");
        };
        auto first = sleepAt100();
        const std::uint64_t firstStart = startUsec(first->pid());
        first.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto second = sleepAt100();
        std::ofstream report(dir_ / "report");
        report << (serving ? "" : "no helper ") << second->pid() << " ";
        for (const auto start : {firstStart, startUsec(second->pid())})
            report << roundTrip(sock_, "{\"verb\":\"ease\",\"pid\":100,\"start\":" + std::to_string(start) + "}")
                   << niceOf(100).value_or(-99) << " ";
        report.close();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(outer, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126) GTEST_SKIP() << "no private pid namespace here";
    EXPECT_EQ(Daemon(0, dir_ / "report").stderrText(), "100 {\"ok\":false,\"err\":\"gone\"}\n0 {\"ok\":true}\n10 ");
    EXPECT_NE(Daemon(0, dir_ / "stderr.txt").stderrText().find("ease pid=100 start="), std::string::npos);
}

// A process of four threads, each at a nice value and I/O priority of its own: ease lowers every
// thread, restore puts each back as it was. A kernel thread is refused.
TEST_F(TamingTest, EaseAndRestoreCoverEveryThread) {
    auto d = startServing();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 3; ++i) std::thread([] { ::pause(); }).detach();
        [[maybe_unused]] const auto n = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    Daemon process(pid, "/dev/null");
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    std::vector<pid_t> tids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) tids.push_back(std::stoi(e.path().filename()));
    ASSERT_EQ(tids.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(tids[i]), i), 0);
        ASSERT_EQ(::syscall(SYS_ioprio_set, 1, tids[i], (2 << 13) | i), 0);
    }
    EXPECT_EQ(request("ease", pid), OK);
    for (const pid_t tid : tids) EXPECT_EQ(std::pair(niceOf(tid), ioPriority(tid) >> 13), std::pair(std::optional(10LL), 3));
    EXPECT_EQ(request("restore", pid), OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(std::pair(niceOf(tids[i]), ioPriority(tids[i])), std::pair(std::optional<long long>(i), (2 << 13) | i));
    if (statField(2, 9).value_or(0) & 0x00200000) {  // kthreadd is pid 2 in this pid namespace
        EXPECT_EQ(request("ease", 2), "{\"ok\":false,\"err\":\"bad-pid\"}\n");
        EXPECT_TRUE(d->waitFor("zelk-helper: ease pid=2 -> bad-pid\n"));
    }
}

// The boot time in /proc/stat follows the wall clock. The helper sees a /proc/stat of this
// test's, whose boot time comes after more than 8 KiB of other lines; the boot time then steps by
// 7 s while the helper is down. The record is kept, and a start computed from the new boot time
// names the process.
TEST_F(TamingTest, RecordsOutliveABootTimeStep) {
    const std::string stat = dir_ / "stat", err = dir_ / "stderr.txt";
    const std::string real = Daemon(0, "/proc/stat").stderrText();
    const std::uint64_t boot = std::stoull(real.substr(real.find("btime ") + 6));
    std::string interrupts;
    for (int i = 0; i < 5000; ++i) interrupts += " 0";
    const auto serve = [&](std::uint64_t bootAt) {
        std::ofstream(stat) << "cpu  1 2 3 4\nintr" << interrupts << "\nbtime " << bootAt << "\n";
        std::filesystem::remove(err);
        auto d = std::make_unique<Daemon>(startMounted(sock_, err, nullptr, {{stat, "/proc/stat"}}), err);
        return d->waitFor("listening on") ? std::move(d) : nullptr;
    };
    auto p = sleeper(0);
    const auto ask = [&](const std::string& verb, std::uint64_t bootAt) {
        return roundTrip(sock_, "{\"verb\":\"" + verb + "\",\"pid\":" + std::to_string(p->pid()) +
                                    ",\"start\":" + std::to_string(startUsec(p->pid(), bootAt)) + "}");
    };
    auto d = serve(boot);
    if (!d) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(ask("ease", boot), OK);
    EXPECT_EQ(niceOf(p->pid()), 10);
    d = serve(boot + 7);
    ASSERT_TRUE(d);
    EXPECT_EQ(ask("restore", boot + 7), OK);
    EXPECT_EQ(niceOf(p->pid()), 0);
}

// A tool that never exits: it writes its pid to `pidFile` and sleeps.
std::string hangingTool(const TempDir& dir) {
    const std::string path = dir / "hang";
    std::ofstream(path) << "#!/bin/sh\necho $$ > " << dir / "hang.pid" << "\nexec sleep 100\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// The helper dies while its second tool runs: the record of what the first changed is on disk
// already, and the next helper restores it.
TEST_F(TamingTest, RecordWrittenBeforeTheToolsRun) {
    const std::string err = dir_ / "stderr.txt";
    Daemon d(startMounted(sock_, err, nullptr, {{hangingTool(dir_), "/usr/bin/renice"}}), err);
    if (!d.waitFor("listening on")) GTEST_SKIP() << "no private mount namespace here";
    auto p = sleeper(0);
    const int bestEffort4 = (2 << 13) | 4;
    ASSERT_EQ(::syscall(SYS_ioprio_set, 1, p->pid(), bestEffort4), 0);
    ClientSocket ease(sock_);
    ASSERT_TRUE(ease.write("{\"verb\":\"ease\",\"pid\":" + std::to_string(p->pid()) + "}"));
    Daemon hung(0, dir_ / "hang.pid");
    ASSERT_TRUE(hung.waitFor("\n", std::chrono::seconds(5)));  // the tool after ionice runs
    ::kill(d.pid(), SIGKILL);
    ::kill(std::stoi(hung.stderrText()), SIGKILL);
    EXPECT_EQ(ioPriority(p->pid()) >> 13, 3);
    auto again = startServing();
    EXPECT_EQ(request("restore", p->pid()), OK);
    EXPECT_EQ(ioPriority(p->pid()), bestEffort4);
}

// A record that only reached NAME.new, written by an older helper (start in microseconds) that
// died before its rename, is merged at start-up; a record file that is not root's alone is
// discarded with an audit line.
TEST_F(TamingTest, LeftoverRecordsMergedAndDiscardsAudited) {
    auto p = sleeper(10);
    const std::string records = sock_ + ".eased";
    std::ofstream(records + ".new") << p->pid() << " " << startUsec(p->pid()) << " 5 -\n";
    std::ofstream(records) << "\n";
    ASSERT_EQ(::chmod((records + ".new").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(records.c_str(), 0640), 0);
    auto d = startServing();
    EXPECT_TRUE(d->waitFor("zelk-helper: records discarded: helper.sock.eased: owner uid 0, mode 640\n")) << d->stderrText();
    EXPECT_EQ(request("restore", p->pid()), OK);
    EXPECT_EQ(niceOf(p->pid()), 5);
}

// A tool that hangs is killed at the request's time limit, and the reply comes well within the
// client's wait: the power-profiles tool hung, so nobody answered, which is a failure.
TEST_F(DaemonTest, HungToolAnswersFailInTime) {
    const std::string err = dir_ / "stderr.txt";
    Daemon d(startMounted(sock_, err, nullptr, {{hangingTool(dir_), "/usr/bin/powerprofilesctl"}}), err);
    if (!d.waitFor("listening on")) GTEST_SKIP() << "no private mount namespace here";
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"power\",\"profile\":\"default\"}"), "{\"ok\":false,\"err\":\"\"}\n");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
    EXPECT_TRUE(d.waitFor("zelk-helper: power profile=default -> fail\n"));
}

// `power` against a real power-profiles-daemon on a private system bus that this test starts,
// with polkitd beside it; the profile in force is read back with powerprofilesctl.
TEST_F(DaemonTest, PowerThroughPowerProfilesDaemon) {
    const std::string ctl = "/usr/bin/powerprofilesctl", ppd = "/usr/libexec/power-profiles-daemon",
                      polkitd = "/usr/lib/polkit-1/polkitd";
    for (const auto& tool : {ctl, ppd, polkitd, std::string("/usr/bin/dbus-daemon")})
        if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << tool << " (dbus, polkitd, power-profiles-daemon)";
    const std::string bus = dir_ / "bus";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);  // polkitd drops to a user of its own
    std::ofstream(dir_ / "bus.conf") << "<busconfig><type>system</type><listen>unix:path=" << bus
                                     << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                                        "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                        "</policy></busconfig>\n";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    ::setenv("UMOCKDEV_DIR", dir_.path().c_str(), 1);  // the daemon keeps its state file here, not in /var/lib
    Daemon dbus("/usr/bin/dbus-daemon", {"--nofork", "--config-file=" + dir_ / "bus.conf"}, dir_ / "dbus.err");
    // polkitd and the daemon exit at once when they find no bus, and on a loaded machine the bus
    // may take a while to listen: they start once it answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ClientSocket(bus).connected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(ClientSocket(bus).connected()) << dbus.stderrText();
    Daemon polkit(polkitd, {"--no-debug"}, dir_ / "polkit.err");
    auto daemon = std::make_unique<Daemon>(ppd, std::vector<std::string>{}, dir_ / "ppd.err");
    const auto profileNow = [&](const std::string& set = "") {
        Daemon get(ctl, set.empty() ? std::vector<std::string>{"get"} : std::vector<std::string>{"set", set},
                   dir_ / "get.err", dir_ / "get.out");
        return get.waitExit(std::chrono::seconds(10)) == 0 ? Daemon(0, dir_ / "get.out").stderrText() : "<none>";
    };
    // Ready once a change passes polkit.
    bool ready = false;
    while (!(ready = profileNow("balanced") != "<none>") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(ready) << polkit.stderrText() << daemon->stderrText();
    auto d = startServing();
    for (const auto& [profile, expected] : std::vector<std::pair<std::string, std::string>>{
             {"conserve", "power-saver"}, {"ac-boost", "performance"}, {"default", "balanced"}, {"powermode-1", "power-saver"}}) {
        EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"power\",\"profile\":\"" + profile + "\"}"), OK) << profile;
        EXPECT_EQ(profileNow(), expected + "\n") << profile;
        std::cout << "power " << profile << " -> powerprofilesctl get: " << expected << "\n";
    }
    daemon.reset();  // no daemon on the bus now
    EXPECT_EQ(roundTrip(sock_, "{\"verb\":\"power\",\"profile\":\"awake\"}"), "{\"ok\":false,\"err\":\"unsupported\"}\n");
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ::unsetenv("UMOCKDEV_DIR");
}
#endif

}  // namespace
}  // namespace zelk::helper
