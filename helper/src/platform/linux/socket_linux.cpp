// The helper's socket calls on Linux: close-on-exec sockets, SO_PEERCRED for the peer's uid,
// MSG_NOSIGNAL in place of the SO_NOSIGPIPE option Linux lacks, and the socket file re-owned
// through a descriptor of the very inode that was checked.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

namespace zelk::helper::sys {

Fd openUnixStream() { return Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

Accepted acceptConnection(int listenFd) {
    Accepted out;
    out.conn = Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!out.conn) out.error = errno;
    return out;
}

// Linux has no SO_NOSIGPIPE: sendOnce passes MSG_NOSIGNAL instead.
void prepareConnection(int conn, std::chrono::milliseconds recvTimeout) { setRecvTimeout(conn, recvTimeout); }

void setRecvTimeout(int conn, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::optional<std::uint32_t> peerUid(int conn) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return std::nullopt;
    return static_cast<std::uint32_t>(cred.uid);
}

void sendOnce(int conn, std::string_view bytes) { ::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// O_PATH opens the socket file itself without connecting to it (O_NOFOLLOW: a symbolic link is
// opened as the link), so the inode checked is the inode changed, whatever the path names by then.
Reowned giveSocketFile(const std::string& path, const SocketFile& bound, std::uint32_t uid) {
    const Fd file(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !isBoundSocket(st, bound)) return Reowned::NotBound;
    return ::fchownat(file.get(), "", static_cast<uid_t>(uid), 0, AT_EMPTY_PATH) == 0 ? Reowned::Yes : Reowned::Refused;
}

std::optional<std::string> socketFolderProblem(const std::string&) { return std::nullopt; }

}  // namespace zelk::helper::sys
