// The kernel calls behind the macOS process table (darwin_processes.cpp): sysctl for the start
// time, getpriority for the nice value, proc_pidinfo for the background state.
#include <libproc.h>
#include <mach/task_policy.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <sys/types.h>

#include <cerrno>

#include "darwin_processes.hpp"
#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

static_assert(darwin::PRIO_PROCESS_WHICH == PRIO_PROCESS && darwin::PRIO_DARWIN_PROCESS_WHICH == PRIO_DARWIN_PROCESS);
static_assert(darwin::PROC_FLAG_DARWINBG_BIT == PROC_FLAG_DARWINBG &&
              darwin::PROC_FLAG_EXT_DARWINBG_BIT == PROC_FLAG_EXT_DARWINBG);

class LiveKernel final : public darwin::Kernel {
public:
    // Any process's kinfo_proc; an empty answer (size 0) means no such process.
    std::optional<std::uint64_t> startUsec(std::int32_t pid) override {
        int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
        kinfo_proc info{};
        size_t size = sizeof info;
        if (::sysctl(mib, 4, &info, &size, nullptr, 0) != 0 || size < sizeof info || info.kp_proc.p_pid != pid)
            return std::nullopt;
        const auto& t = info.kp_proc.p_starttime;
        return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(t.tv_usec);
    }

    std::optional<int> getpriority(int which, std::int32_t pid) override {
        errno = 0;
        const int value = ::getpriority(which, static_cast<id_t>(pid));
        if (value == -1 && errno != 0) return std::nullopt;
        return value;
    }

    // The whole structure or nothing: proc_pidinfo answers with the bytes it copied, 0 on failure.
    std::optional<std::uint32_t> bsdFlags(std::int32_t pid) override {
        proc_bsdinfo info{};
        if (::proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info)) !=
            static_cast<int>(sizeof info))
            return std::nullopt;
        return info.pbi_flags;
    }
};

}  // namespace

System thisSystem() { return System::MacOS; }

std::unique_ptr<ProcessControl> liveProcesses() { return darwin::processTable(std::make_unique<LiveKernel>()); }

}  // namespace zelk::helper::sys
