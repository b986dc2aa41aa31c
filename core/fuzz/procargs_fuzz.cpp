// The argument-area path on arbitrary bytes: parse_procargs, build_command and
// find_session_id. Every view lies inside the input, every command text is printable ASCII,
// and a found session id is 36 hex digits or hyphens that follow the key in one string.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lib.hpp"
#include "procargs.hpp"

namespace {

bool printable(std::string_view s) {
    for (const char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool session_byte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view whole(reinterpret_cast<const char*>(data), size);
    const std::string visible = zelk::to_visible(whole);
    if (!printable(visible) || visible.size() < size) std::abort();
    if (size < 4) return 0;  // the collector never passes a shorter area

    const zelk::ProcArgs p = zelk::parse_procargs({data, size});
    if (p.argc > p.strings.size()) std::abort();
    for (const auto s : p.strings) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(s.data());
        if (begin < data + 4 || begin + s.size() > data + size) std::abort();
        if (s.find('\0') != std::string_view::npos) std::abort();
    }
    if (p.argc == 0) return 0;
    const std::string command = zelk::build_command(std::span(p.strings).first(p.argc));
    if (!printable(command)) std::abort();
    if (const auto id = zelk::find_session_id(p.strings)) {
        const std::string_view value(id->data(), id->size());
        bool found = false;
        for (const auto s : p.strings)
            if (s.find("CLAUDE_CODE_SESSION_ID=" + std::string(value)) != std::string_view::npos) found = true;
        for (const char c : value)
            if (!session_byte(c)) std::abort();
        if (!found) std::abort();
    }
    return 0;
}
