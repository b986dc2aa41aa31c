// The small set of operating-system calls the helper's logic stands on. Each has a macOS source
// (platform/darwin) and a Linux one (platform/linux); plain values cross, never a platform type.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/helper_owned.hpp"
#include "profiles.hpp"
#include "taming.hpp"

namespace zelk::helper::sys {

void closeFd(int fd) noexcept;
using Fd = Owned<int, closeFd, -1>;

// The bound address carries at most this many path bytes; the byte after them is always zero.
inline constexpr std::size_t MAX_SOCK_PATH_BYTES = 103;

// Writes to a vanished peer must not end the process.
void ignoreSigpipe();

// A Unix-domain stream socket (close-on-exec), or an empty Fd when the kernel refuses one.
Fd openUnixStream();

// Binds `fd` to the zero-filled platform address holding the first MAX_SOCK_PATH_BYTES bytes of
// `path`, passing the size of the whole address structure; the socket file is made with mode
// 0600, never wider. Returns 0, or the errno of the failure.
int bindUnix(int fd, const std::string& path);

bool listenOn(int fd, int backlog);

struct PathParts {
    std::string folder;  // "." for a bare name
    std::string name;
};
// The folder and the last part of `path`.
PathParts splitPath(const std::string& path);

// `path` with its folder part resolved to the folder's real path (symbolic links followed, as
// /var/run is a link to /run on Debian), so that the folder can then be opened without following
// a link; `path` as it is when the folder cannot be resolved (bind reports that).
std::string resolveFolder(const std::string& path);

enum class PathKind { Missing, Socket, Other };
// What `path` itself names (a symbolic link is Other).
PathKind pathKind(const std::string& path);

// unlink of a leftover socket file; the result is ignored by design.
void removeFile(const std::string& path);

// Why the folder of the socket path cannot hold the socket, or nullopt. macOS: it must be a
// folder (not a link) that openRootFolder accepts, so that the file the helper re-owns cannot
// be swapped. Linux: always nullopt (the file is re-owned through a descriptor
// of itself).
std::optional<std::string> socketFolderProblem(const std::string& path);

// The socket file a bind made, as lstat saw it right after: before the helper changes anything
// through the path, the path must still name this inode. `folder`: its folder, where the system
// changes the file relative to it (macOS).
struct SocketFile {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    Fd folder;
};

// What `path` holds right after bindUnix made it: a socket of this process's user, with no
// permission beyond 0600 and one link; nullopt when the path holds anything else by then.
std::optional<SocketFile> boundSocketFile(const std::string& path);

enum class Reowned { Yes, NotBound, Refused };
// chown(uid, group 0) of the socket file, never through a symbolic link, and only while `path`
// still names the socket `bound`: NotBound, and nothing changed, when it does not; Refused when
// the chown itself failed.
Reowned giveSocketFile(const std::string& path, const SocketFile& bound, std::uint32_t uid);

// unlink of `path` while it still names the socket `bound`; otherwise nothing.
void removeSocketFile(const std::string& path, const SocketFile& bound);

struct Accepted {
    Fd conn;        // empty on failure
    int error = 0;  // errno of a failed accept
};
Accepted acceptConnection(int listenFd);

// On an accepted connection: no SIGPIPE from its sends, and reads that give up after `recvTimeout`.
void prepareConnection(int conn, std::chrono::milliseconds recvTimeout);

// The peer's effective uid as the kernel recorded it at connect time; nullopt when unreadable.
std::optional<std::uint32_t> peerUid(int conn);

// One read (0 or less: nothing arrived: closed, failed or timed out) and one send (result ignored).
std::ptrdiff_t readOnce(int conn, std::span<char> buffer);
void sendOnce(int conn, std::string_view bytes);

// Who sits at the console: the owner of "/dev/console" (0 when stat fails); on Linux the active
// user of seat0 first.
std::uint32_t consoleUid();

// The running executable's path as the system reports it: nullopt when it reports none, an empty
// text when it reports one that can no longer be watched.
std::optional<std::string> executablePath();

// `path` made absolute with symbolic links resolved; empty when that fails.
std::string resolvedPath(const std::string& path);

struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
};
// The modification time of `path` (stat, following links); nullopt when stat fails.
std::optional<FileTime> modificationTime(const std::string& path);

// One write of all the bytes to standard error (output); a failure is not reported.
void writeStderr(std::string_view bytes);
void writeStdout(std::string_view bytes);

// Starts `path` with `args` (after the program name) through posix_spawn, never a shell, with
// standard output and error on /dev/null, standard input, the environment and the working
// directory the helper's own, and every other descriptor closed. nullopt: it could not start.
std::optional<int> spawnTool(const std::string& path, const std::vector<std::string>& args);

enum class ChildState { Running, ExitedZero, Failed };
// Whether a spawned child has ended, without waiting; a finished child is reaped. Failed covers a
// non-zero status, a signal and a child that cannot be waited for.
ChildState pollChild(int pid);

// Kills a spawned child that is still running and reaps it.
void killChild(int pid);

// The type of each power source of the machine (macOS: IOKit's "Type" of each, such as
// "InternalBattery" or "UPS"); nullopt when the system cannot say (and on Linux).
std::optional<std::vector<std::string>> powerSourceTypes();

// The system whose tools the helper runs.
System thisSystem();

// The kernel's view of other processes, for ease and restore.
std::unique_ptr<ProcessControl> liveProcesses();

// `path` opened as a folder (O_DIRECTORY, and O_NOFOLLOW: its last part is no link) that belongs
// to root and that no one else may write: not others, and its group only when that is gid 0
// (root, wheel) or 1 (daemon), whose only member is root. Otherwise empty, with the reason in
// `problem`.
Fd openRootFolder(const std::string& path, std::string& problem);

// The record file `name` in `folder`, never through a link: read only when it is a regular file
// of root's, at most 0600, together with a `name`.new that a write left before its rename;
// written to `name`.new, synced, and renamed over it, so a reader sees the old file or the new
// one, whole.
std::unique_ptr<RecordStore> recordFile(Fd folder, std::string name);

// SIGTERM and SIGINT blocked in the calling thread and the threads it starts afterwards; the
// tools get an empty mask.
void blockStopSignals();
// Waits for SIGTERM or SIGINT (blocked by blockStopSignals) and returns it.
int waitStopSignal();

}  // namespace zelk::helper::sys
