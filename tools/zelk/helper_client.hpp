// One request to zelk-helper over its socket, as the application sends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelk::tool {

inline constexpr const char* kHelperSocket = "/var/run/app.morvitan.zelk.helper.sock";
inline constexpr const char* kHelperOk = "{\"ok\":true}\n";
// The process named by pid and start time is not there (it ended, or its pid is another's now).
inline constexpr const char* kHelperGone = "{\"ok\":false,\"err\":\"gone\"}\n";

// An ease or restore request for the process at `pid` that started at `start_usec`
// (microseconds since the epoch, as the census reports it): the helper acts on that process
// only and answers "gone" for another one at the same pid.
inline std::string taming_request(const std::string& verb, std::int32_t pid, std::uint64_t start_usec) {
    return "{\"verb\":\"" + verb + "\",\"pid\":" + std::to_string(pid) + ",\"start\":" +
           std::to_string(start_usec) + "}";
}

// Sends `request` and reads the reply until the helper closes. True with the reply line in
// `reply`; false with the reason in `error` (no connection, nothing sent, no reply).
bool helper_exchange(const std::string& socket_path, const std::string& request, std::string& reply,
                     std::string& error);

// Parses --socket PATH / --socket=PATH at args[i] (advancing i past a separate value); false
// when args[i] is not that option.
bool socket_option(const std::vector<std::string>& args, std::size_t& i, std::string& socket_path);

}  // namespace zelk::tool
