// The probe's command line and its run: the choice between the short line, one apps line and
// the watch loop, over an audio HAL and the few process services the loop needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio.hpp"

namespace zelk::probe {

// The argument vector, program name first; every option search covers all of it.
using Args = std::vector<std::string>;

inline constexpr double DEFAULT_WATCH_S = 5.0;
inline constexpr double MIN_WATCH_S = 1.0;
// The longest single sleep of the watch loop: how late a parent's end may be noticed.
inline constexpr double MAX_SLEEP_SLICE_S = 1.0;

// What the run needs of its process besides the HAL.
class ProcessHost {
public:
    virtual ~ProcessHost() = default;
    // One-shot output: written, not checked; the exit flushes it.
    virtual void put(std::string_view line) = 0;
    // Watch output: written and flushed; false when either failed.
    virtual bool putAndFlush(std::string_view line) = 0;
    virtual std::int32_t parentId() = 0;
    // Makes a write to a closed pipe fail instead of ending the process.
    virtual void ignoreBrokenPipe() = 0;
    virtual void sleepFor(double seconds) = 0;
};

// The pids after the first "--pids", or nullopt when it is absent or last.
std::optional<std::vector<std::int32_t>> pidArg(const Args& args);
// A whole argument that strtod (POSIX locale) consumes to its end, without leading white space.
std::optional<double> parseNumber(std::string_view text);
// The interval after the first "--watch", at least one second (NaN gives one).
double watchInterval(const Args& args);
// The apps line of the current readings, without its line feed.
std::string appsLine(AudioHal& hal, const Args& args);

// Runs the probe to its end and returns the exit status, which is always 0.
int runProbe(const Args& args, AudioHal& hal, ProcessHost& host);

}  // namespace zelk::probe
