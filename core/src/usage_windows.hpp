// CPU usage of whole processes over windows of time, kept between collections: the one window
// rule of both process sources.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace zelk {

// A figure is 1000 * delta CPU time / delta clock (1000 = one busy processor), over the newest
// known point at least one window back. The CPU time is a total that counts every thread the
// process has had, those that have exited included, and it counts in the clock's unit, so the
// ratio needs no conversion. A caller that polls every few milliseconds thus sees a figure over
// the last 100-150 ms, one that polls every second a figure over that second. One object serves
// every caller of its census; collections call in one at a time (their process loops never
// overlap), each numbered by begin_loop().
class UsageWindows {
public:
    // Starts a collection's loop. `window`: the shortest window, in the clock's unit.
    std::uint64_t begin_loop(std::uint64_t window);

    // Notes a task-information read of the process `identity` (a value that differs for another
    // process under the same pid), whose CPU total, in the source's own unit, is `total`. A
    // process whose last figure was 0 and whose total still equals its value at the last CPU
    // reading has used less than one unit of that total since: the census skips it unless
    // something else moved, and `now` becomes a point to start a later window from, so that a
    // process that wakes after a long idle time is not averaged over it.
    void note_task(std::int32_t pid, std::uint64_t identity, std::uint64_t total, std::uint64_t now, std::uint64_t gen);

    // The figure of a process noted by this loop, from its CPU time `cpu` read at `now`. nullopt
    // while it has none: at its first reading and until a window has passed. A CPU time that went
    // back means another process under the pid, seen for the first time.
    std::optional<std::uint32_t> figure(std::int32_t pid, std::uint64_t cpu, std::uint64_t now);

    // Drops the state of processes that this loop did not note.
    void end_loop(std::uint64_t gen);

private:
    struct Point {
        std::uint64_t at = 0;
        std::uint64_t cpu = 0;
    };
    // Up to three points, newest first, at least half a window apart: one of them lies between
    // one and one and a half windows back whenever points were taken that long.
    struct Trail {
        std::array<Point, 3> points{};
        std::size_t count = 0;
        bool push(Point x, std::uint64_t window);
        void clear() { count = 0; }
    };
    struct PidState {  // what every task-information read touches first
        std::uint64_t listed_gen = 0;
        std::uint64_t identity = 0;
        std::uint64_t total = 0;       // CPU total at the latest task-information read
        std::uint64_t read_total = 0;  // and at the latest CPU reading
        std::uint64_t quiet_gen = 0;   // the loop that added a quiet point last
        std::optional<std::uint32_t> figure;
        bool read = false;  // the CPU time has been read
        Point last;         // the latest CPU reading
        Trail trail;        // earlier readings and quiet points
    };

    std::optional<Point> window_start(const PidState& p, std::uint64_t now) const;

    std::mutex mutex_;
    std::uint64_t generation_ = 0;
    std::uint64_t window_ = 1;
    std::size_t listed_ = 0;  // processes noted by the current loop
    std::unordered_map<std::int32_t, PidState> pids_;
};

}  // namespace zelk
