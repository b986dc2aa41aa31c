// A process's raw argument area (the KERN_PROCARGS2 layout) turned into a printable command
// text, and the visible form every command text is made of. Views point into the caller's
// buffer; nothing is copied until the command text is built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zelk_text.hpp"  // push_visible, to_visible

namespace zelk {

struct ProcArgs {
    std::vector<std::string_view> strings;  // arguments first, then environment strings
    std::size_t argc = 0;                   // how many of `strings` are arguments
};

// `area` holds [argc i32][exec path][NULs][args][env][empty string][...]; at least 4 bytes.
ProcArgs parse_procargs(std::span<const std::uint8_t> area);

// The visible forms of `args` joined by single spaces (at least one argument).
std::string build_command(std::span<const std::string_view> args);

// "(" + visible form of the name in pbi_comm (up to its first NUL) + ")".
std::string fallback_command(const std::array<char, 16>& comm);

}  // namespace zelk
