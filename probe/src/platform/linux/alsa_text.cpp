// Text parsers for the Linux audio source. Every input comes from procfs and is read whole
// (bounded) before parsing; nothing here touches the system.
#include "alsa_text.hpp"

namespace zelk::probe::alsa {
namespace {

std::string_view trim(std::string_view s) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Calls f(line) for each line, without its line feed; stops when f returns true.
template <class F>
void forEachLine(std::string_view text, F&& f) {
    while (!text.empty()) {
        const auto nl = text.find('\n');
        if (f(text.substr(0, nl))) return;
        if (nl == std::string_view::npos) return;
        text.remove_prefix(nl + 1);
    }
}

std::optional<std::int32_t> parsePositive(std::string_view digits) {
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value <= 0 || value > 2147483647) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescapeUnitName(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hexDigit(s[i + 2]) >= 0 && hexDigit(s[i + 3]) >= 0) {
            out += static_cast<char>(hexDigit(s[i + 2]) * 16 + hexDigit(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::optional<SubstreamStatus> parseSubstreamStatus(std::string_view text) {
    SubstreamStatus status;
    bool first = true;
    bool valid = false;
    forEachLine(text, [&](std::string_view line) {
        if (first) {
            first = false;
            if (trim(line) == "closed") {
                valid = true;
                return true;
            }
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        const auto key = trim(line.substr(0, colon));
        const auto value = trim(line.substr(colon + 1));
        if (key == "state") {
            status.open = true;
            status.running = value == "RUNNING";
            valid = true;
        } else if (key == "owner_pid") {
            status.owner_tid = parsePositive(value).value_or(0);
        }
        return false;
    });
    if (!valid) return std::nullopt;
    return status;
}

std::optional<std::int32_t> parseTgid(std::string_view text) {
    std::optional<std::int32_t> tgid;
    forEachLine(text, [&](std::string_view line) {
        if (line.substr(0, 5) != "Tgid:") return false;
        tgid = parsePositive(trim(line.substr(5)));
        return true;
    });
    return tgid;
}

std::optional<unsigned> parseIndexedName(std::string_view name, std::string_view prefix, std::string_view suffix) {
    if (name.size() <= prefix.size() + suffix.size()) return std::nullopt;
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    if (name.substr(name.size() - suffix.size()) != suffix) return std::nullopt;
    const auto digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 3) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}

std::string appIdFromFlatpakInfo(std::string_view text) {
    std::string name;
    bool in_application = false;
    forEachLine(text, [&](std::string_view raw) {
        const auto line = trim(raw);
        if (!line.empty() && line.front() == '[') {
            in_application = line == "[Application]";
            return false;
        }
        if (!in_application) return false;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || trim(line.substr(0, eq)) != "name") return false;
        name = std::string(trim(line.substr(eq + 1)));
        return true;
    });
    return name;
}

std::string appIdFromUnit(std::string_view unit) {
    constexpr std::string_view PREFIX = "app-";
    constexpr std::string_view SCOPE = ".scope";
    constexpr std::string_view SERVICE = ".service";
    if (unit.substr(0, PREFIX.size()) != PREFIX) return {};
    std::string_view rest = unit.substr(PREFIX.size());
    const auto ends_with = [&](std::string_view suffix) {
        return rest.size() >= suffix.size() && rest.substr(rest.size() - suffix.size()) == suffix;
    };
    if (ends_with(SCOPE)) {
        rest.remove_suffix(SCOPE.size());
        // The random part after the last dash is required for a scope.
        const auto dash = rest.rfind('-');
        if (dash == std::string_view::npos || dash + 1 == rest.size()) return {};
        rest = rest.substr(0, dash);
    } else if (ends_with(SERVICE)) {
        rest.remove_suffix(SERVICE.size());
        rest = rest.substr(0, rest.find('@'));
    } else {
        return {};
    }
    // The application id escapes its own dashes (\x2d), so a plain dash ends the launcher.
    const auto dash = rest.rfind('-');
    if (dash != std::string_view::npos) rest.remove_prefix(dash + 1);
    return unescapeUnitName(rest);
}

std::string appIdFromCgroup(std::string_view text) {
    std::string unified;
    std::string legacy;
    forEachLine(text, [&](std::string_view line) {
        // hierarchy-id:controllers:path
        const auto first = line.find(':');
        if (first == std::string_view::npos) return false;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) return false;
        std::string_view path = line.substr(second + 1);
        std::string found;
        while (!path.empty() && found.empty()) {
            const auto slash = path.rfind('/');
            found = appIdFromUnit(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
            path = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
        }
        if (line.substr(0, second + 1) == "0::") {
            unified = std::move(found);
            return !unified.empty();
        }
        if (legacy.empty()) legacy = std::move(found);
        return false;
    });
    return unified.empty() ? legacy : unified;
}

}  // namespace zelk::probe::alsa
