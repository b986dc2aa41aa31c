// The helper's own files on every POSIX system: what a path names, root's folders opened without
// following a link, and the record file written beside the socket, atomically and only through
// the folder's descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

constexpr std::size_t MAX_RECORD_FILE_BYTES = 256 * 1024;

class FolderRecordFile final : public RecordStore {
public:
    FolderRecordFile(Fd folder, std::string name) : folder_(std::move(folder)), name_(std::move(name)) {}

    std::optional<std::string> load() override {
        const Fd file(::openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        struct stat st {};
        // Anything but a regular file of root's that only root may change is not ours: ignored,
        // and replaced at the next write.
        if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
            (st.st_mode & 077) != 0 || st.st_size < 0 || static_cast<std::size_t>(st.st_size) > MAX_RECORD_FILE_BYTES)
            return std::nullopt;
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
        return text;
    }

    bool save(std::string_view text) override {
        const std::string temp = name_ + ".new";
        ::unlinkat(folder_.get(), temp.c_str(), 0);  // left by a write that did not finish
        const Fd file(::openat(folder_.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) return false;
        bool ok = true;
        for (std::size_t done = 0; ok && done < text.size();) {
            const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(file.get()) == 0 &&
             ::renameat(folder_.get(), temp.c_str(), folder_.get(), name_.c_str()) == 0;
        if (!ok) ::unlinkat(folder_.get(), temp.c_str(), 0);
        return ok;
    }

private:
    Fd folder_;
    std::string name_;
};

}  // namespace

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Other;
    return S_ISSOCK(st.st_mode) ? PathKind::Socket : PathKind::Other;
}

Fd openRootFolder(const std::string& path, std::string& problem) {
    Fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0) {
        problem = "cannot open folder " + path + ": " + std::strerror(errno);
        return Fd();
    }
    // Group write is root's alone when the group is wheel or root (0) or daemon (1), whose only
    // member is root: macOS shows /private/var/run, where the socket lives, as root:daemon 0775.
    const bool groupIsRoot = st.st_gid == 0 || st.st_gid == 1;
    if (st.st_uid != 0 || (st.st_mode & 002) != 0 || ((st.st_mode & 020) != 0 && !groupIsRoot)) {
        problem = "folder " + path + " is not root's alone (owner uid " + std::to_string(st.st_uid) + ", mode " +
                  std::to_string((st.st_mode >> 6) & 7) + std::to_string((st.st_mode >> 3) & 7) +
                  std::to_string(st.st_mode & 7) + ", group gid " + std::to_string(st.st_gid) + ")";
        return Fd();
    }
    return folder;
}

std::unique_ptr<RecordStore> recordFile(Fd folder, std::string name) {
    return std::make_unique<FolderRecordFile>(std::move(folder), std::move(name));
}

}  // namespace zelk::helper::sys
