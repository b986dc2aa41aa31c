// The per-process CPU windows shared by the process sources.
#include "usage_windows.hpp"

#include <unistd.h>

#include <algorithm>

namespace zelk {
namespace {

// Several busy threads make more than one processor's worth, up to all of them.
double max_figure() {
    static const double most = 1000.0 * static_cast<double>(std::max<long>(::sysconf(_SC_NPROCESSORS_CONF), 1));
    return most;
}

}  // namespace

bool UsageWindows::Trail::push(Point x, std::uint64_t window) {
    if (count > 0 && x.at < points[0].at + window / 2) return false;
    points = {x, points[0], points[1]};
    count = std::min<std::size_t>(count + 1, points.size());
    return true;
}

std::uint64_t UsageWindows::begin_loop(std::uint64_t window) {
    std::lock_guard lock(mutex_);
    window_ = std::max<std::uint64_t>(window, 1);
    listed_ = 0;
    return ++generation_;
}

void UsageWindows::note_task(std::int32_t pid, std::uint64_t identity, std::uint64_t total, std::uint64_t now,
                             std::uint64_t gen) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = pids_.try_emplace(pid);
    auto& p = it->second;
    if (inserted || p.identity != identity) p = PidState{};  // new, or a new process under an old pid
    if (p.listed_gen != gen) ++listed_;
    p.listed_gen = gen;
    p.identity = identity;
    p.total = total;
    if (p.read && p.figure.value_or(0) == 0 && total == p.read_total && p.trail.push({now, p.last.cpu}, window_))
        p.quiet_gen = gen;
}

std::optional<std::uint32_t> UsageWindows::figure(std::int32_t pid, std::uint64_t cpu, std::uint64_t now) {
    std::lock_guard lock(mutex_);
    auto& p = pids_[pid];
    if (p.read && cpu >= p.last.cpu) {
        if (const auto from = window_start(p, now)) {
            const double ratio = static_cast<double>(cpu - from->cpu) / static_cast<double>(now - from->at);
            p.figure = static_cast<std::uint32_t>(std::clamp(ratio * 1000.0 + 0.5, 0.0, max_figure()));
        }
    } else {  // the first reading, or a CPU time that went back: another process under the pid
        p.figure.reset();
        p.trail.clear();
    }
    p.read = true;
    p.read_total = p.total;
    p.last = {now, cpu};
    if (p.quiet_gen == p.listed_gen && p.trail.count > 0)
        p.trail.points[0] = p.last;  // the reading replaces the quiet point it follows
    else
        p.trail.push(p.last, window_);
    return p.figure;
}

void UsageWindows::end_loop(std::uint64_t gen) {
    std::lock_guard lock(mutex_);
    if (listed_ != pids_.size()) std::erase_if(pids_, [&](const auto& kv) { return kv.second.listed_gen != gen; });
}

// The newest known point at least one window back: the latest reading or an earlier point.
// None: the figure stays as it was.
std::optional<UsageWindows::Point> UsageWindows::window_start(const PidState& p, std::uint64_t now) const {
    const auto old_enough = [&](const Point& x) { return x.at <= now && now - x.at >= window_; };
    std::optional<Point> best;
    if (old_enough(p.last)) best = p.last;
    for (std::size_t i = 0; i < p.trail.count; ++i)
        if (old_enough(p.trail.points[i]) && (!best || p.trail.points[i].at > best->at)) best = p.trail.points[i];
    return best;
}

}  // namespace zelk
