// The process census: one record per process with its ids, memory, start time, CPU usage,
// command text and agent session id, and the zelk_core_snapshot export.
#include "macos.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "bytes.hpp"
#include "frame.hpp"
#include "lib.hpp"
#include "procargs.hpp"

namespace zelk {
namespace {

constexpr int kMinPidCapacity = 64;
constexpr int kPidSlack = 256;
constexpr int kPidAttempts = 8;
constexpr std::size_t kDefaultArgMax = 1048576;
constexpr std::size_t kInitialThreadIds = 256;
constexpr std::size_t kThreadSlack = 32;

// The pid list: capacities C, 2C, ... 128C until one is not filled (a full array may be cut).
std::vector<std::int32_t> read_pids(ProcessSource& source) {
    const int estimate = source.pid_count_estimate();
    const std::size_t first = static_cast<std::size_t>(std::max(estimate, kMinPidCapacity)) + kPidSlack;
    for (int attempt = 0; attempt < kPidAttempts; ++attempt) {
        std::vector<std::int32_t> pids(first << attempt, 0);
        const int n = source.list_pids(pids);
        if (n < 1) throw MeasurementFailed("the pid list could not be read");
        if (static_cast<std::size_t>(n) < pids.size()) {
            pids.resize(static_cast<std::size_t>(n));
            return pids;
        }
    }
    throw MeasurementFailed("the pid list kept growing");
}

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint32_t>::max() : sum;
}

// Buffers allocated once per collection and reused for every process.
struct Scratch {
    // Left uninitialised: only the bytes the kernel reports are read, and clearing the kernel's
    // limit of megabytes (which calloc does for a block reused from the heap) would cost more
    // than the census of a thousand idle processes.
    std::unique_ptr<std::uint8_t[]> procargs;
    std::size_t procargs_size = 0;
    std::vector<std::uint64_t> thread_ids;
};

std::uint32_t thread_usage_sum(ProcessSource& source, std::int32_t pid, const TaskInfo& info, Scratch& scratch) {
    const std::size_t want = static_cast<std::size_t>(std::max(info.threadnum, 0)) + kThreadSlack;
    scratch.thread_ids.assign(want, 0);
    const int bytes = source.list_threads(pid, scratch.thread_ids);
    if (bytes <= 0) return 0;
    const std::size_t count = std::min(static_cast<std::size_t>(bytes) / 8, scratch.thread_ids.size());
    // A handle listed twice is one thread: count it once.
    const auto ids = std::span(scratch.thread_ids).first(count);
    std::sort(ids.begin(), ids.end());
    std::uint32_t sum = 0;
    for (auto it = ids.begin(); it != ids.end(); it = std::upper_bound(it, ids.end(), *it)) {
        const auto usage = source.thread_usage(pid, *it);
        if (usage && *usage > 0) sum = saturating_add(sum, static_cast<std::uint32_t>(*usage));
    }
    return sum;
}

// The process's usage: the source's figure for the whole process where it has one; otherwise
// the figure over a window of its CPU totals (on the clock `now`, read right after them) or,
// where it has no window yet, the sum over its threads.
std::uint32_t usage_of(ProcessSource& source, UsageWindows& windows, const std::optional<TotalsClock>& now,
                       std::int32_t pid, const TaskInfo& info, Scratch& scratch) {
    if (const auto whole = source.process_usage(pid)) return *whole;
    if (now)
        if (const auto figure = windows.figure(pid, info.total_user + info.total_system, now->now)) return *figure;
    return thread_usage_sum(source, pid, info, scratch);
}

struct Fetched {
    std::optional<std::string> command;
    std::optional<SessionId> session_id;
};

// Reads the argument area and turns it into a command and a session id; then re-checks that
// the pid still names the process whose task information was read.
Fetched fetch_command(ProcessSource& source, std::int32_t pid, const TaskInfo& info, Scratch& scratch) {
    std::size_t size = scratch.procargs_size;
    if (source.proc_args(pid, {scratch.procargs.get(), scratch.procargs_size}, size) != 0 || size < 4 ||
        size > scratch.procargs_size)
        return {};
    const std::span<const std::uint8_t> area(scratch.procargs.get(), size);
    if (read_le<std::int32_t>(area, 0) < 1) return {};
    const ProcArgs parsed = parse_procargs(area);
    if (parsed.argc == 0) return {};
    Fetched out;
    out.command = build_command(std::span(parsed.strings).first(parsed.argc));
    out.session_id = find_session_id(parsed.strings);

    const auto start = source.bsd_start(pid);
    if (!start || start->tvsec != info.start_tvsec || start->tvusec != info.start_tvusec) return {};
    return out;
}

}  // namespace

ProcessCache& process_cache() {
    static ProcessCache cache;
    return cache;
}

