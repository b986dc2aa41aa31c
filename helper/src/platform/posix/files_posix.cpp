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

// Room for every record with many threads each (MAX_RECORDED_TASKS of about 20 bytes).
constexpr std::size_t MAX_RECORD_FILE_BYTES = 4 * 1024 * 1024;

std::string octalMode(mode_t mode) {
    return std::to_string((mode >> 6) & 7) + std::to_string((mode >> 3) & 7) + std::to_string(mode & 7);
}

class FolderRecordFile final : public RecordStore {
public:
    FolderRecordFile(Fd folder, std::string name) : folder_(std::move(folder)), name_(std::move(name)) {}

    // The file, then what a write that did not reach its rename left in NAME.new: records written
    // before their tools ran, which the file may not hold yet.
    StoredRecords load() override {
        StoredRecords out;
        for (const std::string& name : {name_, name_ + ".new"}) {
            std::string problem;
            if (auto text = readFile(name, problem)) out.text += *text;
            if (!problem.empty()) out.problems.push_back(name + ": " + problem);
        }
        return out;
    }

    std::string save(std::string_view text) override {
        const std::string temp = name_ + ".new";
        ::unlinkat(folder_.get(), temp.c_str(), 0);  // left by a write that did not finish, and read at start-up
        const Fd file(::openat(folder_.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) return temp + ": " + std::strerror(errno);
        int error = 0;
        for (std::size_t done = 0; error == 0 && done < text.size();) {
            const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) done += static_cast<std::size_t>(n);
            else error = n < 0 ? errno : EIO;
        }
        if (error == 0 && ::fsync(file.get()) != 0) error = errno;
        if (error == 0 && ::renameat(folder_.get(), temp.c_str(), folder_.get(), name_.c_str()) != 0) error = errno;
        if (error == 0) return {};
        ::unlinkat(folder_.get(), temp.c_str(), 0);
        return temp + ": " + std::strerror(error);
    }

private:
    // Anything but a regular file of root's that only root may change is not ours: ignored (with
    // the reason in `problem`), and replaced at the next write. nullopt also when there is none.
    std::optional<std::string> readFile(const std::string& name, std::string& problem) {
        const Fd file(::openat(folder_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!file) {
            if (errno != ENOENT) problem = std::strerror(errno);
            return std::nullopt;
        }
        struct stat st {};
        if (::fstat(file.get(), &st) != 0) problem = std::strerror(errno);
        else if (!S_ISREG(st.st_mode)) problem = "not a regular file";
        else if (st.st_uid != 0 || (st.st_mode & 077) != 0)
            problem = "owner uid " + std::to_string(st.st_uid) + ", mode " + octalMode(st.st_mode);
        else if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > MAX_RECORD_FILE_BYTES)
            problem = std::to_string(st.st_size) + " bytes (at most " + std::to_string(MAX_RECORD_FILE_BYTES) + ")";
        if (!problem.empty()) return std::nullopt;
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) problem = std::strerror(errno);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (!problem.empty()) return std::nullopt;
        text.resize(got);
        return text;
    }

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
                  octalMode(st.st_mode) + ", group gid " + std::to_string(st.st_gid) + ")";
        return Fd();
    }
    return folder;
}

std::unique_ptr<RecordStore> recordFile(Fd folder, std::string name) {
    return std::make_unique<FolderRecordFile>(std::move(folder), std::move(name));
}

}  // namespace zelk::helper::sys
