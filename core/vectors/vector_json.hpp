// The expected decoding of a conformance vector as JSON Lines: a header line, then one line per
// record. The generator writes it from what it encoded; the vectors check from what it decoded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "iokit_gpu.hpp"
#include "stream.hpp"

namespace zelk::vectors {

// A JSON string of printable ASCII (a command or a session id): quote and backslash escaped.
// Anything else would be a text the library never writes: it becomes "\u00XX" so that a
// difference shows.
inline std::string json_text(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b > 0x7E) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", b);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Bytes as lower-case hexadecimal: the creator text is the platform's bytes, not always UTF-8.
inline std::string hex_text(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out + "\"";
}

// valid_count is the header field as written: the C++ decoder does not keep it.
inline std::string snapshot_jsonl(const Snapshot& s, std::uint32_t valid_count) {
    std::string out = "{\"stream\":\"ZELKSNP1\",\"records\":" + std::to_string(s.records.size()) +
                      ",\"mem_total\":" + std::to_string(s.mem_total) + ",\"wall_sec\":" + std::to_string(s.wall_sec) +
                      ",\"wall_usec\":" + std::to_string(s.wall_usec) + ",\"valid_count\":" +
                      std::to_string(valid_count) + ",\"collect_ns\":" + std::to_string(s.collect_ns) + "}\n";
    for (const ProcessRecord& r : s.records) {
        out += "{\"pid\":" + std::to_string(r.pid) + ",\"ppid\":" + std::to_string(r.ppid) +
               ",\"uid\":" + std::to_string(r.uid) + ",\"nice\":" + std::to_string(r.nice) +
               ",\"flags\":" + std::to_string(r.flags) + ",\"cpu_usage\":" + std::to_string(r.cpu_usage) +
               ",\"resident_bytes\":" + std::to_string(r.resident_bytes) +
               ",\"start_sec\":" + std::to_string(r.start_sec) + ",\"start_usec\":" + std::to_string(r.start_usec) +
               ",\"tty\":" + std::to_string(r.tty) + ",\"command\":" + json_text(r.command) + ",\"session_id\":" +
               (r.session_id ? json_text({r.session_id->data(), r.session_id->size()}) : std::string("null")) +
               "}\n";
    }
    return out;
}

inline std::string gpu_jsonl(std::span<const GpuClient> clients) {
    std::string out = "{\"stream\":\"ZELKGPU1\",\"records\":" + std::to_string(clients.size()) + "}\n";
    for (const GpuClient& c : clients)
        out += "{\"registry_id\":" + std::to_string(c.registry_id) + ",\"gpu_time\":" + std::to_string(c.gpu_time) +
               ",\"creator_hex\":" + hex_text(c.creator) + "}\n";
    return out;
}

// A stream a reader must refuse: the decoder's code and the number of the rule it breaks.
inline std::string reject_jsonl(std::string_view magic, int code, int rule) {
    return "{\"stream\":\"" + std::string(magic) + "\",\"reject\":" + std::to_string(code) +
           ",\"rule\":" + std::to_string(rule) + "}\n";
}

}  // namespace zelk::vectors
