// The process census: collect_snapshot over a process source, with the process cache that
// spares idle processes their argument and thread queries.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/processes.hpp"
#include "stream.hpp"
#include "usage_windows.hpp"

namespace zelk {

// The figures that decide whether an entry is current come first: for an idle process they
// are all that a collection reads of its entry, besides moving the command out.
struct CacheEntry {
    std::uint64_t start_sec = 0;
    std::uint64_t start_usec = 0;
    std::uint64_t cpu_total = 0;
    std::uint64_t image = 0;  // TaskInfo::image: moves on exec
    std::uint32_t cpu_usage = 0;
    std::optional<std::string> command;  // built from the argument vector; never the fallback
    std::optional<SessionId> session_id;
};

using CacheMap = std::unordered_map<std::int32_t, CacheEntry>;

// A slot that holds a map or nothing, behind one mutex, and the CPU windows of the processes
// measured over their totals (TotalsClock). The library has one (process_cache()), shared by
// every caller; tests make their own.
struct ProcessCache {
    std::mutex mutex;
    std::optional<CacheMap> slot;
    UsageWindows windows;
};

ProcessCache& process_cache();

// One census. Throws MeasurementFailed when the machine's memory or pid list can't be read or
// no process could be read at all.
Snapshot collect_snapshot(ProcessSource& source, ProcessCache& cache);

// One census of the live system with the library's cache.
Snapshot collect_snapshot();

}  // namespace zelk
