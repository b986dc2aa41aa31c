// GPU client accounting and device statistics. Not built yet: both report a failed measurement.
#include "frame.hpp"

ZELK_API std::int32_t zelk_core_gpu_clients(std::uint8_t** out_ptr, std::size_t* out_len) noexcept {
    return zelk::export_buffer(out_ptr, out_len, []() -> zelk::CBuffer {
        throw zelk::MeasurementFailed("GPU clients not available");
    });
}

ZELK_API std::int32_t zelk_core_gpu_stats(std::int64_t* out_utilization, std::int64_t* out_memory) noexcept {
    return zelk::export_frame([]() -> std::int32_t { throw zelk::MeasurementFailed("GPU statistics not available"); },
                              out_utilization, out_memory);
}
