// The helper's socket calls on Linux: close-on-exec sockets, SO_PEERCRED for the peer's uid and
// MSG_NOSIGNAL in place of the SO_NOSIGPIPE option Linux lacks.
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

void closeFd(int fd) noexcept { ::close(fd); }

void ignoreSigpipe() { ::signal(SIGPIPE, SIG_IGN); }

Fd openUnixStream() { return Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

// sockaddr_un here: a 2-byte family and a 108-byte path field, no length byte (110 bytes). The
// path keeps the 103-byte rule of the macOS layout; the rest of the field stays zero, so an
// empty path would mean the abstract namespace: the caller refuses that before binding.
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
    out.conn = Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!out.conn) out.error = errno;
    return out;
}

void prepareConnection(int conn, std::chrono::milliseconds recvTimeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(recvTimeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((recvTimeout.count() % 1000) * 1000);
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::optional<std::uint32_t> peerUid(int conn) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return std::nullopt;
    return static_cast<std::uint32_t>(cred.uid);
}

std::ptrdiff_t readOnce(int conn, std::span<char> buffer) {
    return ::read(conn, buffer.data(), buffer.size());
}

void sendOnce(int conn, std::string_view bytes) { ::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

}  // namespace zelk::helper::sys
