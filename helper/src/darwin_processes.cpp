// The macOS process table over its kernel calls: the start time as the census reports it, the
// nice value, and the background state the target itself is in.
#include "darwin_processes.hpp"

namespace zelk::helper::darwin {
namespace {

class StartTimePin final : public ProcessPin {
public:
    StartTimePin(Kernel& kernel, std::int32_t pid, std::uint64_t start) : kernel_(kernel), pid_(pid), start_(start) {}
    bool stillThere() override { return kernel_.startUsec(pid_) == start_; }

private:
    Kernel& kernel_;
    std::int32_t pid_;
    std::uint64_t start_;
};

class ProcessTable final : public ProcessControl {
public:
    explicit ProcessTable(std::unique_ptr<Kernel> kernel) : kernel_(std::move(kernel)) {}

    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        const auto start = kernel_->startUsec(pid);
        if (!start) return nullptr;
        return std::make_unique<StartTimePin>(*kernel_, pid, *start);
    }

    std::optional<std::uint64_t> startUsec(std::int32_t pid) override { return kernel_->startUsec(pid); }

    // p_start is taken once, at fork (xnu bsd/kern/kern_fork.c, microtime_with_abstime into
    // p_start), and never recomputed: a clock step does not move it.
    std::optional<std::uint64_t> startKey(std::int32_t pid) override { return kernel_->startUsec(pid); }

    // pid 0, kernel_task, is the kernel's only process; requests never name pids below 2.
    bool kernelThread(std::int32_t) override { return false; }

    // setpriority(PRIO_PROCESS) sets the process's p_nice (xnu bsd/kern/kern_resource.c, donice)
    // and PRIO_DARWIN_PROCESS the policy of its task (do_background_proc): both act on every
    // thread, so the process is its one task.
    std::vector<std::int32_t> tasks(std::int32_t pid) override { return {pid}; }

    std::optional<int> nice(std::int32_t pid) override { return kernel_->getpriority(PRIO_PROCESS_WHICH, pid); }

    // Non-zero for a process in the background, of its own accord or from outside. Read from
    // the target's BSD info: getpriority(PRIO_DARWIN_PROCESS, pid) answers with the caller's own
    // state, whatever the pid (xnu bsd/kern/kern_resource.c, get_background_proc reads
    // current_task()); proc_pidinfo fills pbi_flags from the target's task (xnu
    // bsd/kern/proc_info.c, proc_pidbsdinfo calls proc_get_darwinbgstate).
    std::optional<int> background(std::int32_t pid) override {
        const auto flags = kernel_->bsdFlags(pid);
        if (!flags) return std::nullopt;
        return static_cast<int>(*flags & (PROC_FLAG_DARWINBG_BIT | PROC_FLAG_EXT_DARWINBG_BIT));
    }

    std::uint64_t startGranularityUsec() const override { return 1; }

private:
    std::unique_ptr<Kernel> kernel_;
};

}  // namespace

std::unique_ptr<ProcessControl> processTable(std::unique_ptr<Kernel> kernel) {
    return std::make_unique<ProcessTable>(std::move(kernel));
}

}  // namespace zelk::helper::darwin
