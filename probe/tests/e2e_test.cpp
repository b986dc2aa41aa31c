// The built vintrel, run as the host runs it: a child process whose standard output is a pipe.
// Exit status 0 on every path, standard error always empty, and the watch loop ending by
// itself when its reader or its parent goes away.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <chrono>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
            ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
};

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

pid_t spawnProbe(std::vector<std::string> args, Pipe& out, Pipe& err) {
    args.insert(args.begin(), VINTREL_PATH);
    auto argv = argvOf(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, VINTREL_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    out.closeWrite();
    err.closeWrite();
    return rc == 0 ? pid : -1;
}

// Reads up to and including the next line feed, waiting at most `timeout`.
std::string readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    char c = 0;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        if (::read(fd, &c, 1) != 1) break;
        line += c;
        if (c == '\n') break;
    }
    return line;
}

std::string readAll(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

// Waits for `pid` to end, at most `timeout`; the wait status, or nullopt (the child is then killed).
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (Clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

bool exitedZero(std::optional<int> status) { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0; }

const std::regex SHORT_LINE(R"(\{"mic_active": (true|false)\}\n)");
const std::regex APPS_LINE(R"(\{"mic_active": (true|false), "apps": \[.*\]\}\n)");

TEST(Binary, OneShotLines) {
    const struct {
        std::vector<std::string> args;
        const std::regex* line;
    } cases[] = {
        {{}, &SHORT_LINE},
        {{"--pids", "412"}, &SHORT_LINE},
        {{"--apps"}, &APPS_LINE},
        {{"--apps", "--pids", ""}, &APPS_LINE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(no arguments)" : c.args[0]);
        Pipe out, err;
        const pid_t pid = spawnProbe(c.args, out, err);
        ASSERT_GT(pid, 0);
        const std::string output = readAll(out.read);
        EXPECT_TRUE(exitedZero(waitFor(pid, std::chrono::seconds(5))));
        EXPECT_TRUE(std::regex_match(output, *c.line)) << output;
        EXPECT_EQ(readAll(err.read), "");
    }
}

TEST(Binary, WatchEndsWhenTheReaderClosesThePipe) {
    Pipe out, err;
    const pid_t pid = spawnProbe({"--watch", "1", "--apps"}, out, err);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(std::regex_match(readLine(out.read, std::chrono::seconds(3)), APPS_LINE));
    out.closeRead();
    const auto closed = Clock::now();
    const auto status = waitFor(pid, std::chrono::seconds(4));
    const auto took = Clock::now() - closed;
    ASSERT_TRUE(status.has_value()) << "still running after 4 s";
    EXPECT_FALSE(WIFSIGNALED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_TRUE(exitedZero(status));
    EXPECT_LE(took, std::chrono::seconds(2)) << "more than two intervals";
    EXPECT_EQ(readAll(err.read), "");
}

#ifdef __linux__
// The probe's parent is killed; this test process, a subreaper, inherits it, so the probe's
// parent id changes to neither its old value nor 1, as under systemd --user or tmux. With an
// interval of 1 second, and with one so long (1e308, inf) that it only ends with the parent.
class WatchInterval : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Binary, WatchInterval, ::testing::Values("1", "1e308", "inf"));

TEST_P(WatchInterval, WatchEndsWhenTheParentGoes) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Pipe out, err, control;
    std::vector<std::string> args{VINTREL_PATH, "--watch", GetParam()};
    auto argv = argvOf(args);
    const pid_t middle = ::fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        // Only async-signal-safe calls from here on.
        const pid_t probe = ::fork();
        if (probe == 0) {
            ::dup2(out.write, 1);
            ::dup2(err.write, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        (void)!::write(control.write, &probe, sizeof probe);
        for (;;) ::pause();
    }
    out.closeWrite();
    err.closeWrite();
    control.closeWrite();
    pid_t probe = -1;
    ASSERT_EQ(::read(control.read, &probe, sizeof probe), static_cast<ssize_t>(sizeof probe));
    ASSERT_GT(probe, 0);
    EXPECT_TRUE(std::regex_match(readLine(out.read, std::chrono::seconds(3)), APPS_LINE));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the probe is asleep by now

    ::kill(middle, SIGKILL);
    ::waitpid(middle, nullptr, 0);
    const auto killed = Clock::now();
    const auto status = waitFor(probe, std::chrono::seconds(4));
    const auto took = Clock::now() - killed;
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_TRUE(status.has_value()) << "still running after 4 s";
    EXPECT_TRUE(exitedZero(status));
    EXPECT_LE(took, std::chrono::seconds(2)) << "more than two seconds";
    std::cout << "    --watch " << GetParam() << ": exited "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms after its parent\n";
    // Whatever came after the first line is whole lines: the tick that noticed wrote its line
    // first (unless the kill came before the first tick's own check).
    const std::string rest = readAll(out.read);
    EXPECT_TRUE(rest.empty() || std::regex_match(rest, APPS_LINE)) << rest;
    EXPECT_EQ(readAll(err.read), "");
}
#endif

}  // namespace
