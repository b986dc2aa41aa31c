// Text shared by the library and the reference host: the visible (printable) form of arbitrary
// bytes, in which commands and interface names are shown, and the UTF-8 check for names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelk {

// Appends the printable rendering of `bytes` (caret, meta and octal escapes).
void push_visible(std::string& out, std::string_view bytes);
std::string to_visible(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace zelk
