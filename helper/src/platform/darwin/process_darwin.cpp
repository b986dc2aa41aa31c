// The helper's process calls on macOS: its own executable from dyld, the console user as the
// owner of /dev/console, file times, standard error, and the tools it runs with posix_spawn.
#include <crt_externs.h>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

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

std::uint32_t consoleUid() {
    struct stat st {};
    if (::stat("/dev/console", &st) != 0) return 0;
    return static_cast<std::uint32_t>(st.st_uid);
}

// _NSGetExecutablePath: -1 when the buffer is too small, with the size it needs stored back.
std::optional<std::string> executablePath() {
    std::uint32_t size = 1024;
    std::string buf(size, '\0');
    if (::_NSGetExecutablePath(buf.data(), &size) != 0) {
        buf.assign(size, '\0');
        if (::_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
    }
    buf.resize(buf.find('\0') == std::string::npos ? buf.size() : buf.find('\0'));
    if (buf.empty()) return std::nullopt;
    return buf;
}

std::string resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string{};
}

std::optional<FileTime> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileTime{static_cast<std::int64_t>(st.st_mtimespec.tv_sec), static_cast<std::int64_t>(st.st_mtimespec.tv_nsec)};
}

void writeStderr(std::string_view bytes) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
}

std::optional<int> spawnTool(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // Every descriptor is closed in the child (CLOEXEC_DEFAULT) except standard input, inherited,
    // and standard output and error, opened on the null device.
    SpawnActions fa;
    ::posix_spawn_file_actions_addinherit_np(&fa.actions, STDIN_FILENO);
    ::posix_spawn_file_actions_addopen(&fa.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&fa.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    SpawnAttributes sa;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&sa.attr, &defaults);
    ::posix_spawnattr_setsigmask(&sa.attr, &none);
    ::posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_CLOEXEC_DEFAULT);

    pid_t pid = 0;
    if (::posix_spawn(&pid, path.c_str(), &fa.actions, &sa.attr, argv.data(), *::_NSGetEnviron()) != 0)
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

void killChild(int pid) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace zelk::helper::sys
