// The request handler. The peer is checked before anything is read; the one read is parsed with
// nlohmann-json, and the "pid" forms are applied on top of the parsed value.
#include "protocol.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zelk::helper {
namespace {

using json = nlohmann::json;

constexpr std::int64_t INT32_LO = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t INT32_HI = std::numeric_limits<std::int32_t>::max();

// "+42", "-7", "0042": an optional sign, then one or more ASCII digits, nothing else.
std::optional<std::int32_t> pidFromText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > INT32_HI + 1) return std::nullopt;  // stays far from overflow on long digit runs
    }
    if (negative) value = -value;
    if (value < INT32_LO || value > INT32_HI) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The "pid" member: an integer within 32 bits, a finite number strictly between -2147483649 and
// 2147483648 (truncated toward zero), or a string as above; nullopt for anything else. An
// integer outside 32 bits is refused, never cut to its low 32 bits, which would name a
// different process than the request did.
std::optional<std::int32_t> pidFromValue(const json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT32_HI)) return std::nullopt;
        return static_cast<std::int32_t>(u);
    }
    if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        if (i < INT32_LO || i > INT32_HI) return std::nullopt;
        return static_cast<std::int32_t>(i);
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || d <= -2147483649.0 || d >= 2147483648.0) return std::nullopt;
        return static_cast<std::int32_t>(std::trunc(d));
    }
    if (v.is_string()) return pidFromText(v.get_ref<const std::string&>());
    return std::nullopt;
}

// "start": the process's start time in microseconds since the epoch, a non-negative JSON
// integer. Absent: nullopt in `start`; present in any other form: false.
bool startMember(const json& request, std::optional<std::uint64_t>& start) {
    const auto it = request.find("start");
    if (it == request.end()) return true;
    if (it->is_number_unsigned()) {
        start = it->get<std::uint64_t>();
        return true;
    }
    if (it->is_number_integer() && it->get<std::int64_t>() >= 0) {
        start = static_cast<std::uint64_t>(it->get<std::int64_t>());
        return true;
    }
    return false;
}

std::optional<std::int32_t> pidMember(const json& request) {
    const auto it = request.find("pid");
    if (it == request.end()) return std::nullopt;
    return pidFromValue(*it);
}

// nlohmann-json stops at a NUL byte as if the text ended there; JSON text never holds one
// (control characters in strings must be escaped), so such bytes are not JSON at all. An object
// that names a key twice is refused too: the parser keeps the last one, which a reader checking
// the first would not see.
json parseRequest(std::string_view bytes) {
    if (bytes.find('\0') != std::string_view::npos) return json(json::value_t::discarded);
    std::vector<std::vector<std::string>> keys;  // of each object open at the moment
    bool duplicate = false;
    const json::parser_callback_t track = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) keys.emplace_back();
        if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
        if (event == json::parse_event_t::key && !keys.empty()) {
            const auto& key = parsed.get_ref<const std::string&>();
            duplicate = duplicate || std::find(keys.back().begin(), keys.back().end(), key) != keys.back().end();
            keys.back().push_back(key);
        }
        return true;
    };
    try {
        json request = json::parse(bytes.begin(), bytes.end(), track, /*allow_exceptions=*/false);
        return duplicate ? json(json::value_t::discarded) : request;
    } catch (...) {
        return json(json::value_t::discarded);
    }
}

// The "profile" member as received, for the refusal line: "(absent)" when missing, a string in
// double quotes, any other value in its JSON form. Control bytes are escaped.
std::string profileDescription(const json& request) {
    const auto it = request.find("profile");
    if (it == request.end()) return "(absent)";
    if (it->is_string()) return "\"" + escapeRequestText(it->get_ref<const std::string&>()) + "\"";
    return escapeRequestText(it->dump(-1, ' ', false, json::error_handler_t::replace));
}

// Closes the connection on every way out of `handle`.
struct CloseOnExit {
    Connection& conn;
    ~CloseOnExit() { conn.close(); }
};

}  // namespace

