// The request protocol: one JSON object of at most 512 bytes in, one reply line out, per
// connection; `handle` checks the peer, reads, parses, runs the operation and audits it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audit.hpp"
#include "profiles.hpp"
#include "taming.hpp"

namespace zelk::helper {

inline constexpr std::size_t REQUEST_MAX_BYTES = 512;

// Error words of a failure reply. The empty word means that the operation ran and failed.
inline constexpr std::string_view ERR_UNAUTHORIZED = "unauthorized";
inline constexpr std::string_view ERR_BAD_REQUEST = "bad-request";
inline constexpr std::string_view ERR_BAD_VERB = "bad-verb";
inline constexpr std::string_view ERR_BAD_PROFILE = "bad-profile";
inline constexpr std::string_view ERR_BAD_PID = "bad-pid";
// The process named is not there: no such pid, or not the one that started at "start".
inline constexpr std::string_view ERR_GONE = "gone";
// Nothing on this machine applies power profiles (Linux: no power-profiles-daemon answers).
inline constexpr std::string_view ERR_UNSUPPORTED = "unsupported";
// ease found no room for another record.
inline constexpr std::string_view ERR_FULL = "full";
inline constexpr std::string_view ERR_FAILED = "";

// {"ok":true}\n, or {"ok":false,"err":"WORD"}\n; the word is one of the constants above.
std::string replyLine(bool ok, std::string_view errorWord = {});

// One accepted connection, as `handle` uses it.
class Connection {
public:
    virtual ~Connection() = default;
    virtual std::optional<std::uint32_t> peerUid() = 0;
    // One read; 0 or less when nothing arrived (closed, failed, timed out).
    virtual std::ptrdiff_t read(std::span<char> buffer) = 0;
    // One send of all the bytes; a failed or short send is not reported.
    virtual void send(std::string_view bytes) = 0;
    virtual void close() = 0;
};

struct HandlerContext {
    ToolRunner& tools;
    AuditFn audit;
    // Whether the helper's executable has changed since start-up.
    std::function<bool()> replaced;
    // Ease and restore, with what they recorded; its system decides the power tools too.
    Tamer& tamer;
    // The machine's power sources, for the power profiles of battery settings (macOS).
    PowerSources powerSources = {};
};

enum class Handled {
    Answered,  // the connection is closed (with or without a reply)
    Replaced,  // the executable changed: nothing was read or answered; the helper must end
};

// Serves one connection and closes it. `consoleUid` is the console user read for it.
Handled handle(Connection& conn, std::uint32_t consoleUid, const HandlerContext& ctx);

}  // namespace zelk::helper
