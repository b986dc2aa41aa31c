// The Linux GPU registry over folder roots, so that tests can point it at recorded /proc and
// /sys trees: DRM usage statistics per client, sysfs and the GPU vendor library per device.
#pragma once

#include <memory>
#include <string>

#include "../gpu_registry.hpp"

namespace zelk {

struct DrmRoots {
    std::string proc = "/proc";
    std::string sys = "/sys";
    bool vendor_library = true;  // ask libnvidia-ml.so.1 for device figures when it loads
};

std::unique_ptr<GpuRegistry> make_drm_registry(DrmRoots roots);

}  // namespace zelk
