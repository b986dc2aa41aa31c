// The console uid on Linux. "/dev/console" always belongs to root there (logind never hands it
// over), so the active user session of seat0 decides first, and the device's owner after it.
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/linux/logind.hpp"
#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

constexpr const char* SEAT0_FILE = "/run/systemd/seats/seat0";
constexpr const char* SESSIONS_DIR = "/run/systemd/sessions/";
constexpr std::size_t MAX_STATE_FILE_BYTES = 64 * 1024;

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(MAX_STATE_FILE_BYTES, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Decimal digits only, within 32 bits; (uid_t)-1 means "no uid" to the kernel.
std::optional<std::uint32_t> parseUid(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v >= 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

// Session ids are short names like "2" or "c1"; anything else must not become a path.
bool plausibleSessionId(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    for (const char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> keyValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
            found = std::string(line.substr(key.size() + 1));
    }
    return found;
}

std::optional<std::uint32_t> activeSeatUid(std::string_view seat,
                                           const std::function<std::optional<std::string>(const std::string&)>& session) {
    const auto active = keyValue(seat, "ACTIVE");
    if (!active || !plausibleSessionId(*active)) return std::nullopt;
    const auto sessionText = session(*active);
    if (!sessionText) return std::nullopt;
    // A greeter, lock screen or background session is nobody at the console.
    if (keyValue(*sessionText, "CLASS") != std::optional<std::string>("user")) return 0u;
    if (auto uid = keyValue(seat, "ACTIVE_UID")) return parseUid(*uid);
    if (auto uid = keyValue(*sessionText, "UID")) return parseUid(*uid);
    return std::nullopt;
}

std::uint32_t consoleUid() {
    if (const auto seat = readSmallFile(SEAT0_FILE)) {
        const auto uid = activeSeatUid(*seat, [](const std::string& id) { return readSmallFile(SESSIONS_DIR + id); });
        if (uid) return *uid;
    }
    struct stat st {};
    if (::stat("/dev/console", &st) != 0) return 0;
    return static_cast<std::uint32_t>(st.st_uid);
}

}  // namespace zelk::helper::sys
