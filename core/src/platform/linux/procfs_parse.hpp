// Parsers for the /proc texts the Linux process source reads. Pure functions over the bytes
// the kernel returned, bounds-checked, so they are tested and fuzzed apart from /proc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zelk {

// The fields of /proc/PID/stat the census uses (proc(5) field numbers).
struct ProcStat {
    std::array<char, 16> comm{};  // between the first "(" and the last ")", cut to 16 bytes
    std::uint32_t ppid = 0;       // 4
    std::int32_t tty_nr = 0;      // 7
    bool kernel_thread = false;   // 9: PF_KTHREAD
    std::uint64_t utime_ticks = 0;  // 14
    std::uint64_t stime_ticks = 0;  // 15
    std::int32_t nice = 0;          // 19
    std::int32_t num_threads = 0;   // 20
    std::uint64_t start_ticks = 0;  // 22: clock ticks since boot
    std::uint64_t rss_pages = 0;    // 24
    // A hash of what exec replaces or moves: the name, the "forked, not yet exec'd" flag (9),
    // the page-fault counts (10, 12), the virtual size (23), the resident size (24) and, where
    // the reader may see them, the code and stack addresses (26-28).
    std::uint64_t image = 0;
};

// nullopt when the text is not a stat line. The command name may hold ")" and spaces, so the
// fields are read after the last ")".
std::optional<ProcStat> parse_proc_stat(std::string_view text);

// The "btime" line of /proc/stat: boot time in seconds since the epoch; 0 when absent.
std::uint64_t parse_btime(std::string_view text);

// The first field of /proc/PID/task/TID/schedstat: run time in nanoseconds.
std::optional<std::uint64_t> parse_schedstat(std::string_view text);

// A /proc directory entry's name as a pid: all digits, 1 to 2^31 - 1; otherwise 0.
std::int32_t parse_pid_name(const char* name);

struct CmdlineShape {
    std::size_t length = 0;  // bytes kept, ending with one NUL
    std::size_t count = 0;   // NUL-ended strings in them: the argument count
};

// Tidies the `got` bytes of /proc/PID/cmdline at the start of `area` (which has at least one
// byte more): leading NULs (empty arguments) are dropped, a trailing run of NULs is cut to one
// (setproctitle pads its title with NULs) and an unterminated last string gets its NUL. Bytes
// that are all NUL give length and count 0: the process shows no argument.
CmdlineShape finish_cmdline(std::span<std::uint8_t> area, std::size_t got);

}  // namespace zelk
