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

// A tool that has not exited after this long is killed and counts as a failed run, so that no
// tool can hold the request loop for good.
inline constexpr std::chrono::milliseconds TOOL_TIME_LIMIT{60'000};

using ProfileTable = std::map<std::string, std::vector<std::string>, std::less<>>;
// Profile name (matched whole and case-sensitively) -> arguments for PMSET, in order.
extern const ProfileTable POWER_PROFILES;

// Runs one tool: true when it started and exited with status 0.
class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    virtual bool runTool(const std::string& path, const std::vector<std::string>& args) = 0;
};

// The real runner: posix_spawn, output to the null device, a wait bounded by `limit`.
class SpawnToolRunner final : public ToolRunner {
public:
    explicit SpawnToolRunner(std::chrono::milliseconds limit = TOOL_TIME_LIMIT) : limit_(limit) {}
    bool runTool(const std::string& path, const std::vector<std::string>& args) override;

private:
    std::chrono::milliseconds limit_;
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
PowerResult power(System system, ToolRunner& tools, std::string_view profile, const PowerSources& sources = {});

}  // namespace zelk::helper
