// The helper's socket calls that are the same on every POSIX system.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>

#include "platform/helper_system.hpp"
#include "platform/posix/posix_hooks.hpp"

namespace zelk::helper::sys {

void closeFd(int fd) noexcept { ::close(fd); }

void ignoreSigpipe() { ::signal(SIGPIPE, SIG_IGN); }

// macOS's sockaddr_un: sun_len (1 byte, left 0), sun_family (1 byte), a 104-byte path (106 in
// all); Linux's: a 2-byte family and a 108-byte path, no length byte (110). Either is passed
// whole, with at most 103 path bytes, so the path field always ends in zero. An empty path would
// mean Linux's abstract namespace: the caller refuses that before binding.
//
// bind makes the file with the permission bits the umask leaves, on both systems: a umask of
// 0177 around it gives 0600 from the first moment, so no one else can connect in between and no
// chmod through the path is needed afterwards. The umask is process-wide; the helper binds during
// start-up, before its watch thread exists, and a file another thread made in that moment would
// only come out narrower.
int bindUnix(int fd, const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t n = std::min(path.size(), MAX_SOCK_PATH_BYTES);
    std::memcpy(addr.sun_path, path.data(), n);
    const auto len = static_cast<socklen_t>(sizeof addr);
    const mode_t previous = ::umask(0177);
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
    const int error = rc == 0 ? 0 : errno;
    ::umask(previous);
    return error;
}

bool listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0; }

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

bool isBoundSocket(const struct stat& st, const SocketFile& bound) {
    return S_ISSOCK(st.st_mode) && static_cast<std::uint64_t>(st.st_dev) == bound.device &&
           static_cast<std::uint64_t>(st.st_ino) == bound.inode;
}

PathParts splitPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

std::string resolveFolder(const std::string& path) {
    const auto [folder, name] = splitPath(path);
    char real[PATH_MAX];
    if (::realpath(folder.c_str(), real) == nullptr) return path;
    const std::string resolved(real);
    return (resolved == "/" ? "" : resolved) + "/" + name;
}

// Nobody but this process can make a socket file of its own user at the path; a hard link to
// some other socket of that user would show a second link. The mode may come out narrower than
// 0600 (a folder's default ACL), never wider. The folder is held open, so later changes are made
// relative to the folder the check saw.
std::optional<SocketFile> boundSocketFile(const std::string& path) {
    const auto [folderPath, name] = splitPath(path);
    Fd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 || (st.st_mode & 07777 & ~0600) != 0)
        return std::nullopt;
    return SocketFile{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), std::move(folder)};
}

void removeSocketFile(const std::string& path, const SocketFile& bound) {
    const auto name = splitPath(path).name;
    struct stat st {};
    if (::fstatat(bound.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && isBoundSocket(st, bound))
        ::unlinkat(bound.folder.get(), name.c_str(), 0);
}

std::ptrdiff_t readOnce(int conn, std::span<char> buffer) { return ::read(conn, buffer.data(), buffer.size()); }

}  // namespace zelk::helper::sys
