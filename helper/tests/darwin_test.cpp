// The helper's macOS process table over a recorded Mac kernel.
#include <gtest/gtest.h>

#include <map>

#include "darwin_processes.hpp"
#include "fakes/recording_runner.hpp"

namespace zelk::helper {
namespace {

using Args = std::vector<std::string>;
constexpr auto OWN_BG = darwin::PROC_FLAG_DARWINBG_BIT, EXT_BG = darwin::PROC_FLAG_EXT_DARWINBG_BIT;

// getpriority(PRIO_DARWIN_PROCESS, pid) gives the caller's own flag (0) whatever the pid; the
// target's BSD info flags follow `taskpolicy -b/-B -p`, as its nice value follows renice.
struct RecordedMac final : darwin::Kernel, ToolRunner {
    std::map<std::int32_t, std::pair<int, std::uint32_t>> procs{{500, {0, 0}}, {600, {0, OWN_BG}}};
    Args runs;
    std::optional<std::uint64_t> startUsec(std::int32_t pid) override { return pid; }
    std::optional<int> getpriority(int which, std::int32_t pid) override {
        return which == darwin::PRIO_DARWIN_PROCESS_WHICH ? 0 : procs[pid].first;
    }
    std::optional<std::uint32_t> bsdFlags(std::int32_t pid) override { return procs[pid].second; }
    bool runTool(const std::string& path, const Args& a) override {
        auto& [nice, flags] = procs[std::stoi(a[2])];
        runs.push_back(path.substr(path.rfind('/') + 1) + ' ' + a[0] + ' ' + a[2]);
        if (path == TASKPOLICY) flags = a[0] == "-b" ? flags | EXT_BG : flags & ~EXT_BG;
        else nice = std::stoi(a[0]);
        return true;
    }
};

// Restore takes out of the background what ease put there, and only that.
TEST(DarwinProcesses, RestoreTakesTheProcessOutOfTheBackground) {
    auto owned = std::make_unique<RecordedMac>();
    RecordedMac& mac = *owned;
    const auto table = darwin::processTable(std::move(owned));
    Tamer tamer(System::MacOS, mac, *table, nullptr);
    for (const auto& call : {&Tamer::ease, &Tamer::restore})
        for (const std::int32_t pid : {500, 600}) EXPECT_EQ((tamer.*call)(pid, std::nullopt), TameResult::Ok);
    EXPECT_EQ(mac.runs, (Args{"taskpolicy -b 500", "renice 10 500", "renice 10 600", "taskpolicy -B 500",
                              "renice 0 500", "renice 0 600"}));
    EXPECT_EQ(mac.procs[500].second | mac.procs[600].second, OWN_BG);
}

}  // namespace
}  // namespace zelk::helper
