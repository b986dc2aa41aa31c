// macOS process source: libproc and sysctl, reading the kernel's structures by field name.
#include <libproc.h>
#include <mach/mach_time.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "../processes.hpp"

namespace zelk {
namespace {

class LibprocSource final : public ProcessSource {
public:
    std::uint64_t monotonic_ns() override {
        timespec ts{};
        ::clock_gettime(CLOCK_UPTIME_RAW, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
    }

    WallTime wall_clock() override {
        timeval tv{};
        ::gettimeofday(&tv, nullptr);
        return {static_cast<std::int64_t>(tv.tv_sec), static_cast<std::uint32_t>(tv.tv_usec)};
    }

    std::optional<std::uint64_t> mem_size() override {
        int mib[2] = {CTL_HW, HW_MEMSIZE};
        std::uint64_t value = 0;
        std::size_t len = sizeof value;
        if (::sysctl(mib, 2, &value, &len, nullptr, 0) != 0) return std::nullopt;
        return value;
    }

    int pid_count_estimate() override { return ::proc_listallpids(nullptr, 0); }

    int list_pids(std::span<std::int32_t> pids) override {
        const std::size_t bytes = std::min<std::size_t>(pids.size_bytes(), INT32_MAX);
        return ::proc_listallpids(pids.data(), static_cast<int>(bytes));
    }

    std::optional<int> arg_max() override {
        int mib[2] = {CTL_KERN, KERN_ARGMAX};
        int value = 0;
        std::size_t len = sizeof value;
        if (::sysctl(mib, 2, &value, &len, nullptr, 0) != 0) return std::nullopt;
        return value;
    }

    std::optional<TaskInfo> task_info(std::int32_t pid) override {
        proc_taskallinfo ti{};
        errno = 0;
        if (::proc_pidinfo(pid, PROC_PIDTASKALLINFO, 0, &ti, sizeof ti) != static_cast<int>(sizeof ti))
            return errno == EPERM ? process_table_entry(pid) : std::nullopt;
        TaskInfo info;
        info.ppid = ti.pbsd.pbi_ppid;
        info.uid = ti.pbsd.pbi_uid;
        static_assert(sizeof ti.pbsd.pbi_comm >= sizeof info.comm);
        std::memcpy(info.comm.data(), ti.pbsd.pbi_comm, info.comm.size());
        info.tdev = static_cast<std::uint32_t>(ti.pbsd.e_tdev);
        info.nice = ti.pbsd.pbi_nice;
        info.start_tvsec = ti.pbsd.pbi_start_tvsec;
        info.start_tvusec = ti.pbsd.pbi_start_tvusec;
        info.resident_size = ti.ptinfo.pti_resident_size;
        info.total_user = ti.ptinfo.pti_total_user;
        info.total_system = ti.ptinfo.pti_total_system;
        info.threadnum = ti.ptinfo.pti_threadnum;
        return info;
    }

    int list_threads(std::int32_t pid, std::span<std::uint64_t> ids) override {
        const std::size_t bytes = std::min<std::size_t>(ids.size_bytes(), INT32_MAX);
        return ::proc_pidinfo(pid, PROC_PIDLISTTHREADS, 0, ids.data(), static_cast<int>(bytes));
    }

    // pti_total_user and pti_total_system count in Mach absolute-time units and include the
    // threads that have ended: proc_pidinfo(PROC_PIDTASKALLINFO) fills them in fill_taskprocinfo
    // (xnu osfmk/kern/bsd_kern.c) from recount_task_times, the task's lifetime track, whose
    // rm_time_mach is stamped with mach_absolute_time (on arm64 ml_get_speculative_timebase, the
    // same counter: osfmk/kern/recount.c, osfmk/arm64/machine_routines.c). A window of 100 ms is
    // converted once with mach_timebase_info (SDK mach/mach_time.h): ns = units * numer / denom.
    std::optional<TotalsClock> totals_clock() override {
        static const std::uint64_t window = [] {
            mach_timebase_info_data_t tb{};
            if (::mach_timebase_info(&tb) != KERN_SUCCESS || tb.numer == 0 || tb.denom == 0) tb = {1, 1};
            return std::max<std::uint64_t>(100'000'000ull * tb.denom / tb.numer, 1);
        }();
        return TotalsClock{::mach_absolute_time(), window};
    }

    // pth_cpu_usage: the scheduler's decayed estimate for one live thread (thread_info's
    // cpu_usage, copied in fill_taskthreadinfo, osfmk/kern/bsd_kern.c), scaled by TH_USAGE_SCALE
    // (SDK mach/thread_info.h): the census sums it only at a process's first sight.
    std::optional<std::int32_t> thread_usage(std::int32_t pid, std::uint64_t thread_id) override {
        proc_threadinfo th{};
        if (::proc_pidinfo(pid, PROC_PIDTHREADINFO, thread_id, &th, sizeof th) != static_cast<int>(sizeof th))
            return std::nullopt;
        return th.pth_cpu_usage;
    }

    int proc_args(std::int32_t pid, std::span<std::uint8_t> area, std::size_t& size) override {
        int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
        size = area.size();
        if (::sysctl(mib, 3, area.data(), &size, nullptr, 0) != 0) return errno != 0 ? errno : EIO;
        return 0;
    }

    // A process whose task information is refused (another user's, for a host that is not
    // root) still has its process-table entry, which any user may read. nullopt when that read
    // fails too or finds no process: it has gone.
    static std::optional<TaskInfo> process_table_entry(std::int32_t pid) {
        int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
        kinfo_proc kp{};
        std::size_t len = sizeof kp;
        if (::sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len != sizeof kp || kp.kp_proc.p_pid != pid)
            return std::nullopt;
        TaskInfo info;
        info.refused = true;
        info.ppid = static_cast<std::uint32_t>(kp.kp_eproc.e_ppid);
        info.uid = kp.kp_eproc.e_ucred.cr_uid;
        static_assert(sizeof kp.kp_proc.p_comm >= sizeof info.comm);
        std::memcpy(info.comm.data(), kp.kp_proc.p_comm, info.comm.size());
        info.tdev = static_cast<std::uint32_t>(kp.kp_eproc.e_tdev);
        info.nice = kp.kp_proc.p_nice;
        info.start_tvsec = static_cast<std::uint64_t>(kp.kp_proc.p_starttime.tv_sec);
        info.start_tvusec = static_cast<std::uint64_t>(kp.kp_proc.p_starttime.tv_usec);
        return info;
    }

    std::optional<StartTime> bsd_start(std::int32_t pid) override {
        proc_bsdinfo bi{};
        if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bi, sizeof bi) != static_cast<int>(sizeof bi))
            return std::nullopt;
        return StartTime{bi.pbi_start_tvsec, bi.pbi_start_tvusec};
    }
};

}  // namespace

std::unique_ptr<ProcessSource> open_live_processes() { return std::make_unique<LibprocSource>(); }

}  // namespace zelk
