// The helper's process calls on Linux: its own executable through /proc/self/exe, file times,
// and what its tools get from posix_spawn here.
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

extern char** environ;

namespace zelk::helper::sys {
namespace {

constexpr std::string_view DELETED_SUFFIX = " (deleted)";

}  // namespace

// readlink gives no terminator; an executable unlinked since start shows " (deleted)", and a
// path that no longer exists cannot be watched.
std::optional<std::string> executablePath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    std::string path(buf, static_cast<std::size_t>(n));
    if (path.size() >= DELETED_SUFFIX.size() && path.ends_with(DELETED_SUFFIX)) return std::string{};
    return path;
}

std::optional<FileTime> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileTime{static_cast<std::int64_t>(st.st_mtim.tv_sec), static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

// The tool gets no descriptor of the helper's beyond standard input, output and error.
void addSpawnFileActions(posix_spawn_file_actions_t& actions) {
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

short extraSpawnFlags() { return 0; }

char** spawnEnvironment() { return environ; }

}  // namespace zelk::helper::sys
