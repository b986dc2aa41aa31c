// Agent runs: the grouping of a census by agent session, through the parent links of its
// records, and the totals that every view of a run shows.
#include "runs.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <tuple>
#include <unordered_map>

namespace zelk::tool {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kUnresolved = kNone - 1;
constexpr std::size_t kVisiting = kNone - 2;

bool started_no_later(const ProcessRecord& a, const ProcessRecord& b) {
    return std::tie(a.start_sec, a.start_usec) <= std::tie(b.start_sec, b.start_usec);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

bool same_session(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::vector<Run> group_runs(const Snapshot& snapshot) {
    const auto& records = snapshot.records;
    const std::size_t n = records.size();
    std::unordered_map<std::int32_t, std::size_t> by_pid;
    for (std::size_t i = 0; i < n; ++i)
        if (records[i].flags & FLAG_INFO) by_pid.emplace(records[i].pid, i);

    // The parent's record, or kNone: a placeholder has no parent link, and a record under the
    // parent's pid that started after the child is a later process that reused the pid.
    const auto parent_of = [&](std::size_t i) {
        const auto& r = records[i];
        if (!(r.flags & FLAG_INFO) || r.ppid == static_cast<std::uint32_t>(r.pid)) return kNone;
        const auto it = by_pid.find(static_cast<std::int32_t>(r.ppid));
        if (it == by_pid.end() || !started_no_later(records[it->second], r)) return kNone;
        return it->second;
    };

    std::vector<Run> runs;
    std::map<std::string, std::size_t> run_of_session;
    const auto run_for = [&](const SessionId& id) {
        std::string session(id.begin(), id.end());
        const auto [it, added] = run_of_session.emplace(session, runs.size());
        if (added) {
            runs.emplace_back();
            runs.back().session = std::move(session);
        }
        return it->second;
    };

    // owner[i]: the run of record i, kNone for none. Each record is resolved once: a walk up the
    // parent links stops at a record that has a session id or is already resolved, and every
    // record it passed gets that answer. Equal start times could close a loop; kVisiting ends it.
    std::vector<std::size_t> owner(n, kUnresolved);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < n; ++i) {
        path.clear();
        std::size_t j = i;
        std::size_t found = kNone;
        while (j != kNone) {
            if (owner[j] == kVisiting) break;
            if (owner[j] != kUnresolved) {
                found = owner[j];
                break;
            }
            if (records[j].session_id) {
                found = owner[j] = run_for(*records[j].session_id);
                break;
            }
            owner[j] = kVisiting;
            path.push_back(j);
            j = parent_of(j);
        }
        for (const std::size_t k : path) owner[k] = found;
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (owner[i] == kNone) continue;
        Run& run = runs[owner[i]];
        (records[i].session_id ? run.direct : run.inherited).push_back(i);
    }

    for (Run& run : runs) {
        bool first = true;
        bool root_parent_in_run = false;
        for (const auto* members : {&run.direct, &run.inherited}) {
            for (const std::size_t i : *members) {
                const auto& r = records[i];
                run.cpu_usage += r.cpu_usage;
                run.resident_bytes += r.resident_bytes;
                const auto& b = records[run.busiest];
                if (first || std::tie(r.cpu_usage, r.resident_bytes) > std::tie(b.cpu_usage, b.resident_bytes))
                    run.busiest = i;
                // The oldest member; among members started in the same tick, one whose parent is
                // outside the run.
                const std::size_t parent = parent_of(i);
                const bool parent_in_run = parent != kNone && owner[parent] == owner[i];
                const auto& o = records[run.root];
                if (first || std::tie(r.start_sec, r.start_usec, parent_in_run) <
                                 std::tie(o.start_sec, o.start_usec, root_parent_in_run)) {
                    run.root = i;
                    root_parent_in_run = parent_in_run;
                }
                first = false;
            }
        }
        run.start_sec = records[run.root].start_sec;
        run.start_usec = records[run.root].start_usec;
    }

    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        return a.cpu_usage != b.cpu_usage ? a.cpu_usage > b.cpu_usage : a.session < b.session;
    });
    return runs;
}

std::map<std::int32_t, std::uint64_t> gpu_time_by_pid(std::span<const GpuClient> clients) {
    std::map<std::int32_t, std::uint64_t> out;
    for (const auto& c : clients) {
        // "pid 1234, name": digits after "pid ", ended by a comma.
        const std::string& t = c.creator;
        if (t.rfind("pid ", 0) != 0) continue;
        std::size_t k = 4;
        std::int64_t pid = 0;
        while (k < t.size() && t[k] >= '0' && t[k] <= '9' && pid <= std::numeric_limits<std::int32_t>::max())
            pid = pid * 10 + (t[k++] - '0');
        if (k == 4 || k >= t.size() || t[k] != ',' || pid < 1 || pid > std::numeric_limits<std::int32_t>::max())
            continue;
        auto& total = out[static_cast<std::int32_t>(pid)];
        total = saturating_add(total, c.gpu_time);
    }
    return out;
}

std::uint64_t run_gpu_time(const Snapshot& snapshot, const Run& run,
                           const std::map<std::int32_t, std::uint64_t>& by_pid) {
    std::uint64_t total = 0;
    for (const auto* members : {&run.direct, &run.inherited})
        for (const std::size_t i : *members)
            if (const auto it = by_pid.find(snapshot.records[i].pid); it != by_pid.end())
                total = saturating_add(total, it->second);
    return total;
}

std::string duration_text(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char buf[32];
    if (seconds < 60)
        std::snprintf(buf, sizeof buf, "%llds", static_cast<long long>(seconds));
    else if (seconds < 3600)
        std::snprintf(buf, sizeof buf, "%lldm%02llds", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    else if (seconds < 86400)
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60));
    else
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
                      static_cast<long long>(seconds / 3600 % 24));
    return buf;
}

}  // namespace zelk::tool
