// Eight threads call the census and the self-test at once for a few seconds; every stream must
// decode and every self-test pass. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "stream.hpp"
#include "zelk_core.h"

namespace zelk {
namespace {

TEST(ConcurrentExports, SnapshotsAndSelftestsOverlap) {
    std::atomic<int> streams{0};
    std::atomic<int> failures{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (std::chrono::steady_clock::now() < until) {
                if (t % 2 == 0) {
                    std::uint8_t* p = nullptr;
                    std::size_t n = 0;
                    if (zelk_core_snapshot(&p, &n) != 0 || !decode_snapshot({p, n})) ++failures;
                    zelk_core_free(p, n);
                    ++streams;
                } else if (zelk_core_selftest() != 1) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(streams.load(), 0);
}

}  // namespace
}  // namespace zelk
