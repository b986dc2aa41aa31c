// The audio input queries over the recorded HAL: which reads are made, with which sizes and
// initial buffers, and how failed or empty answers combine into the flag and the entry lists.
#include <gtest/gtest.h>

#include "audio.hpp"
#include "fakes/recorded_hal.hpp"

namespace zelk::probe {
namespace {

using testing::RecordedHal;
using Trace = std::vector<std::string>;

constexpr ObjectId DEVICE = 77;

// Every read uses global scope and element 0, and every data buffer starts zeroed (0 for a
// number, null for a reference, all zero for the list).
void expectPlainReads(const RecordedHal& hal) {
    for (const auto& r : hal.reads) {
        SCOPED_TRACE(RecordedHal::code(r.address.selector));
        EXPECT_EQ(r.address.scope, 0x676C6F62u);
        EXPECT_EQ(r.address.element, 0u);
        for (const auto b : r.initial) EXPECT_EQ(b, 0);
        if (r.address.selector != SEL_TRANSLATE_PID) {
            EXPECT_EQ(r.qualifier_size, 0u);
        }
    }
}

TEST(MicActive, DeviceAndRunningState) {
    struct Case {
        const char* name;
        void (*script)(RecordedHal&);
        bool active;
        Trace reads;
    };
    const Case cases[] = {
        {"default device read fails", [](RecordedHal& h) { h.fail(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE); }, false,
         {"get 1 dIn  4"}},
        {"default device is 0", [](RecordedHal& h) { h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, 0); }, false,
         {"get 1 dIn  4"}},
        {"running-state read fails",
         [](RecordedHal& h) {
             h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
             h.fail(DEVICE, SEL_IS_RUNNING_SOMEWHERE);
         },
         false, {"get 1 dIn  4", "get 77 gone 4"}},
        {"not running",
         [](RecordedHal& h) {
             h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
             h.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 0);
         },
         false, {"get 1 dIn  4", "get 77 gone 4"}},
        {"running (any non-zero value)",
         [](RecordedHal& h) {
             h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
             h.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 0x100);
         },
         true, {"get 1 dIn  4", "get 77 gone 4", "size 1 prs#"}},  // no process list: running is enough
        {"a headset only playing: no process runs input",
         [](RecordedHal& h) {
             h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
             h.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 1);
             h.list({10});
             h.u32(10, SEL_IS_RUNNING_INPUT, 0);
         },
         false, {"get 1 dIn  4", "get 77 gone 4", "size 1 prs#", "get 1 prs# 4", "get 10 piri 4"}},
        {"a process captures",
         [](RecordedHal& h) {
             h.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
             h.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 1);
             h.list({10, 11});
             h.u32(10, SEL_IS_RUNNING_INPUT, 0);
             h.process(11, 412, "a.b");
         },
         true, {"get 1 dIn  4", "get 77 gone 4", "size 1 prs#", "get 1 prs# 8", "get 10 piri 4", "get 11 piri 4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordedHal hal;
        c.script(hal);
        EXPECT_EQ(micActive(hal), c.active);
        EXPECT_EQ(hal.trace(), c.reads);
        expectPlainReads(hal);
    }
}

