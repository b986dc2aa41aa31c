// The helper's socket calls on macOS: getpeereid for the peer's uid, SO_NOSIGPIPE on every
// connection, and close-on-exec set by fcntl (the system has no SOCK_CLOEXEC or accept4).
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

void closeOnExec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

void closeFd(int fd) noexcept { ::close(fd); }

void ignoreSigpipe() { ::signal(SIGPIPE, SIG_IGN); }

Fd openUnixStream() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    closeOnExec(fd.get());
    return fd;
}

// sockaddr_un here: sun_len (1 byte, left 0), sun_family (1 byte), a 104-byte path field:
// 106 bytes in all, passed whole. At most 103 path bytes, so the field always ends in zero.
int bindUnix(int fd, const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t n = std::min(path.size(), MAX_SOCK_PATH_BYTES);
    std::memcpy(addr.sun_path, path.data(), n);
    const auto len = static_cast<socklen_t>(sizeof addr);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) return 0;
    return errno;
}

bool listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0; }

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

void giveSocketFile(const std::string& path, std::uint32_t uid) {
    [[maybe_unused]] const int rc = ::chown(path.c_str(), static_cast<uid_t>(uid), 0);
}

void restrictSocketFile(const std::string& path) { ::chmod(path.c_str(), 0600); }

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
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(recvTimeout.count() / 1000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((recvTimeout.count() % 1000) * 1000);
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::optional<std::uint32_t> peerUid(int conn) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(conn, &uid, &gid) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(uid);
}

std::ptrdiff_t readOnce(int conn, std::span<char> buffer) {
    return ::read(conn, buffer.data(), buffer.size());
}

// SO_NOSIGPIPE on the connection keeps a vanished peer from raising SIGPIPE.
void sendOnce(int conn, std::string_view bytes) { ::send(conn, bytes.data(), bytes.size(), 0); }

}  // namespace zelk::helper::sys
