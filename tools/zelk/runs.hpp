// Agent runs: the processes of a census grouped by the agent session they belong to, their own
// or their nearest ancestor's, with each run's totals and its GPU time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "records.hpp"

namespace zelk::tool {

struct Run {
    std::string session;                 // the agent session id
    std::vector<std::size_t> direct;     // records that carry the id themselves, in census order
    std::vector<std::size_t> inherited;  // records that have it from their nearest ancestor with one
    std::size_t root = 0;                // the run's oldest process: its command names the run
    std::size_t busiest = 0;             // the member with the highest CPU usage
    std::uint64_t cpu_usage = 0;         // sum over the members (1000 = one busy processor)
    std::uint64_t resident_bytes = 0;    // sum over the members
    std::uint64_t start_sec = 0;         // start of the oldest member
    std::uint32_t start_usec = 0;

    std::size_t processes() const { return direct.size() + inherited.size(); }
};

// Every run of the census, busiest first (then by session id). A process belongs to the run of
// its own session id, or else to that of its nearest ancestor with one. A parent counts as an
// ancestor only if it started no later than its child: a record whose pid was reused by a
// process started after the child is some other process.
std::vector<Run> group_runs(const Snapshot& snapshot);

// GPU time per pid, from the clients' creator texts ("pid N, name"); others are left out.
std::map<std::int32_t, std::uint64_t> gpu_time_by_pid(std::span<const GpuClient> clients);

// The GPU time of a run's processes (saturating).
std::uint64_t run_gpu_time(const Snapshot& snapshot, const Run& run,
                           const std::map<std::int32_t, std::uint64_t>& by_pid);

// Whether two session ids are the same id: hexadecimal digits compare ignoring case, as the
// library keeps an id's case as it found it.
bool same_session(const std::string& a, const std::string& b);

// "45s", "12m05s", "3h07m", "2d04h": how long a run has been going (0s for a negative span).
std::string duration_text(std::int64_t seconds);

}  // namespace zelk::tool
