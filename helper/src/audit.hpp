// The audit log: every line the helper writes, "zelk-helper: " + text + line feed, in one write
// to standard error; and the escaping that keeps request text from forging lines.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zelk::helper {

inline constexpr std::string_view AUDIT_PREFIX = "zelk-helper: ";

// Where audit messages go: the message without prefix or line feed.
using AuditFn = std::function<void(const std::string& message)>;

// "zelk-helper: " + message + "\n".
std::string auditLine(std::string_view message);

// Writes the audit line of `message` to standard error in one write.
void audit(const std::string& message);

// Request text as it may appear in an audit line: printable ASCII but the double quote stays,
// the backslash becomes \\ and every other byte \xNN (lower-case hex): a quoted value in a line
// ends where its closing quote is. The result is printable ASCII only, so no
// reader (not even one that breaks lines at U+2028 or U+0085) sees a line break in it, and
// no two different texts give the same result.
std::string escapeRequestText(std::string_view text);

}  // namespace zelk::helper
