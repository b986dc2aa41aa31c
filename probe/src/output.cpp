// Output lines and JSON string encoding. The bytes are fixed: one space after each colon and
// after each separating comma, no other white space outside literals, a solidus escaped.
#include "output.hpp"

#include <cstdint>

namespace zelk::probe {
namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0 when it is malformed.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

void appendDecimal(std::string& out, std::int32_t value) {
    // Widened first: the magnitude of -2147483648 does not fit in 32 bits.
    std::int64_t v = value;
    if (v < 0) {
        out += '-';
        v = -v;
    }
    char digits[12];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) out += digits[--n];
}

}  // namespace

std::string jsonString(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) return "\"\"";
        if (length > 1) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        const char c = text[i++];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += HEX[static_cast<unsigned char>(c) >> 4];
                    out += HEX[static_cast<unsigned char>(c) & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string shortLine(bool active) { return active ? "{\"mic_active\": true}" : "{\"mic_active\": false}"; }

std::string renderAppsLine(bool active, const std::vector<InputEntry>& entries) {
    std::string line = active ? "{\"mic_active\": true, \"apps\": [" : "{\"mic_active\": false, \"apps\": [";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) line += ", ";
        line += "{\"bundle\": ";
        line += jsonString(entries[i].bundle);
        line += ", \"pid\": ";
        appendDecimal(line, entries[i].pid);
        line += '}';
    }
    line += "]}";
    return line;
}

}  // namespace zelk::probe
