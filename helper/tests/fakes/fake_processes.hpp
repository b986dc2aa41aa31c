// A process table for ease and restore: any pid not listed as gone is there, started at
// `start`, at nice 0 in the foreground, unless `procs` says otherwise; `endDuringTools` makes
// every pin report its process gone after the tools ran.
#pragma once

#include <map>
#include <set>

#include "taming.hpp"

namespace zelk::helper::testing {

class FakeProcesses final : public ProcessControl {
public:
    struct Proc {
        std::uint64_t start = 1'700'000'000'000'000;
        int nice = 0;
        int background = 0;
    };
    std::map<std::int32_t, Proc> procs;
    std::set<std::int32_t> gone;
    bool endDuringTools = false;

    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        struct Pin final : ProcessPin {
            bool there;
            explicit Pin(bool t) : there(t) {}
            bool stillThere() override { return there; }
        };
        if (gone.contains(pid)) return nullptr;
        return std::make_unique<Pin>(!endDuringTools);
    }
    std::optional<std::uint64_t> startUsec(std::int32_t pid) override {
        return gone.contains(pid) ? std::nullopt : std::optional(find(pid).start);
    }
    std::optional<int> nice(std::int32_t pid) override { return gone.contains(pid) ? std::nullopt : std::optional(find(pid).nice); }
    std::optional<int> background(std::int32_t pid) override { return find(pid).background; }
    std::uint64_t startGranularityUsec() const override { return 10'000; }

private:
    Proc find(std::int32_t pid) { return procs.contains(pid) ? procs[pid] : Proc{}; }
};

}  // namespace zelk::helper::testing
