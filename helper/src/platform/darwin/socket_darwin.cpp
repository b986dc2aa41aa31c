// The helper's socket calls on macOS: getpeereid for the peer's uid, SO_NOSIGPIPE on every
// connection, and close-on-exec set by fcntl (the system has no SOCK_CLOEXEC or accept4).
#include <fcntl.h>
#include <sys/socket.h>
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

}  // namespace zelk::helper::sys
