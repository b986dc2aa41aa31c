// The Linux audio source: ALSA's capture substreams in procfs, presented through the HAL's
// object model so that the probe's reads stay the same on every system.
#pragma once

#include <memory>
#include <string>

#include "../../audio.hpp"

namespace zelk::probe {

// Object identifiers: the system object 1, capture device 0x10000 | card << 8 | device, process
// 0x40000000 | tgid. Every read looks at procfs afresh, except that the substreams are walked
// once per output line (AudioHal::beginLine to endLine). `proc_root` is
// "/proc" on a live system and a prepared directory in tests.
std::unique_ptr<AudioHal> makeAlsaHal(std::string proc_root);

inline constexpr ObjectId DEVICE_OBJECT_BASE = 0x10000;
inline constexpr ObjectId PROCESS_OBJECT_BASE = 0x40000000;

}  // namespace zelk::probe
