// The visible form of arbitrary bytes and the UTF-8 check.
#include <algorithm>

#include "zelk_text.hpp"

namespace zelk {
namespace {

constexpr bool printable(unsigned char b) noexcept { return b >= 0x20 && b <= 0x7E; }

// One byte that is not plain printable text. Tab, line feed and the no-break space 0xA0 get an
// octal escape; other controls a caret form; high bytes "M" and the form of their low seven bits.
void push_escaped(std::string& out, unsigned char b) {
    if (b == 0x09 || b == 0x0A || b == 0xA0) {
        const char octal[4] = {'\\', static_cast<char>('0' + (b >> 6)), static_cast<char>('0' + ((b >> 3) & 7)),
                               static_cast<char>('0' + (b & 7))};
        out.append(octal, sizeof octal);
        return;
    }
    if (b >= 0x80) {
        out.push_back('M');
        b = static_cast<unsigned char>(b - 0x80);
        if (printable(b)) {  // 0x20 here would be 0xA0, escaped above
            out.push_back('-');
            out.push_back(static_cast<char>(b));
            return;
        }
    } else if (printable(b)) {
        out.push_back(static_cast<char>(b));
        return;
    }
    out.push_back('^');
    out.push_back(b == 0x7F ? '?' : static_cast<char>(b + 0x40));
}

}  // namespace

void push_visible(std::string& out, std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = data + bytes.size();
    const auto odd = [](unsigned char b) { return !printable(b); };
    // Printable runs go in one copy each: an all-printable input, the usual case, in one.
    for (const auto* p = data; p != end;) {
        const auto* run_end = std::find_if(p, end, odd);
        out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run_end - p));
        if (run_end == end) break;
        push_escaped(out, *run_end);
        p = run_end + 1;
    }
}

std::string to_visible(std::string_view bytes) {
    std::string out;
    push_visible(out, bytes);
    return out;
}

bool valid_utf8(std::span<const std::uint8_t> s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t cc = s[i + k];
            if ((cc & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace zelk
