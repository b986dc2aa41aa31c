// Parsers for /proc/PID/stat, /proc/stat, schedstat, directory names and cmdline.
#include "procfs_parse.hpp"

#include <algorithm>
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

// One step of a 64-bit hash over the fields that exec replaces (FNV-1a's prime, per word).
std::uint64_t mix(std::uint64_t h, std::uint64_t v) { return (h ^ v) * 0x100000001b3ull ^ (h >> 29); }

// The field's text as 8-byte words: for hashing only, so no number is parsed.
std::uint64_t mix(std::uint64_t h, std::string_view bytes) {
    while (!bytes.empty()) {
        std::uint64_t word = 0;
        const std::size_t n = std::min<std::size_t>(bytes.size(), 8);
        std::memcpy(&word, bytes.data(), n);
        h = mix(h, word);
        bytes.remove_prefix(n);
    }
    return mix(h, 0xFF);  // a separator, so that fields can't run together
}

constexpr std::uint64_t kForkedNoExec = 0x40;        // PF_FORKNOEXEC
constexpr std::uint64_t kKernelThread = 0x00200000;  // PF_KTHREAD

// Fields whose text goes into the image hash: 10 and 12 (minor and major page faults), 23
// (virtual size) and 26-28 (the code addresses and the stack's start, which address-space
// randomisation moves at every exec); field 24 (resident pages) is added once parsed. The
// addresses read as 0 or 1 when the reader may not trace the process, and stay put when
// randomisation is off; an exec still faults in the new program's pages, and the fault counts
// and the resident size are shown to every reader. A process that neither runs nor faults keeps
// its hash.
constexpr std::size_t kLastField = 28;
constexpr bool in_image(std::size_t k) { return k == 10 || k == 12 || k == 23 || (k >= 26 && k <= kLastField); }

}  // namespace

std::optional<ProcStat> parse_proc_stat(std::string_view text) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
    ProcStat st;
    const auto comm = text.substr(open + 1, close - open - 1);
    std::memcpy(st.comm.data(), comm.data(), std::min(comm.size(), st.comm.size()));
    std::uint64_t image = mix(0xcbf29ce484222325ull, comm);

    // Fields 3 (the state) to 28, separated by spaces; fields 25 and later are optional.
    std::int64_t tty = 0;
    std::uint64_t flags = 0;
    std::int64_t nice = 0;
    std::int64_t threads = 0;
    std::int64_t rss = 0;
    bool ok = true;
    std::size_t k = 2;  // the number of the last field read
    std::size_t at = close + 1;
    while (k < kLastField) {
        while (at < text.size() && text[at] == ' ') ++at;
        if (at == text.size() || text[at] == '\n') break;
        const std::size_t from = at;
        while (at < text.size() && text[at] != ' ' && text[at] != '\n') ++at;
        const std::string_view f = text.substr(from, at - from);
        switch (++k) {
            case 4: ok = ok && parse_number(f, st.ppid); break;
            case 7: ok = ok && parse_number(f, tty); break;
            case 9: ok = ok && parse_number(f, flags); break;
            case 14: ok = ok && parse_number(f, st.utime_ticks); break;
            case 15: ok = ok && parse_number(f, st.stime_ticks); break;
            case 19: ok = ok && parse_number(f, nice); break;
            case 20: ok = ok && parse_number(f, threads); break;
            case 22: ok = ok && parse_number(f, st.start_ticks); break;
            case 24: ok = ok && parse_number(f, rss); break;
            default:
                if (in_image(k)) image = mix(image, f);
        }
    }
    if (!ok || k < 24) return std::nullopt;
    st.tty_nr = static_cast<std::int32_t>(tty);
    st.kernel_thread = (flags & kKernelThread) != 0;
    st.image = mix(mix(image, flags & kForkedNoExec), static_cast<std::uint64_t>(rss));
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
