// The power profile table and the power operation, over an injectable tool runner; the real
// runner spawns the tool and waits for it, killing it past a generous time limit.
#include "profiles.hpp"

#include <algorithm>
#include <thread>

#include "platform/helper_system.hpp"

namespace zelk::helper {

// The plain multi-setting profiles set "lowpowermode", the "-hp" ones "powermode" with the same
// value; all but the "ac-" ones act on battery settings ("-b"), those on charger settings ("-c").
const ProfileTable POWER_PROFILES = {
    {"awake", {"-b", "displaysleep", "0", "sleep", "0", "disksleep", "0", "lowpowermode", "0"}},
    {"conserve", {"-b", "displaysleep", "2", "sleep", "0", "disksleep", "0", "lowpowermode", "1"}},
    {"default", {"-b", "displaysleep", "3", "sleep", "1", "disksleep", "10", "lowpowermode", "0"}},
    {"awake-hp", {"-b", "displaysleep", "0", "sleep", "0", "disksleep", "0", "powermode", "0"}},
    {"conserve-hp", {"-b", "displaysleep", "2", "sleep", "0", "disksleep", "0", "powermode", "1"}},
    {"default-hp", {"-b", "displaysleep", "3", "sleep", "1", "disksleep", "10", "powermode", "0"}},
    {"powermode-0", {"-b", "powermode", "0"}},
    {"powermode-1", {"-b", "powermode", "1"}},
    {"powermode-2", {"-b", "powermode", "2"}},
    {"ac-auto", {"-c", "powermode", "0"}},
    {"ac-boost", {"-c", "powermode", "2"}},
    {"ac-low", {"-c", "powermode", "1"}},
};

void SpawnToolRunner::startRequest() {
    deadline_ = std::chrono::steady_clock::now() + limit_;
    expired_ = false;
}

bool SpawnToolRunner::runTool(const std::string& path, const std::vector<std::string>& args) {
    const auto deadline = deadline_.value_or(std::chrono::steady_clock::now() + limit_);
    if (std::chrono::steady_clock::now() >= deadline) {
        expired_ = true;
        return false;
    }
    const auto pid = sys::spawnTool(path, args);
    if (!pid) return false;
    // Tools usually finish within milliseconds: poll often at first, then every 20 ms.
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        switch (sys::pollChild(*pid)) {
            case sys::ChildState::ExitedZero: return true;
            case sys::ChildState::Failed: return false;
            case sys::ChildState::Running: break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            sys::killChild(*pid);
            expired_ = true;
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
}

std::string_view linuxPowerProfile(const std::vector<std::string>& pmsetArgs) {
    std::string_view profile = "balanced";
    for (std::size_t i = 0; i + 1 < pmsetArgs.size(); ++i) {
        if (pmsetArgs[i] != "lowpowermode" && pmsetArgs[i] != "powermode") continue;
        if (pmsetArgs[i + 1] == "1") profile = "power-saver";
        if (pmsetArgs[i + 1] == "2") profile = "performance";
    }
    return profile;
}

PowerResult power(System system, ToolRunner& tools, std::string_view profile, const PowerSources& sources) {
    const auto it = POWER_PROFILES.find(profile);
    if (it == POWER_PROFILES.end()) return PowerResult::Failed;
    if (system == System::MacOS) {
        if (it->second.front() == "-b" && sources) {
            const auto types = sources();
            if (types && std::find(types->begin(), types->end(), INTERNAL_BATTERY) == types->end())
                return PowerResult::Unsupported;
        }
        return tools.runTool(std::string(PMSET), it->second) ? PowerResult::Ok : PowerResult::Failed;
    }
    const std::string ctl(POWERPROFILESCTL);
    if (tools.runTool(ctl, {"set", std::string(linuxPowerProfile(it->second))})) return PowerResult::Ok;
    if (tools.expired()) return PowerResult::Failed;
    return tools.runTool(ctl, {"get"}) || tools.expired() ? PowerResult::Failed : PowerResult::Unsupported;
}

}  // namespace zelk::helper
