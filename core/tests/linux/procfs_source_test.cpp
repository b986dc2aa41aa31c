// The Linux process source over a recorded /proc: a directory laid out as /proc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "macos.hpp"
#include "platform/linux/procfs_source.hpp"

namespace zelk {
namespace {

void put(const std::filesystem::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A /proc/stat as long as a large machine's (its interrupt counts come first).
std::string proc_stat(std::uint64_t btime) {
    std::string text = "cpu  8 0 4 900 2 0 1 0 0 0\nintr 123456789";
    for (int irq = 0; irq < 8000; ++irq) text += " 0";
    return text + "\nctxt 4242\nbtime " + std::to_string(btime) + "\nprocesses 99\n";
}

// The boot time is read at each collection: after a clock step moved it, start times count from
// the new one, and every cached process is read again under its new start time.
TEST(ProcfsSource, StartTimesFollowTheBootTimeOfEachCollection) {
    std::string root = (std::filesystem::temp_directory_path() / "zelk-procfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(root.data()), nullptr);
    std::filesystem::create_directory(root + "/42");
    // Started 1234 clock ticks after boot.
    put(root + "/42/stat", "42 (worker) S 1 42 42 0 -1 4194304 10 0 0 0 5 3 0 0 20 0 1 0 1234 1000 20 0 0 0 0\n");
    put(root + "/42/cmdline", std::string("worker\0--x\0", 11));
    const int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const auto tck = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
    ProcessCache cache;
    for (const std::uint64_t btime : {1'800'000'000ull, 1'800'000'000ull, 1'800'000'007ull}) {
        SCOPED_TRACE(btime);
        put(root + "/stat", proc_stat(btime));
        const Snapshot s = collect_snapshot(*open_procfs_at(dir), cache);
        ASSERT_EQ(s.records.size(), 1u);
        EXPECT_EQ(s.records[0].start_sec, btime + 1234 / tck);
        EXPECT_EQ(s.records[0].start_usec, 1234 % tck * (1'000'000 / tck));
        EXPECT_EQ(s.records[0].command, "worker --x");
    }
    ::close(dir);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace zelk