std::string replyLine(bool ok, std::string_view errorWord) {
    if (ok) return "{\"ok\":true}\n";
    std::string line = "{\"ok\":false,\"err\":\"";
    line.append(errorWord).append("\"}\n");
    return line;
}

Handled handle(Connection& conn, std::uint32_t consoleUid, const HandlerContext& ctx) {
    CloseOnExit closer{conn};
    if (ctx.replaced && ctx.replaced()) return Handled::Replaced;

    bool replied = false;
    const auto reply = [&](bool ok, std::string_view word) {
        conn.send(replyLine(ok, word));
        replied = true;
    };
    try {
        const auto peer = conn.peerUid();
        if (!peer || (*peer != 0 && *peer != consoleUid)) {
            ctx.audit(peer ? "refused peer uid=" + std::to_string(*peer) : std::string("refused peer: credentials unreadable"));
            reply(false, ERR_UNAUTHORIZED);
            return Handled::Answered;
        }

        std::array<char, REQUEST_MAX_BYTES> buffer{};
        const std::ptrdiff_t n = conn.read(buffer);
        if (n <= 0) return Handled::Answered;
        const std::size_t got = std::min(static_cast<std::size_t>(n), buffer.size());

        const json request = parseRequest(std::string_view(buffer.data(), got));
        if (!request.is_object()) {
            reply(false, ERR_BAD_REQUEST);
            return Handled::Answered;
        }
        const auto verbIt = request.find("verb");
        if (verbIt == request.end() || !verbIt->is_string()) {
            reply(false, ERR_BAD_REQUEST);
            return Handled::Answered;
        }
        const std::string& verb = verbIt->get_ref<const std::string&>();

        if (verb == "ping") {
            reply(true, {});
        } else if (verb == "power") {
            const auto it = request.find("profile");
            if (it == request.end() || !it->is_string() ||
                !POWER_PROFILES.contains(it->get_ref<const std::string&>())) {
                ctx.audit("refused power profile=" + profileDescription(request));
                reply(false, ERR_BAD_PROFILE);
                return Handled::Answered;
            }
            const std::string& profile = it->get_ref<const std::string&>();
            ctx.tools.startRequest();
            const PowerResult result = power(ctx.tamer.system(), ctx.tools, profile, ctx.powerSources);
            const bool ok = result == PowerResult::Ok;
            const bool unsupported = result == PowerResult::Unsupported;
            ctx.audit("power profile=" + profile + " -> " + (ok ? "ok" : unsupported ? "unsupported" : "fail"));
            reply(ok, unsupported ? ERR_UNSUPPORTED : ERR_FAILED);
        } else if (verb == "ease" || verb == "restore") {
            const auto pid = pidMember(request);
            std::optional<std::uint64_t> start;
            if (!pid || *pid < 2 || !startMember(request, start)) {
                reply(false, ERR_BAD_PID);
                return Handled::Answered;
            }
            ctx.tools.startRequest();
            const TameResult result = verb == "ease" ? ctx.tamer.ease(*pid, start) : ctx.tamer.restore(*pid, start);
            const std::string named = start ? " start=" + std::to_string(*start) : std::string();
            const std::string_view word = result == TameResult::Gone      ? ERR_GONE
                                          : result == TameResult::Refused ? ERR_BAD_PID
                                          : result == TameResult::Full    ? ERR_FULL
                                                                          : ERR_FAILED;
            const std::string_view outcome = result == TameResult::Ok ? "ok" : word.empty() ? "fail" : word;
            ctx.audit(verb + " pid=" + std::to_string(*pid) + named + " -> " + std::string(outcome));
            reply(result == TameResult::Ok, word);
        } else {
            ctx.audit("refused verb=" + escapeRequestText(verb));
            reply(false, ERR_BAD_VERB);
        }
    } catch (...) {
        // Nothing escapes a request: an unexpected fault (out of memory) is a request we could
        // not take.
        if (!replied) conn.send(replyLine(false, ERR_BAD_REQUEST));
    }
    return Handled::Answered;
}

}  // namespace zelk::helper
