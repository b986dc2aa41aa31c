// The self-replacement watch: the helper notes its executable's modification time at start-up
// and ends (status 0, socket file removed) once that time differs, so its service manager starts
// the new executable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::helper {

inline constexpr std::string_view REPLACED_MESSAGE =
    "binary replaced under us (app updated) -> exiting so launchd re-execs the new helper";

// The path to watch: the system's report of the running executable, used unchanged; when it
// reports none, the program name resolved against the working directory; else empty (no watch).
// `resolve` turns a path into an absolute one with links resolved ("" when it cannot).
template <class Resolve>
std::string chooseSelfPath(const std::optional<std::string>& reported, const std::vector<std::string>& args,
                           Resolve&& resolve) {
    if (reported) return *reported;
    if (!args.empty() && !args.front().empty()) return resolve(args.front());
    return {};
}

// The modification time of `path` in seconds since the epoch (nanoseconds / 1e9 + seconds);
// nullopt when `path` is empty or stat fails.
std::optional<double> selfMtime(const std::string& path);

class SelfWatch {
public:
    // Takes the executable's modification time now: before any socket work.
    explicit SelfWatch(std::string selfPath);
    SelfWatch(std::string selfPath, std::optional<double> launchMtime)
        : selfPath_(std::move(selfPath)), launchMtime_(launchMtime) {}

    // True when the modification time differs from the one at start-up, in either direction.
    // No time at start-up, an empty path, or a file that cannot be read now: false.
    bool isStale() const;

    const std::string& selfPath() const { return selfPath_; }
    std::optional<double> launchMtime() const { return launchMtime_; }

private:
    std::string selfPath_;
    std::optional<double> launchMtime_;
};

}  // namespace zelk::helper
