// A process table: a pid not in `gone` is there, as `procs` says or at the defaults, with the
// tasks `threads` lists (the pid alone by default); its start is `bootUsec` after the epoch;
// `endDuringTools`: every pin sees its process end while the tools ran.
#pragma once

#include <map>
#include <set>

#include "taming.hpp"

namespace zelk::helper::testing {

class FakeProcesses final : public ProcessControl {
public:
    struct Proc { std::uint64_t start = 1'700'000'000'000'000; int nice = 0, background = 0; };
    std::map<std::int32_t, Proc> procs;
    std::set<std::int32_t> gone;
    std::map<std::int32_t, std::vector<std::int32_t>> threads;
    std::uint64_t bootUsec = 0;
    bool endDuringTools = false;

    struct Pin final : ProcessPin {
        bool ends = false;
        bool stillThere() override { return !ends; }
    };
    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        auto pin = there(pid) ? std::make_unique<Pin>() : nullptr;
        if (pin) pin->ends = endDuringTools;
        return pin;
    }
    std::optional<std::uint64_t> startUsec(std::int32_t pid) override { return there(pid) ? find(pid).start + bootUsec : std::optional<std::uint64_t>(); }
    std::optional<std::uint64_t> startKey(std::int32_t pid) override { return there(pid) ? find(pid).start : std::optional<std::uint64_t>(); }
    bool kernelThread(std::int32_t) override { return false; }
    std::vector<std::int32_t> tasks(std::int32_t pid) override {
        if (!there(pid)) return {};
        return threads.contains(pid) ? threads[pid] : std::vector<std::int32_t>{pid};
    }
    std::optional<int> nice(std::int32_t pid) override { return there(pid) ? find(pid).nice : std::optional<int>(); }
    std::optional<int> background(std::int32_t pid) override { return find(pid).background; }
    std::uint64_t startGranularityUsec() const override { return 10'000; }

private:
    Proc find(std::int32_t pid) { return procs.contains(pid) ? procs[pid] : Proc{}; }
    bool there(std::int32_t pid) const { return !gone.contains(pid); }
};

}  // namespace zelk::helper::testing
