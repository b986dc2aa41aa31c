// The helper's macOS logic over a recorded Mac: a kernel that answers as macOS does, and its
// power sources.
#include <gtest/gtest.h>

#include <map>

#include "darwin_processes.hpp"
#include "fakes/recording_runner.hpp"
#include "taming.hpp"

namespace zelk::helper {
namespace {

using testing::RecordingRunner;
using Args = std::vector<std::string>;

// getpriority(PRIO_DARWIN_PROCESS, pid) answers with the caller's own flag (0: the helper is not
// in the background), whatever the target's; the target's state is in its BSD info flags, whose
// external bit follows `taskpolicy -b/-B -p`, as renice sets the nice value.
struct RecordedMac final : darwin::Kernel, ToolRunner {
    struct Proc { int nice = 0; std::uint32_t flags = 0; };
    std::map<std::int32_t, Proc> procs;
    std::vector<std::string> runs;

    std::optional<std::uint64_t> startUsec(std::int32_t pid) override {
        return procs.contains(pid) ? std::optional<std::uint64_t>(1'700'000'000'000'000 + pid) : std::nullopt;
    }
    std::optional<int> getpriority(int which, std::int32_t pid) override {
        if (!procs.contains(pid)) return std::nullopt;
        return which == darwin::PRIO_DARWIN_PROCESS_WHICH ? 0 : procs[pid].nice;
    }
    std::optional<std::uint32_t> bsdFlags(std::int32_t pid) override {
        return procs.contains(pid) ? std::optional(procs[pid].flags) : std::nullopt;
    }
    bool runTool(const std::string& path, const Args& args) override {
        runs.push_back(path.substr(path.rfind('/') + 1) + ' ' + args[0] + ' ' + args[2]);
        Proc& p = procs.at(std::stoi(args[2]));
        if (path == TASKPOLICY) p.flags = args[0] == "-b" ? p.flags | darwin::PROC_FLAG_EXT_DARWINBG_BIT
                                                          : p.flags & ~darwin::PROC_FLAG_EXT_DARWINBG_BIT;
        else p.nice = std::stoi(args[0]);
        return true;
    }
};

// Restore takes out of the background what ease put there; a process in the background of its
// own accord is left there.
TEST(DarwinProcesses, RestoreTakesTheProcessOutOfTheBackground) {
    auto owned = std::make_unique<RecordedMac>();
    RecordedMac& mac = *owned;
    mac.procs[500] = {};
    mac.procs[600] = {0, darwin::PROC_FLAG_DARWINBG_BIT};
    const auto table = darwin::processTable(std::move(owned));
    Tamer tamer(System::MacOS, mac, *table, nullptr);
    EXPECT_EQ(tamer.ease(500, std::nullopt), TameResult::Ok);
    EXPECT_EQ(tamer.ease(600, std::nullopt), TameResult::Ok);
    EXPECT_EQ(tamer.restore(500, std::nullopt), TameResult::Ok);
    EXPECT_EQ(tamer.restore(600, std::nullopt), TameResult::Ok);
    EXPECT_EQ(mac.runs, (Args{"taskpolicy -b 500", "renice 10 500", "renice 10 600", "taskpolicy -B 500",
                              "renice 0 500", "renice 0 600"}));
    EXPECT_EQ(mac.procs[500].flags, 0u);
    EXPECT_EQ(mac.procs[600].flags, darwin::PROC_FLAG_DARWINBG_BIT);
}

// pmset -b applies nothing on a Mac without an internal battery: those profiles are unsupported
// there and run nothing; charger profiles, and every profile on a laptop, run pmset.
TEST(Power, BatteryProfilesNeedAnInternalBattery) {
    using Sources = std::optional<Args>;
    for (const Sources& sources : {Sources(Args{}), Sources(Args{"UPS"}), Sources(Args{"UPS", "InternalBattery"}),
                                   Sources()}) {
        const bool battery = !sources || sources->size() == 2;
        RecordingRunner tools;
        const PowerSources read = [&] { return sources; };
        EXPECT_EQ(power(System::MacOS, tools, "conserve", read), battery ? PowerResult::Ok : PowerResult::Unsupported);
        EXPECT_EQ(power(System::MacOS, tools, "ac-low", read), PowerResult::Ok);
        EXPECT_EQ(tools.runs.size(), battery ? 2u : 1u);
        EXPECT_EQ(tools.runs.back().args, (Args{"-c", "powermode", "1"}));
    }
}

}  // namespace
}  // namespace zelk::helper
