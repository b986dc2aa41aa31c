// What the process census asks of the kernel: the pid list, per-process task information,
// thread usage figures, the raw argument area and an identity re-check. One source object
// serves one collection; the live one is opened per collection by open_live_processes().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace zelk {

// The fields of proc_taskallinfo that the census reads.
struct TaskInfo {
    std::uint32_t ppid = 0;
    std::uint32_t uid = 0;                // effective uid
    std::array<char, 16> comm{};          // short name, NUL-padded, not always NUL-ended
    std::uint32_t tdev = 0xFFFFFFFFu;     // controlling terminal, 0xFFFFFFFF for none
    std::int32_t nice = 0;
    std::uint64_t start_tvsec = 0;
    std::uint64_t start_tvusec = 0;
    std::uint64_t resident_size = 0;      // bytes
    std::uint64_t total_user = 0;         // CPU time in the platform's unit; only compared
    std::uint64_t total_system = 0;
    std::int32_t threadnum = 0;
    // A value that moves when the process replaces its program (exec) even if it used no
    // measurable CPU time doing so; only compared. 0 where CPU time alone shows it.
    std::uint64_t image = 0;
    // The full task information was refused (the process belongs to another user): only ppid,
    // uid, comm, tdev, nice and the start time are filled, from the process table.
    bool refused = false;
};

struct StartTime {
    std::uint64_t tvsec = 0;
    std::uint64_t tvusec = 0;
};

// A reading of the clock that TaskInfo's CPU totals count in, and how many of its units make the
// shortest usage window (100 ms).
struct TotalsClock {
    std::uint64_t now = 0;
    std::uint64_t window = 0;
};

struct WallTime {
    std::int64_t sec = 0;
    std::uint32_t usec = 0;
};

class ProcessSource {
public:
    virtual ~ProcessSource() = default;

    virtual std::uint64_t monotonic_ns() = 0;            // stopwatch
    virtual WallTime wall_clock() = 0;                   // gettimeofday
    virtual std::optional<std::uint64_t> mem_size() = 0;  // HW_MEMSIZE; nullopt when unreadable
    virtual int pid_count_estimate() = 0;                // proc_listallpids(NULL, 0); may be negative
    virtual int list_pids(std::span<std::int32_t> pids) = 0;  // pids stored, never more than fit; < 1 on error
    virtual std::optional<int> arg_max() = 0;            // KERN_ARGMAX

    // Called with the process cache locked, right before and right after the per-process loop
    // of a collection (loops never overlap). A source that keeps measuring state between
    // collections orders and prunes it here.
    virtual void begin_process_loop() {}
    virtual void end_process_loop() {}

    // PROC_PIDTASKALLINFO: nullopt when the process is gone or not readable; `refused` set when
    // it exists but only its process-table entry may be read.
    virtual std::optional<TaskInfo> task_info(std::int32_t pid) = 0;
    // PROC_PIDLISTTHREADS: bytes stored into `ids` (8 per thread), 0 or less on failure.
    virtual int list_threads(std::int32_t pid, std::span<std::uint64_t> ids) = 0;
    // PROC_PIDTHREADINFO: pth_cpu_usage (1000 = one busy processor), nullopt on failure.
    virtual std::optional<std::int32_t> thread_usage(std::int32_t pid, std::uint64_t thread_id) = 0;
    // The usage of the whole process (1000 = one busy processor), asked right after its task
    // information, from a source that measures processes rather than threads: the census then
    // lists no thread. nullopt (macOS): see totals_clock.
    virtual std::optional<std::uint32_t> process_usage(std::int32_t) { return std::nullopt; }
    // For a source without process_usage whose CPU totals count every thread the process has
    // had (macOS: mach_absolute_time, the unit of pti_total_user and pti_total_system): the
    // clock of those totals, read now. The census then measures each process over windows of its
    // totals, and sums its threads' figures only where it has no window yet. nullopt: no such
    // clock; the census always sums the threads.
    virtual std::optional<TotalsClock> totals_clock() { return std::nullopt; }
    // KERN_PROCARGS2 into `area`: 0 and `size` set to the bytes stored, or an error.
    virtual int proc_args(std::int32_t pid, std::span<std::uint8_t> area, std::size_t& size) = 0;
    // PROC_PIDTBSDINFO's start time, for the identity re-check; nullopt on failure.
    virtual std::optional<StartTime> bsd_start(std::int32_t pid) = 0;
};

// The running system's source for one collection.
std::unique_ptr<ProcessSource> open_live_processes();

}  // namespace zelk
