// The library's root module: the two exports that are all frame, and the agent-session scan
// over a process's argument and environment strings.
#include "lib.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame.hpp"

namespace zelk {
namespace {

// A coding-agent run puts this variable into the environment of every process it starts.
constexpr std::string_view kSessionKey = "CLAUDE_CODE_SESSION_ID=";

constexpr bool session_byte(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
}

}  // namespace

// Each string on its own (a key in one string and a value in the next are never joined); in a
// string every occurrence of the key is tried, so "KEY=zz KEY=<id>" still yields the id.
std::optional<SessionId> find_session_id(std::span<const std::string_view> strings) {
    constexpr std::size_t id_bytes = std::tuple_size_v<SessionId>;
    for (const auto s : strings) {
        if (s.size() < kSessionKey.size()) continue;
        for (std::size_t at = s.find(kSessionKey); at != std::string_view::npos; at = s.find(kSessionKey, at + 1)) {
            const std::size_t value = at + kSessionKey.size();
            if (s.size() - value < id_bytes) break;  // later occurrences have even less room
            const auto candidate = s.substr(value, id_bytes);
            if (!std::all_of(candidate.begin(), candidate.end(), session_byte)) continue;
            SessionId id;
            std::memcpy(id.data(), candidate.data(), id_bytes);
            return id;
        }
    }
    return std::nullopt;
}

}  // namespace zelk

ZELK_API std::int32_t zelk_core_contract(void) noexcept { return 1; }

ZELK_API void zelk_core_free(std::uint8_t* buffer, std::size_t length) noexcept {
    if (buffer == nullptr || length == 0) return;
    std::free(buffer);  // result buffers come from the C allocator at their exact length
}
