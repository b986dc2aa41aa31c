// The probe's output lines, byte for byte, and the JSON string literal its bundles are written in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "audio.hpp"

namespace zelk::probe {

// `text` as a JSON string literal with its quotation marks. The solidus is escaped ("\/"), as
// are '"', '\\' and U+0000..U+001F; other characters pass as UTF-8. Text that is not valid
// UTF-8 cannot be encoded and gives the empty literal "\"\"".
std::string jsonString(std::string_view text);

// {"mic_active": false}, without the line feed.
std::string shortLine(bool active);
// {"mic_active": true, "apps": [{"bundle": "a.b", "pid": 412}, ...]}, without the line feed.
std::string renderAppsLine(bool active, const std::vector<InputEntry>& entries);

}  // namespace zelk::probe
