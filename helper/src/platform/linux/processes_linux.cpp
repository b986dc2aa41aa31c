// Another process as ease and restore see it on Linux: its start from /proc, in clock ticks since
// boot and as the census computes it, its threads, the nice value and I/O priority of each, and a
// pidfd that tells whether the process checked is still the one there after the tools ran.
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

constexpr int IOPRIO_WHO_PROCESS = 1;
// The flag of a kernel thread in /proc/PID/stat's field 9 (PF_KTHREAD, include/linux/sched.h).
constexpr std::uint64_t PF_KTHREAD = 0x00200000;

// The whole file: /proc/stat grows with the processors and interrupts, far past one page.
std::optional<std::string> readWhole(const std::string& path) {
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    std::string text;
    std::array<char, 16384> buf;
    for (;;) {
        const ssize_t n = ::read(file.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(buf.data(), static_cast<std::size_t>(n));
    }
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return v;
}

// /proc/stat's "btime SECONDS" line: the boot time in whole seconds of the wall clock.
std::optional<std::uint64_t> bootSeconds() {
    const auto text = readWhole("/proc/stat");
    if (!text) return std::nullopt;
    const auto at = text->find("\nbtime ");
    if (at == std::string::npos) return std::nullopt;
    const auto begin = at + 7;
    return number(std::string_view(*text).substr(begin, text->find('\n', begin) - begin));
}

// /proc/PID/stat: "PID (COMM) S PPID ..."; the command may hold spaces and parentheses, so the
// fields are counted from the last ')'. Field `wanted` (3 or more, as proc(5) counts) as a number.
std::optional<std::uint64_t> statField(std::int32_t pid, int wanted) {
    const auto text = readWhole("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    const auto close = text->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*text).substr(close + 1);
    for (int field = 3; field <= wanted; ++field) {
        const auto begin = rest.find_first_not_of(' ');
        if (begin == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(begin);
        const auto end = rest.find(' ');
        if (field == wanted) return number(rest.substr(0, std::min(end, rest.find('\n'))));
        if (end == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

// Field 22: the start in clock ticks since boot, which no change of the wall clock moves.
std::optional<std::uint64_t> startTicks(std::int32_t pid) { return statField(pid, 22); }

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The pidfd refers to the process itself, not its number: it becomes readable when that process
// exits, and its number cannot go to another process before then.
class PidfdPin final : public ProcessPin {
public:
    explicit PidfdPin(Fd pidfd) : pidfd_(std::move(pidfd)) {}
    bool stillThere() override {
        pollfd p{pidfd_.get(), POLLIN, 0};
        int rc;
        do rc = ::poll(&p, 1, 0);
        while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

private:
    Fd pidfd_;
};

class ProcProcesses final : public ProcessControl {
public:
    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
        if (!pidfd) return nullptr;
        return std::make_unique<PidfdPin>(std::move(pidfd));
    }

    // From the boot time as /proc/stat gives it now: the kernel derives it from the wall clock,
    // and a host's census computes start times from the same figure.
    std::optional<std::uint64_t> startUsec(std::int32_t pid) override {
        const auto ticks = startTicks(pid);
        const auto boot = bootSeconds();
        if (!ticks || !boot) return std::nullopt;
        const auto tck = static_cast<std::uint64_t>(ticksPerSecond());
        return (*boot + *ticks / tck) * 1'000'000 + (*ticks % tck) * (1'000'000 / tck);
    }

    std::optional<std::uint64_t> startKey(std::int32_t pid) override { return startTicks(pid); }

    bool kernelThread(std::int32_t pid) override {
        const auto flags = statField(pid, 9);
        return flags && (*flags & PF_KTHREAD) != 0;
    }

    // /proc/PID/task: one entry per thread; nice and I/O priority belong to each thread.
    std::vector<std::int32_t> tasks(std::int32_t pid) override {
        std::vector<std::int32_t> out;
        const std::unique_ptr<DIR, DirCloser> dir(::opendir(("/proc/" + std::to_string(pid) + "/task").c_str()));
        if (!dir) return out;
        while (const dirent* entry = ::readdir(dir.get())) {
            std::int32_t tid = 0;
            const std::string_view name(entry->d_name);
            const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), tid);
            if (ec == std::errc{} && end == name.data() + name.size() && tid > 0) out.push_back(tid);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // Of one thread: PRIO_PROCESS with a thread id acts on that thread alone.
    std::optional<int> nice(std::int32_t pid) override {
        errno = 0;
        const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
        if (value == -1 && errno != 0) return std::nullopt;
        return value;
    }

    std::optional<int> background(std::int32_t pid) override {
        const long value = ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, static_cast<pid_t>(pid));
        if (value < 0) return std::nullopt;
        return static_cast<int>(value);
    }

    std::uint64_t startGranularityUsec() const override {
        return 1'000'000 / static_cast<std::uint64_t>(ticksPerSecond());
    }

private:
    static long ticksPerSecond() {
        static const long tck = [] {
            const long t = ::sysconf(_SC_CLK_TCK);
            return t > 0 && t <= 1'000'000 ? t : 100;
        }();
        return tck;
    }
};

}  // namespace

System thisSystem() { return System::Linux; }

std::unique_ptr<ProcessControl> liveProcesses() { return std::make_unique<ProcProcesses>(); }

}  // namespace zelk::helper::sys
