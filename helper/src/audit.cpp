// The audit log: one line per event on standard error, with a fixed prefix, no time stamp or
// level; request text in it is escaped so that a request cannot add lines of its own.
#include "audit.hpp"

#include "platform/helper_system.hpp"

namespace zelk::helper {

std::string auditLine(std::string_view message) {
    std::string line;
    line.reserve(AUDIT_PREFIX.size() + message.size() + 1);
    line.append(AUDIT_PREFIX).append(message).push_back('\n');
    return line;
}

void audit(const std::string& message) { sys::writeStderr(auditLine(message)); }

std::string escapeRequestText(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F && c != '"') {
            out.push_back(ch);
        } else {
            out += "\\x";
            out.push_back(HEX[c >> 4]);
            out.push_back(HEX[c & 0xF]);
        }
    }
    return out;
}

}  // namespace zelk::helper
