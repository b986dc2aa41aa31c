// Command texts: the argument area split into argument and environment strings, and the command
// line built from the visible forms of the arguments.
#include <algorithm>
#include <cstring>

#include "procargs.hpp"

namespace zelk {
std::string fallback_command(const std::array<char, 16>& comm) {
    const auto name_end = std::find(comm.begin(), comm.end(), '\0');
    const std::string_view name(comm.data(), static_cast<std::size_t>(name_end - comm.begin()));
    std::string out;
    out.reserve(name.size() + 2);
    out.push_back('(');
    push_visible(out, name);
    out.push_back(')');
    return out;
}

// The argument area (KERN_PROCARGS2), host byte order:
//   [argc i32][executable path][NUL][NUL padding...][arg 0][NUL]...[arg argc-1][NUL]
//   [env 0][NUL]...[env k][NUL][empty string: NUL][anything else, ignored]
// Any string may instead run to the end of the area. While fewer than argc arguments were
// seen an empty string is an argument; after that it ends the environment.
ProcArgs parse_procargs(std::span<const std::uint8_t> area) {
    ProcArgs result;
    const std::size_t size = area.size();
    if (size < 4) return result;
    std::int32_t argc_raw = 0;
    std::memcpy(&argc_raw, area.data(), sizeof argc_raw);  // host order, as the kernel wrote it
    const std::size_t argc = argc_raw > 0 ? static_cast<std::size_t>(argc_raw) : 0;
    const auto* base = reinterpret_cast<const char*>(area.data());

    std::size_t pos = 4;
    while (pos < size && base[pos] != '\0') ++pos;  // executable path
    while (pos < size && base[pos] == '\0') ++pos;  // padding up to the first argument

    result.strings.reserve(std::min({size / 2 + 1, argc, std::size_t{4096}}) + 64);
    std::size_t args = 0;
    while (pos < size) {
        const auto* nul = static_cast<const char*>(std::memchr(base + pos, '\0', size - pos));
        const std::size_t end = nul != nullptr ? static_cast<std::size_t>(nul - base) : size;
        if (args == argc && end == pos) break;  // the empty string after the environment
        result.strings.emplace_back(base + pos, end - pos);
        if (args < argc) ++args;
        pos = end + 1;
    }
    result.argc = args;
    return result;
}

std::string build_command(std::span<const std::string_view> args) {
    std::size_t plain_bytes = 0;
    for (const auto a : args) plain_bytes += a.size() + 1;
    std::string out;
    out.reserve(plain_bytes);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0) out.push_back(' ');
        push_visible(out, args[i]);
    }
    return out;
}

}  // namespace zelk
