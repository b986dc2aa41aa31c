// Child processes for the tests that census this machine, and the kernel's own account of
// their CPU time.
#pragma once

#if defined(__APPLE__)
#include <libproc.h>
#include <mach/mach_time.h>
#endif
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zelk::testing {

// User + system CPU time of a process in seconds, as the kernel accounts it: libproc's task
// totals on macOS (in Mach time units there), /proc/PID/stat fields 14 and 15 on Linux.
inline double cpu_seconds(pid_t pid) {
#if defined(__APPLE__)
    proc_taskinfo info{};
    if (::proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info)) return 0;
    mach_timebase_info_data_t base{};
    ::mach_timebase_info(&base);
    return static_cast<double>(info.pti_total_user + info.pti_total_system) * base.numer / base.denom / 1e9;
#else
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int k = 3; k <= 15 && fields >> f; ++k)
        if (k >= 14) ticks += std::stod(f);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
#endif
}

// A child process killed and reaped when the guard goes.
struct Child {
    pid_t pid = -1;
    Child() = default;
    Child(const Child&) = delete;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// A child that spins on a processor until it is killed; pid -1 if fork failed.
struct Spinner : Child {
    Spinner() {
        pid = ::fork();
        if (pid == 0) {
            volatile unsigned long spins = 0;
            for (;;) spins = spins + 1u;
        }
    }
};

}  // namespace zelk::testing
