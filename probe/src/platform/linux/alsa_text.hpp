// Parsers for the text files behind the Linux audio source: ALSA substream status, a task's
// status, and the two places an application id can come from (Flatpak, systemd units).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::probe::alsa {

struct SubstreamStatus {
    bool open = false;
    bool running = false;
    std::int32_t owner_tid = 0;  // 0: not given
};

// /proc/asound/card<C>/pcm<D><c|p>/sub<S>/status: "closed", or "state: RUNNING" followed by
// "owner_pid   : 4242" and more "key: value" lines. nullopt for anything else.
std::optional<SubstreamStatus> parseSubstreamStatus(std::string_view text);

// The "Tgid:" field of /proc/<tid>/status: the process a thread belongs to.
std::optional<std::int32_t> parseTgid(std::string_view text);

// The number in a name such as "card12" (prefix "card") or "pcm3c" (prefix "pcm", suffix "c"):
// decimal digits only, no sign, at most 255.
std::optional<unsigned> parseIndexedName(std::string_view name, std::string_view prefix, std::string_view suffix);

// The "name=" key of the "[Application]" group of /proc/<pid>/root/.flatpak-info, or "".
std::string appIdFromFlatpakInfo(std::string_view text);

// The application id of a systemd desktop-app unit, "app[-<launcher>]-<AppID>-<random>.scope"
// or "app[-<launcher>]-<AppID>[@<random>].service", with systemd's \xNN escapes undone; "" for
// any other name.
std::string appIdFromUnit(std::string_view unit);

// The application id of the innermost desktop-app unit in /proc/<pid>/cgroup (the unified
// "0::" line first), or "".
std::string appIdFromCgroup(std::string_view text);

}  // namespace zelk::probe::alsa
