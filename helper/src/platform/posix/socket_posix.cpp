// The helper's socket calls that are the same on every POSIX system.
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

// macOS's sockaddr_un: sun_len (1 byte, left 0), sun_family (1 byte), a 104-byte path (106 in
// all); Linux's: a 2-byte family and a 108-byte path, no length byte (110). Either is passed
// whole, with at most 103 path bytes, so the path field always ends in zero. An empty path would
// mean Linux's abstract namespace: the caller refuses that before binding.
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

std::ptrdiff_t readOnce(int conn, std::span<char> buffer) { return ::read(conn, buffer.data(), buffer.size()); }

}  // namespace zelk::helper::sys
