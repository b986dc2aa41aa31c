// Option rules, the watch interval, the pid list and the run loop. Options are whole arguments
// compared exactly; a value is the argument after the option's first occurrence, whatever it is.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "output.hpp"

namespace zelk::probe {
namespace {

bool has(const Args& args, std::string_view option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

// The argument after the first occurrence of `option`, if both exist.
const std::string* valueOf(const Args& args, std::string_view option) {
    const auto it = std::find(args.begin(), args.end(), option);
    if (it == args.end() || it + 1 == args.end()) return nullptr;
    return &*(it + 1);
}

// An optional sign and one or more decimal digits, within the signed 32-bit range; leading
// zeros are allowed, any other character is not.
std::optional<std::int32_t> parsePid(std::string_view piece) {
    bool negative = false;
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
        negative = piece.front() == '-';
        piece.remove_prefix(1);
    }
    if (piece.empty()) return std::nullopt;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (const char c : piece) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace

std::optional<std::vector<std::int32_t>> pidArg(const Args& args) {
    const std::string* value = valueOf(args, "--pids");
    if (value == nullptr) return std::nullopt;
    std::vector<std::int32_t> pids;
    std::string_view rest = *value;
    while (true) {
        const auto comma = rest.find(',');
        const std::string_view piece = rest.substr(0, comma);
        if (const auto pid = parsePid(piece)) pids.push_back(*pid);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return pids;
}

std::optional<double> parseNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    switch (text.front()) {
        case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': return std::nullopt;
        default: break;
    }
    // The probe never calls setlocale, so strtod reads in the C (POSIX) locale: a point, never
    // a comma. It needs a terminator; a program argument cannot hold a NUL.
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    return value;
}

double watchInterval(const Args& args) {
    double seconds = DEFAULT_WATCH_S;
    if (const std::string* value = valueOf(args, "--watch"))
        if (const auto number = parseNumber(*value)) seconds = *number;
    return std::fmax(seconds, MIN_WATCH_S);  // maxNum: a NaN gives the minimum
}

std::string appsLine(AudioHal& hal, const Args& args) {
    const LineReadings line(hal);
    const bool active = micActive(hal);
    const auto pids = pidArg(args);
    return renderAppsLine(active, pids ? pidInputs(hal, *pids) : processInputs(hal));
}

int runProbe(const Args& args, AudioHal& hal, ProcessHost& host) {
    sys = SYSTEM_OBJECT;
    const bool apps = has(args, "--apps");
    const bool watch = has(args, "--watch");
    if (!watch) {
        host.put((apps ? appsLine(hal, args) : shortLine(micActive(hal))) + '\n');
        return 0;
    }

    const double interval_s = watchInterval(args);
    // A parent that ends hands the probe to process 1 or to the nearest subreaper (systemd
    // --user, tmux), so any change of the parent's id counts as the parent having gone.
    const std::int32_t parent_at_start = host.parentId();
    const auto parentGone = [&] {
        const std::int32_t parent = host.parentId();
        return parent == 1 || parent != parent_at_start;
    };
    host.ignoreBrokenPipe();
    while (true) {
        if (!host.putAndFlush(appsLine(hal, args) + '\n')) return 0;
        if (parentGone()) return 0;
        // The interval is slept in slices, so that a parent gone during a long (even infinite)
        // interval is noticed within one slice; the tick then writes its line and ends as above.
        for (double left_s = interval_s; left_s > 0;) {
            const double slice_s = std::min(left_s, MAX_SLEEP_SLICE_S);
            host.sleepFor(slice_s);
            left_s -= slice_s;
            if (parentGone()) break;
        }
    }
}

}  // namespace zelk::probe
