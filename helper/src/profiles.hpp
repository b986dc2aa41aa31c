// The operations that need root: named power profiles through pmset (macOS) or
// powerprofilesctl (Linux), and the tools that change a process's priority. Each tool run goes
// through a ToolRunner.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::helper {

inline constexpr std::string_view PMSET = "/usr/bin/pmset";
inline constexpr std::string_view TASKPOLICY = "/usr/sbin/taskpolicy";
inline constexpr std::string_view RENICE = "/usr/bin/renice";
inline constexpr std::string_view POWERPROFILESCTL = "/usr/bin/powerprofilesctl";

// Which system's tools the operations run.
enum class System { MacOS, Linux };

// The tools of one request together get this long: one still running then is killed and counts
// as a failed run, and no further tool starts. Well under the 30 s a client waits for a reply, so
// that no tool can hold the request loop, or leave a client without an answer.
inline constexpr std::chrono::milliseconds TOOL_TIME_LIMIT{10'000};

using ProfileTable = std::map<std::string, std::vector<std::string>, std::less<>>;
// Profile name (matched whole and case-sensitively) -> arguments for PMSET, in order.
extern const ProfileTable POWER_PROFILES;

// Runs one tool: true when it started and exited with status 0.
class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    virtual bool runTool(const std::string& path, const std::vector<std::string>& args) = 0;
    // The time limit starts again, for a new request.
    virtual void startRequest() {}
    // Whether the request's time ran out: a tool was killed, or not started, for it.
    virtual bool expired() const { return false; }
};

// The real runner: posix_spawn, output to the null device, the tools of one request bounded by
// `limit` together (a tool run outside a request by `limit` alone).
class SpawnToolRunner final : public ToolRunner {
public:
    explicit SpawnToolRunner(std::chrono::milliseconds limit = TOOL_TIME_LIMIT) : limit_(limit) {}
    bool runTool(const std::string& path, const std::vector<std::string>& args) override;
    void startRequest() override;
    bool expired() const override { return expired_; }

private:
    std::chrono::milliseconds limit_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool expired_ = false;
};

// The power-profiles-daemon profile of a table entry: low power or power mode 1 -> power-saver,
// power mode 2 -> performance, mode 0 -> balanced. The display, sleep and disk timers have no
// such equivalent and are left out.
std::string_view linuxPowerProfile(const std::vector<std::string>& pmsetArgs);

enum class PowerResult { Ok, Failed, Unsupported };

// The type of each power source of the machine, such as "InternalBattery" (sys::powerSourceTypes).
using PowerSources = std::function<std::optional<std::vector<std::string>>()>;
inline constexpr std::string_view INTERNAL_BATTERY = "InternalBattery";

// Failed without running anything when `profile` is not in POWER_PROFILES. macOS: PMSET with the
// profile's arguments, except that a profile of battery settings alone ("-b") is Unsupported,
// and runs nothing, where `sources` lists no internal battery (pmset applies nothing there and
// exits 0); no `sources`, or sources it cannot read: PMSET. Linux: "powerprofilesctl set
// PROFILE"; when that fails and "powerprofilesctl get" fails too, no daemon answers: Unsupported.
// A tool killed at the time limit is an answer from nobody: Failed.
PowerResult power(System system, ToolRunner& tools, std::string_view profile, const PowerSources& sources = {});

}  // namespace zelk::helper
