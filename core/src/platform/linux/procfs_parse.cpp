// Parsers for /proc/PID/stat, /proc/stat, schedstat, directory names and cmdline.
#include "procfs_parse.hpp"

#include <charconv>
#include <cstring>

namespace zelk {
namespace {

template <class T>
bool parse_number(std::string_view field, T& out) {
    if (field.empty()) return false;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), out);
    return ec == std::errc() && end == field.data() + field.size();
}

// FNV-1a, 64 bits.
std::uint64_t mix(std::uint64_t h, std::string_view bytes) {
    for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return (h ^ 0xFF) * 0x100000001b3ull;  // a separator, so that fields can't run together
}

constexpr std::uint32_t kForkedNoExec = 0x40;  // PF_FORKNOEXEC
constexpr std::uint32_t kKernelThread = 0x00200000;  // PF_KTHREAD

}  // namespace

std::optional<ProcStat> parse_proc_stat(std::string_view text) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
    ProcStat st;
    const auto comm = text.substr(open + 1, close - open - 1);
    std::memcpy(st.comm.data(), comm.data(), std::min(comm.size(), st.comm.size()));

    // Fields from 3 (the state) on, separated by single spaces. Fields 25 and later are optional
    // (older kernels write fewer).
    std::string_view rest = text.substr(close + 1);
    std::array<std::string_view, 52> f{};  // f[k] is field k
    std::size_t k = 3;
    while (k < f.size()) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (rest.empty()) break;
        const auto end = rest.find_first_of(" \n");
        f[k++] = rest.substr(0, end);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end);
    }
    if (k < 25) return std::nullopt;  // fewer than 24 fields
    std::int64_t tty = 0;
    std::uint64_t flags = 0;
    std::int64_t nice = 0;
    std::int64_t threads = 0;
    std::int64_t rss = 0;
    if (!parse_number(f[4], st.ppid) || !parse_number(f[7], tty) || !parse_number(f[9], flags) ||
        !parse_number(f[14], st.utime_ticks) || !parse_number(f[15], st.stime_ticks) || !parse_number(f[19], nice) ||
        !parse_number(f[20], threads) || !parse_number(f[22], st.start_ticks) || !parse_number(f[24], rss))
        return std::nullopt;
    st.tty_nr = static_cast<std::int32_t>(tty);
    st.kernel_thread = (flags & kKernelThread) != 0;
    std::uint64_t h = mix(0xcbf29ce484222325ull, comm);
    h = mix(h, (flags & kForkedNoExec) != 0 ? "f" : "e");
    for (const std::size_t field : {23, 26, 27, 28, 45, 46, 47, 48, 49, 50, 51}) h = mix(h, f[field]);
    st.image = h;
    st.nice = static_cast<std::int32_t>(nice);
    st.num_threads = static_cast<std::int32_t>(threads);
    st.rss_pages = rss > 0 ? static_cast<std::uint64_t>(rss) : 0;
    return st;
}

std::uint64_t parse_btime(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        const auto line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (line.starts_with("btime ")) {
            std::uint64_t v = 0;
            return parse_number(line.substr(6), v) ? v : 0;
        }
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return 0;
}

std::optional<std::uint64_t> parse_schedstat(std::string_view text) {
    const auto end = text.find_first_of(" \n");
    std::uint64_t v = 0;
    if (!parse_number(text.substr(0, end), v)) return std::nullopt;
    return v;
}

std::int32_t parse_pid_name(const char* name) {
    std::int32_t v = 0;
    const std::string_view s(name);
    if (s.empty() || s.front() < '1' || s.front() > '9' || !parse_number(s, v)) return 0;
    return v;
}

CmdlineShape finish_cmdline(std::span<std::uint8_t> area, std::size_t got) {
    std::size_t len = std::min(got, area.size());
    // Empty strings at the front would read as the padding after the executable path and pull
    // the environment into the arguments: they go. Nothing but NULs (a vector wiped with NULs,
    // or only empty arguments) is no argument at all.
    std::size_t lead = 0;
    while (lead < len && area[lead] == 0) ++lead;
    if (lead == len) return {0, 0};
    if (lead > 0) {
        std::memmove(area.data(), area.data() + lead, len - lead);
        len -= lead;
    }
    while (len >= 2 && area[len - 1] == 0 && area[len - 2] == 0) --len;
    if (len == 0 || area[len - 1] != 0) {
        if (len == area.size()) --len;  // no room for the NUL: give up the last byte
        area[len++] = 0;
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < len; ++i) count += area[i] == 0;
    return {len, count};
}

}  // namespace zelk
