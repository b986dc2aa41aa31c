// decode_snapshot on arbitrary bytes: it must never read outside its input, and whatever it
// accepts must survive encode -> decode unchanged and encode to the same stream again.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "stream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = zelk::decode_snapshot({data, size});
    if (!decoded) return 0;
    const zelk::CBuffer again = zelk::encode_snapshot(*decoded);
    const auto back = zelk::decode_snapshot(again.bytes());
    if (!back || !(*back == *decoded)) std::abort();
    const zelk::CBuffer third = zelk::encode_snapshot(*back);
    if (third.size() != again.size() || std::memcmp(third.data(), again.data(), again.size()) != 0) std::abort();
    return 0;
}
