// The /proc text parsers of the Linux process source, over texts as the kernel writes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/procfs_parse.hpp"

namespace zelk {
namespace {

// A stat line with the given name and fields 3.. as text.
std::string stat_line(const std::string& comm, const std::string& rest) { return "4242 (" + comm + ") " + rest + "\n"; }
const std::string kFields =
    "S 17 4242 4242 34816 4242 4194304 120 0 0 0 37 12 0 0 20 -5 3 0 987654 12345678 321 18446744073709551615 1 1 0 0 "
    "0 0 0 0 0 0 0 0 17 1 0 0 0 0 0";

TEST(ProcStat, FieldsAfterTheLastParenthesis) {
    struct Case {
        const char* name;
        std::string comm;
        std::string want_comm;
    };
    const Case cases[] = {
        {"plain", "bash", "bash"},
        {"a name with ) and spaces", "a) (b c)", "a) (b c)"},
        {"a kernel thread name past 16 bytes", "kworker/0:0-virtio_vsock", "kworker/0:0-virt"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto st = parse_proc_stat(stat_line(c.comm, kFields));
        ASSERT_TRUE(st);
        EXPECT_EQ(std::string(st->comm.data(), strnlen(st->comm.data(), 16)), c.want_comm);
        EXPECT_EQ(st->ppid, 17u);
        EXPECT_EQ(st->tty_nr, 34816);
        EXPECT_FALSE(st->kernel_thread);
        EXPECT_EQ(st->utime_ticks, 37u);
        EXPECT_EQ(st->stime_ticks, 12u);
        EXPECT_EQ(st->nice, -5);
        EXPECT_EQ(st->num_threads, 3);
        EXPECT_EQ(st->start_ticks, 987654u);
        EXPECT_EQ(st->rss_pages, 321u);
    }
}

TEST(ProcStat, KernelThreadsNegativeTtyAndBrokenLines) {
    std::string kthread = kFields;
    kthread.replace(kthread.find("4194304"), 7, "2129984");  // PF_KTHREAD | others
    const auto k = parse_proc_stat(stat_line("kthreadd", kthread));
    ASSERT_TRUE(k);
    EXPECT_TRUE(k->kernel_thread);

    std::string tty = kFields;
    tty.replace(tty.find("34816"), 5, "-1");
    EXPECT_EQ(parse_proc_stat(stat_line("x", tty))->tty_nr, -1);

    for (const std::string& bad : {std::string(""), std::string("4242 bash S 1"), std::string("4242 (x"),
                                   std::string("4242 )x( S 1 2 3"), stat_line("x", "S 17 4242 4242 34816"),
                                   stat_line("x", kFields.substr(0, kFields.find(" 987654"))),
                                   stat_line("x", "S x 4242 4242 34816 4242 4194304 120 0 0 0 37 12 0 0 20 -5 3 0 1 2 3")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_proc_stat(bad));
    }
}

// The image hash moves with what exec replaces, and not with CPU time.
TEST(ProcStat, ImageMovesWithTheProgram) {
    const auto image = [](const std::string& comm, const std::string& from, const std::string& to) {
        std::string fields = kFields;
        fields.replace(fields.find(from), from.size(), to);
        return parse_proc_stat(stat_line(comm, fields))->image;
    };
    const auto before = image("sh", " 37 12 ", " 37 12 ");
    EXPECT_EQ(image("sh", " 37 12 ", " 38 12 "), before);
    EXPECT_NE(image("sleep", " 37 12 ", " 37 12 "), before);         // the name
    EXPECT_NE(image("sh", " 1 1 0 ", " 1 4096 0 "), before);         // the end of the code
    EXPECT_NE(image("sh", " 4194304 ", " 4194368 "), before);        // forked, not yet exec'd
    EXPECT_NE(image("sh", " 12345678 ", " 12345679 "), before);      // the virtual size
}

TEST(ProcTexts, BtimeSchedstatAndPidNames) {
    EXPECT_EQ(parse_btime("cpu  1 2 3\nintr 5\nbtime 1796794120\nprocesses 9\n"), 1796794120u);
    EXPECT_EQ(parse_btime("cpu 1\nbtime x\n"), 0u);
    EXPECT_EQ(parse_btime("cpu 1\n"), 0u);
    EXPECT_EQ(parse_schedstat("123456789 2000 7\n"), 123456789u);
    EXPECT_FALSE(parse_schedstat("\n"));
    EXPECT_FALSE(parse_schedstat("-1 2 3"));
    EXPECT_EQ(parse_pid_name("4242"), 4242);
    for (const char* bad : {"", "0", "042", "self", "12a", "-1", "2147483648", "99999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse_pid_name(bad), 0);
    }
}

TEST(Cmdline, TrailingNulsAndUnterminatedStrings) {
    struct Case {
        const char* name;
        std::string got;
        std::string want;
        std::size_t count;
    };
    const Case cases[] = {
        {"ordinary", std::string("ls\0-l\0", 6), std::string("ls\0-l\0", 6), 2},
        {"setproctitle padding", std::string("worker: idle\0\0\0\0\0\0", 18), std::string("worker: idle\0", 13), 1},
        {"unterminated last string", std::string("title over env", 14), std::string("title over env\0", 15), 1},
        {"empty argument inside kept", std::string("a\0\0b\0", 5), std::string("a\0\0b\0", 5), 3},
        {"leading empty arguments dropped", std::string("\0\0-v\0", 5), std::string("-v\0", 3), 1},
        {"only NULs: no argument", std::string("\0\0\0", 3), std::string(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> area(c.got.begin(), c.got.end());
        area.push_back(0xEE);  // the spare byte
        const auto shape = finish_cmdline(area, c.got.size());
        EXPECT_EQ(std::string(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(shape.length)), c.want);
        EXPECT_EQ(shape.count, c.count);
    }
}

}  // namespace
}  // namespace zelk
