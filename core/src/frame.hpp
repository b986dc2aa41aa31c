// The export frame: pointer checks, the panic barrier and the hand-over of result buffers.
// Every export of the C interface goes through these few templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#if defined(__GNUC__)
#define ZELK_API extern "C" __attribute__((visibility("default")))
#else
#define ZELK_API extern "C"
#endif

namespace zelk {

inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kNoSuchInterface = 1;
inline constexpr std::int32_t kPanic = -1;
inline constexpr std::int32_t kNullPointer = -3;
inline constexpr std::int32_t kMeasurementFailed = -4;

// A platform query failed or gave nothing usable: the operation is abandoned with -4.
struct MeasurementFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs an export's body; any exception becomes a code instead of crossing the C boundary.
template <class Body>
std::int32_t guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const MeasurementFailed&) {
        return kMeasurementFailed;
    } catch (...) {
        return kPanic;
    }
}

// A code-returning export: every pointer argument is checked before anything else is done,
// then the body runs under the barrier. The body writes its out-locations last, only on 0.
template <class Body, class... Ptrs>
std::int32_t export_frame(Body&& body, const Ptrs*... ptrs) noexcept {
    if (((ptrs == nullptr) || ...)) return kNullPointer;
    return guarded(std::forward<Body>(body));
}

// A heap block from the C allocator at its exact length, owned until handed to the host.
class CBuffer {
public:
    CBuffer() = default;
    CBuffer(CBuffer&& o) noexcept : data_(std::move(o.data_)), size_(std::exchange(o.size_, 0)) {}
    CBuffer& operator=(CBuffer&& o) noexcept {
        data_ = std::move(o.data_);
        size_ = std::exchange(o.size_, 0);
        return *this;
    }
    static CBuffer allocate(std::size_t length) {
        // malloc(0) may give null or a unique pointer; a stream always has a header, so a
        // zero length never reaches the host, but keep the block non-null either way.
        void* p = std::calloc(length == 0 ? 1 : length, 1);
        if (p == nullptr) throw std::bad_alloc();
        CBuffer b;
        b.data_.reset(static_cast<std::uint8_t*>(p));
        b.size_ = length;
        return b;
    }
    std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }
    // Gives up ownership: the host releases the block with zelk_core_free.
    std::uint8_t* release() noexcept {
        size_ = 0;
        return data_.release();
    }

private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
};

// A buffer-returning export: `produce` builds the whole stream; the length is stored, then the
// address, and only after nothing can throw any more.
template <class Produce>
std::int32_t export_buffer(std::uint8_t** out_ptr, std::size_t* out_len, Produce&& produce) noexcept {
    return export_frame(
        [&]() -> std::int32_t {
            CBuffer buffer = std::forward<Produce>(produce)();
            const std::size_t length = buffer.size();
            *out_len = length;
            *out_ptr = buffer.release();
            return kOk;
        },
        out_ptr, out_len);
}

}  // namespace zelk
