// The library's root module: the two exports that are all frame.
#include <cstdlib>

#include "frame.hpp"

ZELK_API std::int32_t zelk_core_contract(void) noexcept { return 1; }

ZELK_API void zelk_core_free(std::uint8_t* buffer, std::size_t length) noexcept {
    if (buffer == nullptr || length == 0) return;
    std::free(buffer);  // result buffers come from the C allocator at their exact length
}
