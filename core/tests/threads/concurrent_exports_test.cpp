// Eight threads call the census and the self-test at once for a few seconds; every stream must
// decode and every self-test pass. Four threads calling the census at once see a spinning child
// as one caller does. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "../live_children.hpp"
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

TEST(ConcurrentExports, FourCallersMeasureASpinningChild) {
    const testing::Spinner spinner;
    const pid_t busy = spinner.pid;
    ASSERT_GE(busy, 0);
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const double cpu_from = testing::cpu_seconds(busy);
    std::mutex m;
    std::vector<std::uint32_t> figures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (clock::now() - start < std::chrono::milliseconds(2000)) {
                std::uint8_t* p = nullptr;
                std::size_t n = 0;
                if (zelk_core_snapshot(&p, &n) != 0) continue;
                const auto s = decode_snapshot({p, n});
                zelk_core_free(p, n);
                if (!s || clock::now() - start < std::chrono::milliseconds(800)) continue;
                for (const auto& r : s->records)
                    if (r.pid == busy) {
                        std::lock_guard lock(m);
                        figures.push_back(r.cpu_usage);
                    }
            }
        });
    }
    for (auto& th : threads) th.join();
    const double share =
        (testing::cpu_seconds(busy) - cpu_from) / std::chrono::duration<double>(clock::now() - start).count();

    ASSERT_FALSE(figures.empty());
    std::sort(figures.begin(), figures.end());
    const double median = figures[figures.size() / 2];
    EXPECT_NEAR(median, share * 1000.0, 150.0) << figures.size() << " snapshots";
    EXPECT_GT(median, share * 500.0);
}

}  // namespace
}  // namespace zelk