Snapshot collect_snapshot(ProcessSource& source, ProcessCache& cache) {
    const std::uint64_t started_ns = source.monotonic_ns();
    Snapshot snap;
    const auto mem = source.mem_size();
    if (!mem || *mem == 0) throw MeasurementFailed("the memory size could not be read");
    snap.mem_total = *mem;

    const std::vector<std::int32_t> pids = read_pids(source);
    snap.records.reserve(pids.size());

    Scratch scratch;
    const auto arg_max = source.arg_max();
    scratch.procargs_size = arg_max && *arg_max > 0 ? static_cast<std::size_t>(*arg_max) : kDefaultArgMax;
    scratch.procargs = std::make_unique_for_overwrite<std::uint8_t[]>(scratch.procargs_size);
    scratch.thread_ids.reserve(kInitialThreadIds);

    bool any_info = false;
    {
        std::lock_guard lock(cache.mutex);
        CacheMap old_map = cache.slot ? std::move(*cache.slot) : CacheMap{};
        cache.slot.reset();
        CacheMap new_map;
        new_map.reserve(pids.size());
        source.begin_process_loop();
        const auto first_clock = source.totals_clock();
        const std::uint64_t gen = first_clock ? cache.windows.begin_loop(first_clock->window) : 0;

        for (const std::int32_t pid : pids) {
            if (pid < 1) continue;
            const auto info = source.task_info(pid);
            if (!info) {
                ProcessRecord placeholder;
                placeholder.pid = pid;
                snap.records.push_back(std::move(placeholder));
                continue;
            }
            const std::uint64_t cpu_total = info->total_user + info->total_system;  // wraps like the kernel's
            std::optional<TotalsClock> now;
            if (first_clock && !info->refused && (now = source.totals_clock()))
                cache.windows.note_task(pid, info->start_tvsec * 1'000'000 + info->start_tvusec, cpu_total, now->now, gen);

            // The old entry's node is reused for the new map. It is current when it describes the
            // same process (start time) running the same program (image) with no CPU time used
            // since (total).
            auto node = old_map.extract(pid);
            const bool current = node && !info->refused && node.mapped().start_sec == info->start_tvsec &&
                                 node.mapped().start_usec == info->start_tvusec &&
                                 node.mapped().cpu_total == cpu_total && node.mapped().image == info->image;

            // A process whose task information was refused is shown from its process-table entry:
            // no threads, no arguments.
            const std::uint32_t cpu_usage = info->refused || (current && node.mapped().cpu_usage == 0)
                                                ? 0
                                                : usage_of(source, cache.windows, now, pid, *info, scratch);

            Fetched got;
            if (current && node.mapped().command) {
                got.command = std::move(node.mapped().command);
                got.session_id = node.mapped().session_id;
            } else if (!info->refused) {
                got = fetch_command(source, pid, *info, scratch);
            }

            ProcessRecord r;
            r.pid = pid;
            r.ppid = info->ppid;
            r.uid = info->uid;
            r.nice = info->nice;
            r.resident_bytes = info->refused ? 0 : info->resident_size;
            r.start_sec = info->start_tvsec;
            r.start_usec = static_cast<std::uint32_t>(info->start_tvusec);
            r.tty = info->tdev;
            r.cpu_usage = cpu_usage;
            if (got.command) {
                r.command = *got.command;
                r.flags = FLAG_INFO | FLAG_ARGV;
                if (got.session_id) {
                    r.flags |= FLAG_SESSION;
                    r.session_id = got.session_id;
                }
            } else {
                r.command = fallback_command(info->comm);
                r.flags = FLAG_INFO;
            }
            snap.records.push_back(std::move(r));
            any_info = true;

            CacheEntry entry{.start_sec = info->start_tvsec,
                             .start_usec = info->start_tvusec,
                             .cpu_total = cpu_total,
                             .image = info->image,
                             .cpu_usage = cpu_usage,
                             .command = std::move(got.command),
                             .session_id = got.session_id};
            if (node) {
                node.mapped() = std::move(entry);
                auto [at, inserted, left] = new_map.insert(std::move(node));
                if (!inserted) at->second = std::move(left.mapped());  // a pid listed twice
            } else {
                new_map.insert_or_assign(pid, std::move(entry));
            }
        }
        source.end_process_loop();
        if (first_clock) cache.windows.end_loop(gen);
        cache.slot = std::move(new_map);
    }
    if (!any_info) throw MeasurementFailed("no process could be read");

    const WallTime wall = source.wall_clock();
    snap.wall_sec = wall.sec;
    snap.wall_usec = wall.usec;
    const std::uint64_t ended_ns = source.monotonic_ns();
    snap.collect_ns = ended_ns > started_ns ? ended_ns - started_ns : 0;
    return snap;
}

Snapshot collect_snapshot() {
    const auto source = open_live_processes();
    return collect_snapshot(*source, process_cache());
}

}  // namespace zelk

ZELK_API std::int32_t zelk_core_snapshot(std::uint8_t** out_ptr, std::size_t* out_len) noexcept {
    return zelk::export_buffer(out_ptr, out_len, [] { return zelk::encode_snapshot(zelk::collect_snapshot()); });
}
