// Other processes as ease and restore see them on macOS, over the few kernel calls it takes, so
// that the logic also runs over a recorded kernel in a Linux build.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "taming.hpp"

namespace zelk::helper::darwin {

// SDK include/sys/resource.h: getpriority's `which` for a nice value, and for a background state
// (the caller's own, whatever the pid: see darwin_processes.cpp).
inline constexpr int PRIO_PROCESS_WHICH = 0;
inline constexpr int PRIO_DARWIN_PROCESS_WHICH = 4;
// SDK include/mach/task_policy.h: proc_bsdinfo's pbi_flags bits. The kernel sets them from the
// task's requested policy (xnu osfmk/kern/task_policy.c, proc_get_darwinbgstate): the process's
// own background state, and the one set from outside (setpriority(PRIO_DARWIN_PROCESS, pid), as
// `taskpolicy -b -p` does: xnu bsd/kern/kern_resource.c, do_background_proc).
inline constexpr std::uint32_t PROC_FLAG_DARWINBG_BIT = 0x8000;
inline constexpr std::uint32_t PROC_FLAG_EXT_DARWINBG_BIT = 0x10000;

// The kernel calls; nullopt: no such process, or the call failed.
class Kernel {
public:
    virtual ~Kernel() = default;
    // sysctl {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}: p_starttime in microseconds.
    virtual std::optional<std::uint64_t> startUsec(std::int32_t pid) = 0;
    virtual std::optional<int> getpriority(int which, std::int32_t pid) = 0;
    // proc_pidinfo(pid, PROC_PIDTBSDINFO): pbi_flags.
    virtual std::optional<std::uint32_t> bsdFlags(std::int32_t pid) = 0;
};

// The process table ease and restore read. macOS has no descriptor of a process, so the pin
// reads the start time again after the tools ran.
std::unique_ptr<ProcessControl> processTable(std::unique_ptr<Kernel> kernel);

}  // namespace zelk::helper::darwin
