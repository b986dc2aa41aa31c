// The console user on a Linux desktop, from logind's state files: the active session of seat0,
// when it is a user's session (the login screen's greeter session counts as nobody, uid 0).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::helper::sys {

// The value of `key` in a file of KEY=VALUE lines (the last one wins); nullopt when absent.
std::optional<std::string> keyValue(std::string_view text, std::string_view key);

// `seat`: the text of /run/systemd/seats/seat0. `session`: reads /run/systemd/sessions/<id>
// (nullopt when it cannot). nullopt: logind says nothing usable; fall back to /dev/console.
std::optional<std::uint32_t> activeSeatUid(std::string_view seat,
                                           const std::function<std::optional<std::string>(const std::string&)>& session);

}  // namespace zelk::helper::sys
