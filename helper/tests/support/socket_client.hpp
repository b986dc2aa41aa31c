// A test client of the helper's socket: connect, write one request, read until the helper
// closes; with a receive timeout so a hung helper fails the test instead of stalling it.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

namespace zelk::helper::testing {

class ClientSocket {
public:
    explicit ClientSocket(const std::string& path, int timeoutSeconds = 10) {
#ifdef SOCK_CLOEXEC
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else  // macOS: no SOCK_CLOEXEC
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd_ >= 0) ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
#endif
        if (fd_ < 0) return;
        timeval tv{timeoutSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ClientSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool write(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Everything until the end of the stream; nullopt on a timeout or another read error.
    // When the helper closes without having read all we sent (a refused peer, a replaced
    // executable, an oversized request), the kernel ends our stream with ECONNRESET after
    // whatever it did send: that too is the end.
    std::optional<std::string> readAll() {
        std::string out;
        char buf[256];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return out;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::nullopt;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// One whole exchange, waiting for the reply as long as the reference client does (30 s);
// "<no connection>" when connect fails.
inline std::string roundTrip(const std::string& path, const std::string& request) {
    ClientSocket c(path, 30);
    if (!c.connected()) return "<no connection>";
    c.write(request);
    return c.readAll().value_or("<read failed>");
}

inline std::optional<struct stat> statOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/zelk-helper-test-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace zelk::helper::testing
