// Another process as ease and restore see it on macOS: its start time from the process table (as
// the census reports it), its nice value and its background state. macOS has no descriptor of a
// process, so the pin reads the start time again after the tools ran.
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <sys/types.h>

#include <cerrno>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

// sysctl {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}: any process's kinfo_proc; an empty answer
// (size 0) means no such process.
std::optional<std::uint64_t> processStart(std::int32_t pid) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
    kinfo_proc info{};
    size_t size = sizeof info;
    if (::sysctl(mib, 4, &info, &size, nullptr, 0) != 0 || size < sizeof info || info.kp_proc.p_pid != pid)
        return std::nullopt;
    const auto& t = info.kp_proc.p_starttime;
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(t.tv_usec);
}

class StartTimePin final : public ProcessPin {
public:
    StartTimePin(std::int32_t pid, std::uint64_t start) : pid_(pid), start_(start) {}
    bool stillThere() override { return processStart(pid_) == start_; }

private:
    std::int32_t pid_;
    std::uint64_t start_;
};

class ProcessTable final : public ProcessControl {
public:
    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        const auto start = processStart(pid);
        if (!start) return nullptr;
        return std::make_unique<StartTimePin>(pid, *start);
    }

    std::optional<std::uint64_t> startUsec(std::int32_t pid) override { return processStart(pid); }

    // p_start is taken once, at fork (bsd/kern/kern_fork.c, microtime_with_abstime into
    // p_start), and never recomputed: a clock step does not move it.
    std::optional<std::uint64_t> startKey(std::int32_t pid) override { return processStart(pid); }

    // pid 0, kernel_task, is the kernel's only process; requests never name pids below 2.
    bool kernelThread(std::int32_t) override { return false; }

    // setpriority(PRIO_PROCESS) sets the process's p_nice (bsd/kern/kern_resource.c, donice) and
    // PRIO_DARWIN_PROCESS the policy of its task (do_background_proc): both act on every thread.
    std::vector<std::int32_t> tasks(std::int32_t pid) override { return {pid}; }

    std::optional<int> nice(std::int32_t pid) override { return priorityOf(PRIO_PROCESS, pid); }

    // Non-zero for a process in the background (taskpolicy -b).
    std::optional<int> background(std::int32_t pid) override { return priorityOf(PRIO_DARWIN_PROCESS, pid); }

    std::uint64_t startGranularityUsec() const override { return 1; }

private:
    static std::optional<int> priorityOf(int which, std::int32_t pid) {
        errno = 0;
        const int value = ::getpriority(which, static_cast<id_t>(pid));
        if (value == -1 && errno != 0) return std::nullopt;
        return value;
    }
};

}  // namespace

System thisSystem() { return System::MacOS; }

std::unique_ptr<ProcessControl> liveProcesses() { return std::make_unique<ProcessTable>(); }

}  // namespace zelk::helper::sys
