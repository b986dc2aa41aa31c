// GPU client accounting and device statistics: the registry walk, the totalling, the
// ZELKGPU1 stream and the figure selection, over any GpuRegistry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame.hpp"
#include "platform/gpu_registry.hpp"

namespace zelk {

struct GpuClient {
    std::string creator;  // the creator text up to its first NUL, as bytes
    std::uint64_t registry_id = 0;
    std::uint64_t gpu_time = 0;  // in the platform's unit (nanoseconds on Linux)
};

struct GpuStats {
    std::int64_t utilization = -1;  // -1: not available
    std::int64_t memory = -1;
};

inline constexpr std::size_t kGpuHeaderBytes = 12;
inline constexpr std::size_t kGpuRecordFixedBytes = 20;

// The total of the positive integer kGpuTimeKey values in an AppUsage array, saturating at
// 2^64 - 1; 0 for anything that is not a non-empty array.
std::uint64_t sum_app_usage(const RegistryValue& app_usage);

// Every distinct user client below every accelerator, in accelerator then child order. Throws
// MeasurementFailed when the accelerators or one accelerator's children cannot be listed.
std::vector<GpuClient> collect_gpu_clients(GpuRegistry& registry);

// The ZELKGPU1 stream of `clients`, in a buffer of exactly its length.
CBuffer encode_gpu_clients(std::span<const GpuClient> clients);

// Reads a ZELKGPU1 stream back; nullopt when it is not exactly one well-formed stream.
std::optional<std::vector<GpuClient>> decode_gpu_clients(std::span<const std::uint8_t> stream);

// Each figure from the first accelerator that gives it as an integer of 0 or more; a negative
// integer is kept until a later accelerator gives one. Throws MeasurementFailed when the
// accelerators cannot be listed.
GpuStats select_gpu_stats(GpuRegistry& registry);

}  // namespace zelk
