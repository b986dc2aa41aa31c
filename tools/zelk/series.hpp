// What the exporter does to figures before they become series: platform counters widened to
// 64 bits that never go backwards, and label values cut to a bounded length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelk::tool {

// A counter that the platform reports in `bits` bits (32 for macOS's interface counters),
// widened to a 64-bit counter that never goes backwards. A reading below the last one is a wrap
// of the platform's counter (bits < 64: the difference is taken modulo 2^bits) or, for a 64-bit
// counter, a reset (the interface was made again): counting goes on from the new reading.
class WidenedCounter {
public:
    explicit WidenedCounter(unsigned bits) : bits_(bits) {}
    std::uint64_t update(std::uint64_t reading);
    std::uint64_t total() const { return total_; }

private:
    unsigned bits_;
    bool seen_ = false;
    std::uint64_t last_ = 0;
    std::uint64_t total_ = 0;
};

// `text` cut to at most `max_bytes` bytes without splitting a UTF-8 sequence; a cut text ends
// in "..." (within the bound).
std::string bounded_label(const std::string& text, std::size_t max_bytes);

}  // namespace zelk::tool
