// The helper's socket calls on macOS: getpeereid for the peer's uid, SO_NOSIGPIPE on every
// connection, close-on-exec set by fcntl (the system has no SOCK_CLOEXEC or accept4), and the
// socket file re-owned relative to its root-only folder, once the bound socket is found there.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

namespace zelk::helper::sys {
namespace {

void closeOnExec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

Fd openUnixStream() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    closeOnExec(fd.get());
    return fd;
}

Accepted acceptConnection(int listenFd) {
    Accepted out;
    out.conn = Fd(::accept(listenFd, nullptr, nullptr));
    if (!out.conn)
        out.error = errno;
    else
        closeOnExec(out.conn.get());
    return out;
}

void prepareConnection(int conn, std::chrono::milliseconds recvTimeout) {
    const int one = 1;
    ::setsockopt(conn, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
    setRecvTimeout(conn, recvTimeout);
}

void setRecvTimeout(int conn, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(timeout.count() / 1000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((timeout.count() % 1000) * 1000);
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::optional<std::uint32_t> peerUid(int conn) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(conn, &uid, &gid) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(uid);
}

// SO_NOSIGPIPE on the connection keeps a vanished peer from raising SIGPIPE.
void sendOnce(int conn, std::string_view bytes) { ::send(conn, bytes.data(), bytes.size(), 0); }

// macOS cannot open a socket file without connecting to it (no O_PATH), and fchownat with
// AT_SYMLINK_NOFOLLOW stops only symbolic links: a hard link or another file renamed into place
// between a check and the change would be changed. So the folder must be root's alone (checked at
// start-up), and the file is checked and changed relative to the descriptor of that folder.
std::optional<std::string> socketFolderProblem(const std::string& path) {
    std::string problem;
    if (openRootFolder(splitPath(path).folder, problem)) return std::nullopt;
    return "refused socket path " + path + ": " + problem;
}

Reowned giveSocketFile(const std::string& path, const SocketFile& bound, std::uint32_t uid) {
    const auto name = splitPath(path).name;
    struct stat st {};
    if (!bound.folder || ::fstatat(bound.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !isBoundSocket(st, bound))
        return Reowned::NotBound;
    return ::fchownat(bound.folder.get(), name.c_str(), static_cast<uid_t>(uid), 0, AT_SYMLINK_NOFOLLOW) == 0
               ? Reowned::Yes
               : Reowned::Refused;
}

}  // namespace zelk::helper::sys
