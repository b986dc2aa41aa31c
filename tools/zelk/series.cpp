// Counter widening and label bounds of the exporter.
#include "series.hpp"

namespace zelk::tool {

std::uint64_t WidenedCounter::update(std::uint64_t reading) {
    if (!seen_) {
        seen_ = true;
        last_ = total_ = reading;
        return total_;
    }
    std::uint64_t delta = 0;
    if (bits_ < 64) {
        const std::uint64_t mask = (std::uint64_t{1} << bits_) - 1;
        delta = (reading - last_) & mask;
    } else {
        delta = reading >= last_ ? reading - last_ : reading;
    }
    last_ = reading;
    total_ += delta;
    return total_;
}

std::string bounded_label(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    constexpr std::size_t kEllipsis = 3;
    std::size_t cut = max_bytes > kEllipsis ? max_bytes - kEllipsis : 0;
    // Back off continuation bytes (10xxxxxx) so that the cut falls before a sequence's first byte.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + std::string("...").substr(0, max_bytes - cut < kEllipsis ? max_bytes - cut : kEllipsis);
}

}  // namespace zelk::tool
