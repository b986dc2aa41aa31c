// The root module: the agent session scan over a process's argument and environment strings.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "stream.hpp"

namespace zelk {

// The 36 bytes after the first acceptable "CLAUDE_CODE_SESSION_ID=" in list order, or nullopt.
std::optional<SessionId> find_session_id(std::span<const std::string_view> strings);

}  // namespace zelk
