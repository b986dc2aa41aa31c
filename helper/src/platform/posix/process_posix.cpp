// The helper's process calls that are the same on every POSIX system: running a tool with
// posix_spawn and an argument vector (never a shell), waiting for it, standard error, paths, and
// the stop signals taken by one waiting thread.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

namespace zelk::helper::sys {
namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};
struct SpawnAttributes {
    posix_spawnattr_t attr{};
    SpawnAttributes() { ::posix_spawnattr_init(&attr); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

}  // namespace

std::string resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string{};
}

void writeStderr(std::string_view bytes) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
}

void writeStdout(std::string_view bytes) {
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
}

std::optional<int> spawnTool(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    SpawnActions fa;
    ::posix_spawn_file_actions_addopen(&fa.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&fa.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    addSpawnFileActions(fa.actions);

    // The helper ignores SIGPIPE, and an ignored signal survives exec: give the tool the default.
    SpawnAttributes sa;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&sa.attr, &defaults);
    ::posix_spawnattr_setsigmask(&sa.attr, &none);
    ::posix_spawnattr_setflags(&sa.attr,
                               static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | extraSpawnFlags()));

    pid_t pid = 0;
    // A missing or unrunnable tool is reported here (glibc 2.24 and later, and macOS).
    if (::posix_spawn(&pid, path.c_str(), &fa.actions, &sa.attr, argv.data(), spawnEnvironment()) != 0)
        return std::nullopt;
    return static_cast<int>(pid);
}

ChildState pollChild(int pid) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return ChildState::Running;
    if (r < 0) return ChildState::Failed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildState::ExitedZero : ChildState::Failed;
}

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitStopSignal() {
    const sigset_t set = stopSignals();
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {
    }
    return signal;
}

void killChild(int pid) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace zelk::helper::sys
