// Linux process source: /proc read through one directory descriptor per collection, with the
// argument area assembled in the KERN_PROCARGS2 layout and each process's CPU usage computed
// from deltas of its CPU clock between collections.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "../owned.hpp"
#include "../processes.hpp"
#include "../../usage_windows.hpp"
#include "procfs_source.hpp"
#include "procfs_parse.hpp"

namespace zelk {
namespace {

using Fd = Owned<int, ::close, -1>;

constexpr std::uint64_t kMinWindowNs = 100'000'000;  // shorter windows reuse the last figure
constexpr std::size_t kStatBytes = 2048;
// The kernel's ceiling for argv + envp (three quarters of the 8 MiB stack limit), plus room
// for the executable path and the argument count.
constexpr int kArgMax = 6 * 1024 * 1024 + PATH_MAX + 8;

std::uint64_t mono_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Reads a file below `dir` with one read (the kernel generates these files whole); -1 when it
// can't be opened or read.
ssize_t read_into(int dir, const char* path, std::span<std::uint8_t> out) {
    Fd fd(::openat(dir, path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    ssize_t n;
    do n = ::read(fd.get(), out.data(), out.size());
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t read_at(int dir, const char* path, char* buf, std::size_t cap) {
    return read_into(dir, path, {reinterpret_cast<std::uint8_t*>(buf), cap});
}

// "<pid>/<leaf>", relative to the /proc descriptor.
class ProcPath {
public:
    ProcPath(std::uint64_t pid, const char* leaf) { append(pid).append(leaf); }
    const char* c_str() const { return text_.data(); }

private:
    ProcPath& append(std::uint64_t n) {
        len_ = static_cast<std::size_t>(std::to_chars(text_.data() + len_, text_.data() + 24 + len_, n).ptr - text_.data());
        text_[len_++] = '/';
        return *this;
    }
    ProcPath& append(const char* s) {
        const std::size_t n = std::strlen(s);
        std::memcpy(text_.data() + len_, s, n);
        len_ += n;
        text_[len_] = 0;
        return *this;
    }
    std::array<char, 96> text_;  // always NUL-ended by the constructors
    std::size_t len_ = 0;
};

// Linux has no instantaneous usage figure: one is computed over windows of the process's CPU
// clock, in nanoseconds of the monotonic clock.
UsageWindows& windows() {
    static UsageWindows w;
    return w;
}

// Boot time in whole seconds of the wall clock, from the "btime" line of /proc/stat (read whole:
// its per-processor lines make it long on a large machine); 0 when unreadable. The kernel
// derives that line from the wall clock at each read, so a clock step moves it: it is read once
// per collection, and every start time of that collection counts from it.
std::uint64_t boot_time(int proc) {
    std::vector<char> text(16384);
    std::size_t used = 0;
    Fd fd(::openat(proc, "stat", O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    return parse_btime(std::string_view(text.data(), used));
}

// Whether the pids in /proc are those of this process's pid namespace, which the process CPU
// clocks address: a /proc mounted for another namespace (as after unshare without a new /proc)
// numbers processes otherwise. Checked once per library lifetime.
bool proc_pids_are_ours(int proc) {
    static const bool ours = [proc] {
        std::array<char, 16> buf{};
        const ssize_t n = ::readlinkat(proc, "self", buf.data(), buf.size() - 1);
        return n > 0 && parse_pid_name(buf.data()) == ::getpid();
    }();
    return ours;
}

// Builds the KERN_PROCARGS2 layout from the exe link, cmdline and environ.
int assemble_procargs(int proc, std::uint64_t pid, std::span<std::uint8_t> area, std::size_t& size) {
    // [argc i32][executable path][NUL][arguments, NUL-ended][environment, NUL-ended][NUL]
    if (area.size() < 8) return ENOMEM;
    std::size_t pos = 4;
    const ssize_t exe = ::readlinkat(proc, ProcPath(pid, "exe").c_str(), reinterpret_cast<char*>(area.data() + pos),
                                     std::min<std::size_t>(PATH_MAX, area.size() - pos - 2));
    if (exe > 0) pos += static_cast<std::size_t>(exe);
    area[pos++] = 0;

    const std::size_t args_at = pos;
    const ssize_t got = read_into(proc, ProcPath(pid, "cmdline").c_str(), area.subspan(pos, area.size() - pos - 1));
    if (got <= 0) return ESRCH;  // gone, hidden (hidepid), or nothing: kernel thread, zombie, exiting
    const auto args = finish_cmdline(area.subspan(args_at, static_cast<std::size_t>(got) + 1),
                                     static_cast<std::size_t>(got));
    if (args.count == 0) return ENOENT;  // wiped or empty arguments: no command, never the environment
    pos = args_at + args.length;

    if (pos + 1 < area.size()) {
        // The environment needs ptrace access; when it is refused the arguments still stand.
        const ssize_t env = read_into(proc, ProcPath(pid, "environ").c_str(), area.subspan(pos, area.size() - pos - 1));
        if (env > 0) {
            pos += static_cast<std::size_t>(env);
            if (area[pos - 1] != 0) area[pos++] = 0;
        }
    }
    if (pos < area.size()) area[pos++] = 0;  // the empty string that ends the environment
    const auto argc = static_cast<std::int32_t>(args.count);
    std::memcpy(area.data(), &argc, 4);
    size = pos;
    return 0;
}

class ProcfsSource final : public ProcessSource {
public:
    // `clocks`: whether the process CPU clocks may be asked for the pids of `proc`.
    ProcfsSource(Fd proc, bool clocks)
        : proc_(std::move(proc)),
          clock_ticks_(std::max<long>(::sysconf(_SC_CLK_TCK), 1)),
          page_size_(std::max<long>(::sysconf(_SC_PAGESIZE), 1)),
          boot_sec_(proc_ ? boot_time(proc_.get()) : 0),
          clocks_(clocks && proc_ && proc_pids_are_ours(proc_.get())) {}

    void begin_process_loop() override { gen_ = windows().begin_loop(kMinWindowNs); }
    void end_process_loop() override { windows().end_loop(gen_); }

    std::uint64_t monotonic_ns() override { return mono_ns(); }

    WallTime wall_clock() override {
        timeval tv{};
        ::gettimeofday(&tv, nullptr);
        return {static_cast<std::int64_t>(tv.tv_sec), static_cast<std::uint32_t>(tv.tv_usec)};
    }

    std::optional<std::uint64_t> mem_size() override {
        struct sysinfo si{};
        if (::sysinfo(&si) != 0) return std::nullopt;
        return static_cast<std::uint64_t>(si.totalram) * std::max<std::uint64_t>(si.mem_unit, 1);
    }

    int pid_count_estimate() override {
        struct sysinfo si{};
        return ::sysinfo(&si) == 0 ? static_cast<int>(si.procs) : -1;
    }

    int list_pids(std::span<std::int32_t> pids) override {
        if (!proc_ || ::lseek(proc_.get(), 0, SEEK_SET) != 0) return -1;
        std::size_t count = 0;
        alignas(8) std::array<char, 32768> buf;
        for (;;) {
            const ssize_t n = ::getdents64(proc_.get(), buf.data(), buf.size());
            if (n < 0) return -1;
            if (n == 0) break;
            std::size_t off = 0;
            while (off + offsetof(dirent64, d_name) < static_cast<std::size_t>(n)) {
                const auto* d = reinterpret_cast<const dirent64*>(buf.data() + off);
                if (d->d_reclen == 0) return -1;
                const auto pid = parse_pid_name(d->d_name);
                if (pid > 0) {
                    if (count == pids.size()) return static_cast<int>(count);  // full: maybe cut
                    pids[count++] = pid;
                }
                off += d->d_reclen;
            }
        }
        return static_cast<int>(count);
    }

    std::optional<int> arg_max() override { return kArgMax; }

    std::optional<TaskInfo> task_info(std::int32_t pid) override {
        cur_pid_ = pid;
        cur_kthread_ = false;
        const auto stat = read_stat(pid);
        if (!stat) return std::nullopt;
        cur_kthread_ = stat->kernel_thread;
        const std::uint64_t cpu_total = stat->utime_ticks + stat->stime_ticks;

        TaskInfo info;
        cur_total_ = cpu_total;
        windows().note_task(pid, stat->start_ticks, cpu_total, mono_ns(), gen_);
        // The effective uid, read at every collection: a process can change it without using a
        // measurable amount of CPU time. The /proc/PID directory shows it even for tasks that
        // are not dumpable (as after a change of uid), whose files inside all read as root.
        // Kernel threads always run as root.
        if (!stat->kernel_thread) {
            struct stat st{};
            if (::fstatat(proc_.get(), ProcPath(static_cast<std::uint64_t>(pid), "").c_str(), &st, 0) != 0)
                return std::nullopt;  // reaped since the stat read
            info.uid = st.st_uid;
        }
        info.ppid = stat->ppid;
        info.comm = stat->comm;
        info.tdev = stat->tty_nr == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(stat->tty_nr);
        info.nice = stat->nice;
        const auto start = start_of(stat->start_ticks);
        info.start_tvsec = start.tvsec;
        info.start_tvusec = start.tvusec;
        info.resident_size = stat->rss_pages * static_cast<std::uint64_t>(page_size_);
        info.total_user = stat->utime_ticks;
        info.total_system = stat->stime_ticks;
        info.threadnum = stat->num_threads;
        info.image = stat->image;
        return info;
    }

    // The whole process is measured at once (process_usage): there is no per-thread figure.
    int list_threads(std::int32_t, std::span<std::uint64_t>) override { return 0; }
    std::optional<std::int32_t> thread_usage(std::int32_t, std::uint64_t) override { return std::nullopt; }

    // The process's CPU clock: the run time of all its threads, live and exited, in nanoseconds,
    // which any user may read (the same total as utime + stime in its stat line, without their
    // rounding to clock ticks). Where the clocks don't address the pids of /proc, that stat
    // total serves, in whole ticks. A figure is a delta, so at a process's first sight it is 0.
    std::optional<std::uint32_t> process_usage(std::int32_t pid) override {
        // MAKE_PROCESS_CPUCLOCK(pid, CPUCLOCK_SCHED) of the kernel's posix-timers.h, as glibc's
        // clock_getcpuclockid builds it (without its extra clock_getres call).
        const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(pid) << 3) | 2u);
        timespec ts{};
        std::uint64_t cpu_ns = 0;
        if (clocks_ && ::clock_gettime(clock, &ts) == 0)
            cpu_ns = static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
        else if (!clocks_ && pid == cur_pid_)
            cpu_ns = cur_total_ * (1'000'000'000u / static_cast<std::uint64_t>(clock_ticks_));
        else
            return 0;  // gone since its task information was read
        return windows().figure(pid, cpu_ns, mono_ns()).value_or(0);
    }

    // Paths go through /proc/PID, so a pid reused since the task information read could be
    // read here; the census's identity re-check (bsd_start) catches that.
    int proc_args(std::int32_t pid, std::span<std::uint8_t> area, std::size_t& size) override {
        if (pid == cur_pid_ && cur_kthread_) return ESRCH;  // kernel threads have no argument area
        if (!proc_) return ESRCH;
        return assemble_procargs(proc_.get(), static_cast<std::uint64_t>(pid), area, size);
    }

    std::optional<StartTime> bsd_start(std::int32_t pid) override {
        const auto stat = read_stat(pid);
        if (!stat) return std::nullopt;
        return start_of(stat->start_ticks);
    }

private:
    std::optional<ProcStat> read_stat(std::int32_t pid) {
        if (!proc_) return std::nullopt;
        std::array<char, kStatBytes> buf;
        const ssize_t n = read_at(proc_.get(), ProcPath(static_cast<std::uint64_t>(pid), "stat").c_str(), buf.data(), buf.size());
        if (n <= 0) return std::nullopt;
        return parse_proc_stat(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    }

    StartTime start_of(std::uint64_t ticks) const {
        const auto tck = static_cast<std::uint64_t>(clock_ticks_);
        return {boot_sec_ + ticks / tck, (ticks % tck) * (1'000'000 / tck)};
    }

    Fd proc_;
    long clock_ticks_;
    long page_size_;
    std::uint64_t boot_sec_;
    std::uint64_t gen_ = 0;
    bool clocks_;  // the process CPU clocks address the pids of /proc
    std::int32_t cur_pid_ = 0;
    std::uint64_t cur_total_ = 0;  // the CPU total of cur_pid_'s stat line, in clock ticks
    bool cur_kthread_ = false;
};

}  // namespace

std::unique_ptr<ProcessSource> open_live_processes() {
    return std::make_unique<ProcfsSource>(Fd(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), true);
}

std::unique_ptr<ProcessSource> open_procfs_at(int dir) {
    return std::make_unique<ProcfsSource>(Fd(::fcntl(dir, F_DUPFD_CLOEXEC, 0)), false);
}

}  // namespace zelk
