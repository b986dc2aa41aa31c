// The export frame: pointer checks first, the barrier, out-locations only on 0, hand-over.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "frame.hpp"
#include "zelk_core.h"

namespace zelk {
namespace {

TEST(ExportFrame, NullPointersComeFirstAndNothingRuns) {
    int a = 0;
    int b = 0;
    bool ran = false;
    auto body = [&] {
        ran = true;
        return 0;
    };
    EXPECT_EQ(export_frame(body, static_cast<int*>(nullptr), &b), -3);
    EXPECT_EQ(export_frame(body, &a, static_cast<int*>(nullptr)), -3);
    EXPECT_FALSE(ran);
    EXPECT_EQ(export_frame(body, &a, &b), 0);
    EXPECT_TRUE(ran);
}

TEST(ExportFrame, FaultsBecomeCodesAndOutputsStayUntouched) {
    std::uint8_t sentinel = 0;
    std::uint8_t* ptr = &sentinel;
    std::size_t len = 77;
    struct Case {
        const char* name;
        std::function<CBuffer()> produce;
        std::int32_t want;
    };
    const Case cases[] = {
        {"measurement failed", []() -> CBuffer { throw MeasurementFailed("x"); }, -4},
        {"panic", []() -> CBuffer { throw std::logic_error("x"); }, -1},
        {"a bounds violation is a panic", []() -> CBuffer { return CBuffer::allocate(std::vector<int>(2).at(5)); }, -1},
        {"not even an exception type", []() -> CBuffer { throw 42; }, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(export_buffer(&ptr, &len, c.produce), c.want);
        EXPECT_EQ(ptr, &sentinel);
        EXPECT_EQ(len, 77u);
    }
}

TEST(ExportFrame, HandsOverTheBufferAtItsLength) {
    std::uint8_t* ptr = nullptr;
    std::size_t len = 0;
    ASSERT_EQ(export_buffer(&ptr, &len,
                            [] {
                                auto b = CBuffer::allocate(5);
                                std::memcpy(b.data(), "abcde", 5);
                                return b;
                            }),
              0);
    ASSERT_NE(ptr, nullptr);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::memcmp(ptr, "abcde", 5), 0);
    zelk_core_free(ptr, len);
}

TEST(ExportFrame, FreeIgnoresNullAndZeroLength) {
    zelk_core_free(nullptr, 100);
    auto b = CBuffer::allocate(8);
    zelk_core_free(b.data(), 0);  // does nothing: the buffer is still ours and still valid
    b.data()[7] = 1;
    EXPECT_EQ(zelk_core_contract(), 1);
}

}  // namespace
}  // namespace zelk
