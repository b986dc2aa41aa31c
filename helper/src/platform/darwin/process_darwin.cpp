// The helper's process calls on macOS: its own executable from dyld, the console user as the
// owner of /dev/console, file times, and what its tools get from posix_spawn here.
#include <crt_externs.h>
#include <mach-o/dyld.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

namespace zelk::helper::sys {

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

std::optional<FileTime> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileTime{static_cast<std::int64_t>(st.st_mtimespec.tv_sec), static_cast<std::int64_t>(st.st_mtimespec.tv_nsec)};
}

// Every descriptor is closed in the child (CLOEXEC_DEFAULT) except standard input, inherited,
// and standard output and error, opened on the null device.
void addSpawnFileActions(posix_spawn_file_actions_t& actions) {
    ::posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
}

short extraSpawnFlags() { return POSIX_SPAWN_CLOEXEC_DEFAULT; }

char** spawnEnvironment() { return *::_NSGetEnviron(); }

}  // namespace zelk::helper::sys
