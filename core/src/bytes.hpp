// Bounds-checked little-endian access to untrusted bytes (kernel replies, streams, argument
// areas). A read outside the buffer throws BoundsViolation, which the export frame contains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <type_traits>

namespace zelk {

struct BoundsViolation : std::out_of_range {
    using std::out_of_range::out_of_range;
};

// True when [offset, offset + length) lies inside a buffer of `size` bytes, without overflow.
constexpr bool in_bounds(std::size_t size, std::size_t offset, std::size_t length) noexcept {
    return offset <= size && length <= size - offset;
}

inline std::span<const std::uint8_t> checked_sub(std::span<const std::uint8_t> bytes, std::size_t offset,
                                                 std::size_t length) {
    if (!in_bounds(bytes.size(), offset, length)) throw BoundsViolation("read past the end of a buffer");
    return bytes.subspan(offset, length);
}

template <class T>
T read_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
    static_assert(std::is_integral_v<T>);
    const auto window = checked_sub(bytes, offset, sizeof(T));
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<U>(value | (static_cast<U>(window[i]) << (8 * i)));
    return static_cast<T>(value);
}

template <class T>
void write_le(std::span<std::uint8_t> bytes, std::size_t offset, T value) {
    static_assert(std::is_integral_v<T>);
    if (!in_bounds(bytes.size(), offset, sizeof(T))) throw BoundsViolation("write past the end of a buffer");
    using U = std::make_unsigned_t<T>;
    const U v = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Appends little-endian fields and raw bytes to a buffer sized in advance; writing past the
// planned size throws instead of corrupting memory.
class ByteWriter {
public:
    explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}
    template <class T>
    void put(T value) {
        write_le(out_, pos_, value);
        pos_ += sizeof(T);
    }
    void put_bytes(std::span<const std::uint8_t> bytes) {
        if (!in_bounds(out_.size(), pos_, bytes.size())) throw BoundsViolation("write past the end of a buffer");
        if (!bytes.empty()) std::memcpy(out_.data() + pos_, bytes.data(), bytes.size());
        pos_ += bytes.size();
    }
    std::size_t position() const noexcept { return pos_; }

private:
    std::span<std::uint8_t> out_;
    std::size_t pos_ = 0;
};

}  // namespace zelk
