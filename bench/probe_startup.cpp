// Startup of the built vintrel: from spawning it, as the host does (standard output a pipe),
// to reading its first complete line; 100 runs, median and spread in milliseconds.
// Usage: probe_startup [--runs N] [VINTREL [ARGS...]]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// One run: the time to the first line feed, or a negative value when the run failed.
double timeOneRun(std::vector<char*>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    const auto start = std::chrono::steady_clock::now();
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    double ms = -1;
    if (rc == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
            if (std::find(buf, buf + n, '\n') != buf + n) {
                ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                break;
            }
        }
    }
    ::close(fds[0]);  // a watching probe ends at its next write
    if (rc == 0) ::waitpid(pid, nullptr, 0);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 100;
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--runs") {
        runs = std::max(1, std::atoi(argv[i + 1]));
        i += 2;
    }
    std::vector<std::string> args;
    for (; i < argc; ++i) args.emplace_back(argv[i]);
    if (args.empty()) args.emplace_back(VINTREL_PATH);
    std::vector<char*> child;
    for (auto& a : args) child.push_back(a.data());
    child.push_back(nullptr);

    timeOneRun(child);  // warm the page cache
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        const double t = timeOneRun(child);
        if (t < 0) {
            std::fprintf(stderr, "probe_startup: run %d of %s gave no line\n", r + 1, child[0]);
            return 1;
        }
        ms.push_back(t);
    }
    std::sort(ms.begin(), ms.end());
    const std::size_t n = ms.size();
    const double median = n % 2 == 1 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    const double p90 = ms[(n * 9 + 9) / 10 - 1];  // nearest rank
    std::printf("%s: %d runs, time to first line: median %.3f ms, min %.3f, p90 %.3f, max %.3f\n", child[0], runs,
                median, ms.front(), p90, ms.back());
    return 0;
}
