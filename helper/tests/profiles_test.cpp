// The power profiles and priority operations over a recording runner, and the real runner over
// small system programs: exit statuses, argument passing, descriptors and the time limit.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fakes/fake_processes.hpp"
#include "fakes/recording_runner.hpp"
#include "profiles.hpp"
#include "taming.hpp"

namespace zelk::helper {
namespace {

using testing::RecordingRunner;
using Args = std::vector<std::string>;

// The table as the product defines it, written out independently of the code's table.
const std::vector<std::pair<std::string, Args>> EXPECTED_PROFILES = {
    {"awake", {"-b", "displaysleep", "0", "sleep", "0", "disksleep", "0", "lowpowermode", "0"}},
    {"conserve", {"-b", "displaysleep", "2", "sleep", "0", "disksleep", "0", "lowpowermode", "1"}},
    {"default", {"-b", "displaysleep", "3", "sleep", "1", "disksleep", "10", "lowpowermode", "0"}},
    {"awake-hp", {"-b", "displaysleep", "0", "sleep", "0", "disksleep", "0", "powermode", "0"}},
    {"conserve-hp", {"-b", "displaysleep", "2", "sleep", "0", "disksleep", "0", "powermode", "1"}},
    {"default-hp", {"-b", "displaysleep", "3", "sleep", "1", "disksleep", "10", "powermode", "0"}},
    {"powermode-0", {"-b", "powermode", "0"}},
    {"powermode-1", {"-b", "powermode", "1"}},
    {"powermode-2", {"-b", "powermode", "2"}},
    {"ac-auto", {"-c", "powermode", "0"}},
    {"ac-boost", {"-c", "powermode", "2"}},
    {"ac-low", {"-c", "powermode", "1"}},
};

TEST(Power, EachProfileRunsPmsetOnceWithItsArguments) {
    EXPECT_EQ(POWER_PROFILES.size(), EXPECTED_PROFILES.size());
    for (const auto& [name, args] : EXPECTED_PROFILES) {
        SCOPED_TRACE(name);
        RecordingRunner tools, desktop;
        EXPECT_EQ(power(System::MacOS, tools, name, [] { return std::optional(Args{"InternalBattery"}); }), PowerResult::Ok);
        // pmset -b applies nothing without an internal battery: no tool runs, "unsupported".
        EXPECT_EQ(power(System::MacOS, desktop, name, [] { return std::optional(Args{"UPS"}); }),
                  args[0] == "-b" ? PowerResult::Unsupported : PowerResult::Ok);
        EXPECT_EQ(desktop.runs.size(), args[0] == "-b" ? 0u : 1u);
        ASSERT_EQ(tools.runs.size(), 1u);
        EXPECT_EQ(tools.runs[0].path, "/usr/bin/pmset");
        EXPECT_EQ(tools.runs[0].args, args);

        tools.results["/usr/bin/pmset"] = false;
        EXPECT_EQ(power(System::MacOS, tools, name), PowerResult::Failed);
    }
}

TEST(Power, NamesOutsideTheTableRunNothing) {
    const std::vector<std::string> names = {"Awake", "AWAKE", "default ", " default", "awake\n", "", "powermode-3",
                                            "ac", std::string("awake\0", 6)};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        RecordingRunner tools;
        EXPECT_EQ(power(System::MacOS, tools, name), PowerResult::Failed);
        EXPECT_EQ(power(System::Linux, tools, name), PowerResult::Failed);
        EXPECT_TRUE(tools.runs.empty());
    }
}

TEST(Priority, TwoToolsInOrderEitherMaySucceed) {
    struct Case {
        bool policyOk, reniceOk, expected;
    };
    for (const auto& c : {Case{true, true, true}, Case{false, true, true}, Case{true, false, true},
                          Case{false, false, false}}) {
        SCOPED_TRACE(::testing::Message() << "taskpolicy " << c.policyOk << " renice " << c.reniceOk);
        RecordingRunner tools;
        tools.results = {{"/usr/sbin/taskpolicy", c.policyOk}, {"/usr/bin/renice", c.reniceOk}};
        testing::FakeProcesses processes;
        Tamer tamer(System::MacOS, tools, processes, nullptr);
        EXPECT_EQ(tamer.ease(4242, std::nullopt) == TameResult::Ok, c.expected);
        processes.procs[4242] = {processes.procs[4242].start, 10, 1};  // what the tools did
        EXPECT_EQ(tamer.restore(4242, std::nullopt), TameResult::Ok);  // what was changed, or nothing to do
        std::vector<RecordingRunner::Run> expected = {
            {"/usr/sbin/taskpolicy", {"-b", "-p", "4242"}},
            {"/usr/bin/renice", {"10", "-p", "4242"}},
        };
        if (c.policyOk) expected.push_back({"/usr/sbin/taskpolicy", {"-B", "-p", "4242"}});  // restore: only what ease changed
        if (c.reniceOk) expected.push_back({"/usr/bin/renice", {"0", "-p", "4242"}});
        EXPECT_EQ(tools.runs, expected);
    }
}

TEST(Power, LinuxProfilesThroughPowerProfilesDaemon) {
    const std::string ctl = "/usr/bin/powerprofilesctl", saver = "power-saver", balanced = "balanced";
    const std::vector<std::string> expected = {balanced, saver, balanced, balanced, saver, balanced,
                                               balanced, saver, "performance", balanced, "performance", saver};
    for (std::size_t i = 0; i < EXPECTED_PROFILES.size(); ++i) {
        RecordingRunner tools;
        EXPECT_EQ(power(System::Linux, tools, EXPECTED_PROFILES[i].first), PowerResult::Ok);
        EXPECT_EQ(tools.runs, (std::vector<RecordingRunner::Run>{{ctl, {"set", expected[i]}}})) << EXPECTED_PROFILES[i].first;
    }
    RecordingRunner noDaemon;
    noDaemon.results[ctl] = false;
    EXPECT_EQ(power(System::Linux, noDaemon, "awake"), PowerResult::Unsupported);
}

// What only a fake shows: a start within the clock step or not, a process that ended while the
// tools ran, a missing process with and without "start"; and the record file's parser.
TEST(Taming, IdentityChecksAndRecordFile) {
    RecordingRunner tools;
    testing::FakeProcesses procs;
    procs.gone.insert(51);
    Tamer tamer(System::Linux, tools, procs, nullptr);
    EXPECT_EQ(tamer.ease(50, 1'700'000'000'005'000), TameResult::Ok);
    EXPECT_EQ(tamer.ease(50, 1'700'000'000'010'000), TameResult::Gone);
    EXPECT_EQ(tamer.ease(51, std::nullopt), TameResult::Failed);
    EXPECT_EQ(tamer.ease(51, 1), TameResult::Gone);
    procs.endDuringTools = true;
    EXPECT_EQ(tamer.ease(52, std::nullopt), TameResult::Gone);
    EXPECT_EQ(encodeRecords(tamer.records()), "50 1700000000000000 50 0 0\n");  // nothing of a process gone
    // An older helper's lines (four fields) and this one's; a last line without its line feed is cut.
    std::size_t skipped = 0;
    EXPECT_EQ(decodeRecords("50 7 5 -\nbad\n3 x 1 1\n1 5 5 5\n60 9 - -\n61 9 1 2 3 4\n-4 9 1 1\n63 9 63 5 - 64 - 1\n64 9 64 - 1", &skipped),
              (std::vector<EaseRecord>{{50, 7, {{50, 5, std::nullopt}}, true}, {63, 9, {{63, 5, std::nullopt}, {64, std::nullopt, 1}}, false}}));
    EXPECT_EQ(skipped, 7u);
}

// A table with no room answers Full, having run nothing.
TEST(Taming, FullTableRunsNothing) {
    RecordingRunner tools;
    testing::FakeProcesses procs;
    Tamer full(System::Linux, tools, procs, nullptr);
    for (std::int32_t pid = 50; pid < 50 + static_cast<std::int32_t>(MAX_RECORDS); ++pid) full.ease(pid, std::nullopt);
    const auto runs = tools.runs.size();
    EXPECT_EQ(full.ease(9999, std::nullopt), TameResult::Full);
    EXPECT_EQ(tools.runs.size(), runs);
}

TEST(SpawnToolRunner, ExitStatusDecides) {
    SpawnToolRunner tools;
    EXPECT_TRUE(tools.runTool("/usr/bin/true", {}));
    EXPECT_FALSE(tools.runTool("/usr/bin/false", {}));
    EXPECT_FALSE(tools.runTool("/nonexistent/tool", {}));
    EXPECT_FALSE(tools.runTool("/etc/passwd", {}));  // not executable
    // Arguments arrive one by one, in order, untouched by any shell.
    EXPECT_TRUE(tools.runTool("/usr/bin/test", {"a b", "=", "a b"}));
    EXPECT_FALSE(tools.runTool("/usr/bin/test", {"a b", "=", "a  b"}));
    EXPECT_TRUE(tools.runTool("/usr/bin/test", {"$(false)", "=", "$(false)"}));
}

TEST(SpawnToolRunner, ToolSeesOnlyStandardInputAndTheNullDevice) {
    if (::access("/dev/fd", F_OK) != 0) GTEST_SKIP() << "needs /dev/fd";
    // A descriptor of ours without close-on-exec must not reach the tool.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    SpawnToolRunner tools;
    EXPECT_FALSE(tools.runTool("/usr/bin/test", {"-e", "/dev/fd/" + std::to_string(leaked)}));
    EXPECT_TRUE(tools.runTool("/usr/bin/test", {"/dev/fd/1", "-ef", "/dev/null"}));
    EXPECT_TRUE(tools.runTool("/usr/bin/test", {"/dev/fd/2", "-ef", "/dev/null"}));
    ::close(leaked);
}

TEST(SpawnToolRunner, ToolPastTheLimitIsKilled) {
    SpawnToolRunner tools(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tools.runTool("/bin/sleep", {"20"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(tools.runTool("/bin/sleep", {"0.01"}));
}

}  // namespace
}  // namespace zelk::helper
