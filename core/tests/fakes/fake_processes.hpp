// A recorded process source: a map of processes with scripted answers for every query, and a
// log of what the census asked.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/processes.hpp"

namespace zelk::testing {

struct FakeProcess {
    std::optional<TaskInfo> info;                       // nullopt: gone before its task info
    std::vector<std::pair<std::uint64_t, std::optional<std::int32_t>>> threads;  // id, usage
    bool threads_fail = false;
    std::optional<std::vector<std::uint8_t>> args;      // nullopt: arguments refused
    std::optional<StartTime> bsd;                       // re-check answer; nullopt: the task's
    bool recheck_fails = false;
};

// An argument area: argc, the executable path, NUL padding, then the strings, NUL-ended.
inline std::vector<std::uint8_t> arg_area(std::int32_t argc, const std::string& exec,
                                          const std::vector<std::string>& strings) {
    std::vector<std::uint8_t> a(4);
    std::memcpy(a.data(), &argc, 4);
    a.insert(a.end(), exec.begin(), exec.end());
    a.insert(a.end(), 3, 0);
    for (const auto& s : strings) {
        a.insert(a.end(), s.begin(), s.end());
        a.push_back(0);
    }
    a.push_back(0);
    return a;
}

inline TaskInfo task(std::uint32_t ppid, const char* comm, std::uint64_t start = 1000, std::uint64_t cpu = 5) {
    TaskInfo t;
    t.ppid = ppid;
    t.uid = 501;
    std::strncpy(t.comm.data(), comm, t.comm.size());
    t.tdev = 0x10000003;
    t.nice = -2;
    t.start_tvsec = start;
    t.start_tvusec = 77;
    t.resident_size = 4096 * 10;
    t.total_user = cpu;
    t.total_system = 1;
    t.threadnum = 1;
    return t;
}

class FakeProcesses : public ProcessSource {
public:
    std::optional<std::uint64_t> memory = 16ull << 30;
    int estimate = 3;
    std::deque<int> list_results;  // scripted list_pids results; empty: the pids below
    std::vector<std::int32_t> pid_list;
    std::optional<int> argmax = 4096;
    std::map<std::int32_t, FakeProcess> procs;
    std::optional<TotalsClock> clock;  // the totals' clock; nullopt: none (threads are summed)

    // What was asked.
    std::vector<std::size_t> list_capacities;
    std::vector<std::int32_t> arg_reads;
    std::vector<std::int32_t> thread_lists;
    std::vector<std::size_t> thread_list_capacities;
    int thread_info_reads = 0;
    std::vector<std::int32_t> rechecks;

    std::uint64_t monotonic_ns() override { return clock_ns += 1000; }
    WallTime wall_clock() override { return {1800000000, 5}; }
    std::optional<std::uint64_t> mem_size() override { return memory; }
    int pid_count_estimate() override { return estimate; }
    int list_pids(std::span<std::int32_t> pids) override {
        list_capacities.push_back(pids.size());
        const std::size_t n = std::min(pids.size(), pid_list.size());
        std::copy_n(pid_list.begin(), n, pids.begin());
        if (!list_results.empty()) {
            const int r = list_results.front();
            list_results.pop_front();
            return r;
        }
        return static_cast<int>(n);
    }
    std::optional<int> arg_max() override { return argmax; }
    std::optional<TaskInfo> task_info(std::int32_t pid) override {
        const auto it = procs.find(pid);
        return it == procs.end() ? std::nullopt : it->second.info;
    }
    int list_threads(std::int32_t pid, std::span<std::uint64_t> ids) override {
        thread_lists.push_back(pid);
        thread_list_capacities.push_back(ids.size());
        const auto& p = procs.at(pid);
        if (p.threads_fail) return 0;
        const std::size_t n = std::min(ids.size(), p.threads.size());
        for (std::size_t i = 0; i < n; ++i) ids[i] = p.threads[i].first;
        return static_cast<int>(n * 8);
    }
    std::optional<std::int32_t> thread_usage(std::int32_t pid, std::uint64_t id) override {
        ++thread_info_reads;
        for (const auto& [tid, usage] : procs.at(pid).threads)
            if (tid == id) return usage;
        return std::nullopt;
    }
    std::optional<TotalsClock> totals_clock() override { return clock; }
    int proc_args(std::int32_t pid, std::span<std::uint8_t> area, std::size_t& size) override {
        arg_reads.push_back(pid);
        const auto& p = procs.at(pid);
        if (!p.args) return 1;
        const std::size_t n = std::min(area.size(), p.args->size());
        std::memcpy(area.data(), p.args->data(), n);
        size = p.args->size();  // may claim more than fits: the census must refuse that
        return 0;
    }
    std::optional<StartTime> bsd_start(std::int32_t pid) override {
        rechecks.push_back(pid);
        const auto& p = procs.at(pid);
        if (p.recheck_fails || !p.info) return std::nullopt;
        if (p.bsd) return p.bsd;
        return StartTime{p.info->start_tvsec, p.info->start_tvusec};
    }

    void forget_calls() {
        arg_reads.clear();
        thread_lists.clear();
        thread_list_capacities.clear();
        thread_info_reads = 0;
        rechecks.clear();
        list_capacities.clear();
    }

private:
    std::uint64_t clock_ns = 0;
};

}  // namespace zelk::testing