TEST(ProcessInputs, ListSizeAndListRead) {
    struct Case {
        const char* name;
        void (*script)(RecordedHal&);
        std::vector<InputEntry> entries;
        Trace reads;
    };
    const Case cases[] = {
        {"size query fails", [](RecordedHal& h) { h.listSize(8, -1); }, {}, {"size 1 prs#"}},
        {"size 0", [](RecordedHal& h) { h.listSize(0); }, {}, {"size 1 prs#"}},
        {"size 2: no list read", [](RecordedHal& h) { h.listSize(2); }, {}, {"size 1 prs#"}},
        {"list read fails",
         [](RecordedHal& h) {
             h.listSize(8);
             h.fail(SYSTEM_OBJECT, SEL_PROCESS_OBJECT_LIST);
         },
         {}, {"size 1 prs#", "get 1 prs# 8"}},
        {"size 6: one identifier read and examined",
         [](RecordedHal& h) {
             h.list({10, 11});
             h.listSize(6);
             h.process(10, 412, "a.b");
             h.process(11, 413, "c.d");
         },
         {{"a.b", 412}},
         {"size 1 prs#", "get 1 prs# 4", "get 10 piri 4", "get 10 ppid 4", "get 10 pbid 8"}},
        {"list shrank after the size query: unfilled places stay 0 and yield nothing",
         [](RecordedHal& h) {
             h.list({10});
             h.listSize(12);
             h.process(10, 412, "a.b");
         },
         {{"a.b", 412}},
         {"size 1 prs#", "get 1 prs# 12", "get 10 piri 4", "get 10 ppid 4", "get 10 pbid 8", "get 0 piri 4",
          "get 0 piri 4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordedHal hal;
        c.script(hal);
        EXPECT_EQ(processInputs(hal), c.entries);
        EXPECT_EQ(hal.trace(), c.reads);
        expectPlainReads(hal);
        EXPECT_EQ(hal.outstanding(), 0u);
    }
}

TEST(ProcessInputs, EntriesPerObject) {
    RecordedHal hal;
    hal.list({30, 20, 21, 22, 23, 24, 25});
    hal.process(30, 977, "z.last.first");    // HAL order is kept, not sorted by pid or id
    hal.u32(20, SEL_IS_RUNNING_INPUT, 0);     // not capturing
    hal.fail(21, SEL_IS_RUNNING_INPUT);       // running state unknown
    hal.process(22, 0, "x");                  // and its pid read fails:
    hal.fail(22, SEL_PROCESS_PID);
    hal.process(23, 500, std::nullopt);       // null reference
    hal.process(24, 501, std::nullopt);       // bundle read fails
    hal.fail(24, SEL_BUNDLE_ID);
    hal.process(25, 977, "z.last.first");     // the same pid again is a second entry

    const std::vector<InputEntry> expected = {
        {"z.last.first", 977}, {"x", 0}, {"", 500}, {"", 501}, {"z.last.first", 977}};
    EXPECT_EQ(processInputs(hal), expected);
    EXPECT_EQ(hal.trace(), (Trace{"size 1 prs#", "get 1 prs# 28", "get 30 piri 4", "get 30 ppid 4", "get 30 pbid 8",
                                  "get 20 piri 4", "get 21 piri 4", "get 22 piri 4", "get 22 ppid 4",
                                  "get 22 pbid 8", "get 23 piri 4", "get 23 ppid 4", "get 23 pbid 8",
                                  "get 24 piri 4", "get 24 ppid 4", "get 24 pbid 8", "get 25 piri 4",
                                  "get 25 ppid 4", "get 25 pbid 8"}));
    expectPlainReads(hal);
    // Each reference handed over was taken (copied and released) exactly once.
    EXPECT_EQ(hal.taken, (std::vector<std::string>{"z.last.first", "x", "z.last.first"}));
    EXPECT_EQ(hal.outstanding(), 0u);
    EXPECT_EQ(hal.bad_takes, 0);
}

TEST(PidInputs, Lookups) {
    RecordedHal hal;
    hal.translation(412, 10);
    hal.translation(413, 11);
    hal.translation(414, 0);          // no process object
    hal.translation(415, 12, -1);     // translation fails
    hal.translation(416, 13);
    hal.process(10, 9999, "a.b");     // the object's own pid differs from the one asked about
    hal.process(11, 413, std::nullopt);
    hal.u32(13, SEL_IS_RUNNING_INPUT, 0);
    hal.process(12, 415, "never");

    const std::vector<InputEntry> expected = {{"a.b", 412}, {"", 413}, {"a.b", 412}};
    EXPECT_EQ(pidInputs(hal, {412, 413, 414, 415, 416, 412, -7}), expected);
    EXPECT_EQ(hal.trace(), (Trace{"get 1 id2p(412) 4", "get 10 piri 4", "get 10 pbid 8", "get 1 id2p(413) 4",
                                  "get 11 piri 4", "get 11 pbid 8", "get 1 id2p(414) 4", "get 1 id2p(415) 4",
                                  "get 1 id2p(416) 4", "get 13 piri 4", "get 1 id2p(412) 4", "get 10 piri 4",
                                  "get 10 pbid 8", "get 1 id2p(-7) 4"}));
    expectPlainReads(hal);
    for (const auto& r : hal.reads)
        if (r.address.selector == SEL_TRANSLATE_PID) {
            EXPECT_EQ(r.qualifier_size, 4u);
        }
    EXPECT_EQ(hal.outstanding(), 0u);
}

TEST(PidInputs, EmptyListMakesNoRead) {
    RecordedHal hal;
    EXPECT_TRUE(pidInputs(hal, {}).empty());
    EXPECT_TRUE(hal.reads.empty());
}

}  // namespace
}  // namespace zelk::probe
