// The probe's command line, its output bytes and its watch loop, over the recorded HAL and a
// fake process host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "fakes/fake_host.hpp"
#include "fakes/recorded_hal.hpp"
#include "output.hpp"

namespace zelk::probe {
namespace {

using testing::FakeHost;
using testing::RecordedHal;

constexpr ObjectId DEVICE = 77;

// An idle microphone; two capturing processes, the second without a bundle.
void idleWorld(RecordedHal& hal) {
    hal.u32(SYSTEM_OBJECT, SEL_DEFAULT_INPUT_DEVICE, DEVICE);
    hal.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 0);
    hal.list({10, 11});
    hal.process(10, 412, "a.b.recorder");
    hal.process(11, 977, std::nullopt);
    hal.translation(412, 10);
    hal.translation(413, 11);
}

Args argv(std::initializer_list<const char*> rest) {
    Args args{"vintrel"};
    for (const char* a : rest) args.emplace_back(a);
    return args;
}

TEST(CommandLine, OneShotOutputBytes) {
    const std::string all =
        "{\"mic_active\": false, \"apps\": [{\"bundle\": \"a.b.recorder\", \"pid\": 412}, {\"bundle\": \"\", \"pid\": "
        "977}]}\n";
    const struct {
        Args args;
        std::string output;
    } cases[] = {
        {argv({}), "{\"mic_active\": false}\n"},
        {argv({"--pids", "412"}), "{\"mic_active\": false}\n"},
        {argv({"--apps"}), all},
        {argv({"--apps", "--pids"}), all},
        {argv({"--apps", "--pids", ""}), "{\"mic_active\": false, \"apps\": []}\n"},
        {argv({"--apps", "--pids", "412,,abc,+413,-1, 7"}),
         "{\"mic_active\": false, \"apps\": [{\"bundle\": \"a.b.recorder\", \"pid\": 412}, {\"bundle\": \"\", \"pid\": "
         "413}]}\n"},
        {argv({"--pids", "--apps"}), "{\"mic_active\": false, \"apps\": []}\n"},
        {argv({"--watch=3"}), "{\"mic_active\": false}\n"},
        {argv({"--APPS", "-apps", "apps"}), "{\"mic_active\": false}\n"},
        {argv({"--pids", "412,413", "--apps", "--pids", "977"}),
         "{\"mic_active\": false, \"apps\": [{\"bundle\": \"a.b.recorder\", \"pid\": 412}, {\"bundle\": \"\", \"pid\": "
         "413}]}\n"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        RecordedHal hal;
        idleWorld(hal);
        FakeHost host;
        EXPECT_EQ(runProbe(c.args, hal, host), 0);
        ASSERT_EQ(host.lines.size(), 1u);
        EXPECT_EQ(host.lines[0], c.output);
        // One-shot output is written unchecked and leaves SIGPIPE alone.
        EXPECT_EQ(host.events, std::vector<std::string>{"put"});
        EXPECT_EQ(hal.outstanding(), 0u);
    }
}

TEST(CommandLine, ShortLineReadsNoProcesses) {
    RecordedHal hal;
    idleWorld(hal);
    FakeHost host;
    runProbe(argv({"--pids", "412"}), hal, host);
    EXPECT_EQ(hal.trace(), (std::vector<std::string>{"get 1 dIn  4", "get 77 gone 4"}));
}

TEST(CommandLine, PidsAreLookedUpInOrder) {
    RecordedHal hal;
    idleWorld(hal);
    FakeHost host;
    runProbe(argv({"--apps", "--pids", "412,,abc,+413,-1, 7"}), hal, host);
    std::vector<std::int32_t> asked;
    for (const auto& r : hal.reads)
        if (r.address.selector == SEL_TRANSLATE_PID) asked.push_back(*r.qualifier);
    EXPECT_EQ(asked, (std::vector<std::int32_t>{412, 413, -1}));
}

TEST(CommandLine, PidArg) {
    using Pids = std::vector<std::int32_t>;
    const struct {
        Args args;
        std::optional<Pids> pids;
    } cases[] = {
        {argv({}), std::nullopt},
        {argv({"--pids"}), std::nullopt},
        {argv({"--apps", "--pids"}), std::nullopt},
        {argv({"--pids", ""}), Pids{}},
        {argv({"--pids", ",,,"}), Pids{}},
        {argv({"--pids", "412,,abc,+413,-1, 7"}), Pids{412, 413, -1}},
        {argv({"--pids", "2147483647,-2147483648,2147483648,-2147483649"}), Pids{2147483647, -2147483647 - 1}},
        {argv({"--pids", "007,+0,-0,+,-,1.5,1e3,0x10,12 ,99999999999999999999"}), Pids{7, 0, 0}},
        {argv({"--pids", "1", "--pids", "2"}), Pids{1}},
        {argv({"--pids", "--pids", "2"}), Pids{}},
        {argv({"--Pids", "5"}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 2 ? c.args[2] : "(no value)");
        EXPECT_EQ(pidArg(c.args), c.pids);
    }
}

TEST(CommandLine, WatchInterval) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        Args args;
        double seconds;
    } cases[] = {
        {argv({"--watch"}), 5},        {argv({"--watch", "0.2"}), 1},   {argv({"--watch", "-3"}), 1},
        {argv({"--watch", "nan"}), 1}, {argv({"--watch", "NaN"}), 1},   {argv({"--watch", "2.5"}), 2.5},
        {argv({"--watch", "1e1"}), 10}, {argv({"--watch", "abc"}), 5},  {argv({"--watch", " 1"}), 5},
        {argv({"--watch", "\t1"}), 5}, {argv({"--watch", "1 "}), 5},    {argv({"--watch", ""}), 5},
        {argv({"--watch", "--apps"}), 5}, {argv({"--watch", "2", "--apps"}), 2},
        {argv({"--watch", "+3"}), 3},  {argv({"--watch", "0x1p3"}), 8}, {argv({"--watch", "inf"}), inf},
        {argv({"--watch", "1e999"}), inf}, {argv({"--watch", "1e-999"}), 1}, {argv({"--watch", "3", "--watch", "7"}), 3},
        {argv({"--watch", "1,5"}), 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 2 ? "[" + c.args[2] + "]" : "(no value)");
        EXPECT_EQ(watchInterval(c.args), c.seconds);
    }
}

TEST(Output, JsonString) {
    const struct {
        std::string text;
        std::string literal;
    } cases[] = {
        {"", "\"\""},
        {"a.b.recorder", "\"a.b.recorder\""},
        {"a/b", "\"a\\/b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
        {"\x7f ~", "\"\x7f ~\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\x99", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\x99\""},
        {"\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},  // U+10FFFF, the last code point
        // Text that is not UTF-8 cannot be encoded: the empty literal.
        {"ok\xff", "\"\""},
        {"\xc0\xaf", "\"\""},          // overlong "/"
        {"\xe0\x80\xaf", "\"\""},      // overlong, three bytes
        {"\xed\xa0\x80", "\"\""},      // a surrogate
        {"\xf4\x90\x80\x80", "\"\""},  // above U+10FFFF
        {"\xe2\x82", "\"\""},          // cut short
        {"\x80", "\"\""},              // a lone continuation byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.literal);
        EXPECT_EQ(jsonString(c.text), c.literal);
    }
}

// An independent decoder reads every literal back to the text it came from.
TEST(Output, JsonStringDecodesBack) {
    std::vector<std::string> texts;
    for (int c = 0; c < 0x80; ++c) texts.emplace_back(1, static_cast<char>(c));
    std::mt19937 random(7);
    const char32_t samples[] = {0x22, 0x2F, 0x5C, 0x0A, 0x00, 0x1F, 0x7F, 0xE9, 0x7FF, 0x800, 0x2028, 0xFFFD, 0xFFFF,
                                0x10000, 0x1F399, 0x10FFFF, 0x41};
    for (int n = 0; n < 200; ++n) {
        std::string text;
        for (int k = 0; k < 6; ++k) {
            const char32_t cp = samples[random() % std::size(samples)];
            if (cp < 0x80) {
                text += static_cast<char>(cp);
            } else if (cp < 0x800) {
                text += static_cast<char>(0xC0 | (cp >> 6));
                text += static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                text += static_cast<char>(0xE0 | (cp >> 12));
                text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                text += static_cast<char>(0xF0 | (cp >> 18));
                text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (cp & 0x3F));
            }
        }
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        const std::string literal = jsonString(text);
        SCOPED_TRACE(literal);
        EXPECT_EQ(nlohmann::json::parse(literal).get<std::string>(), text);
        for (std::size_t i = 0; i < literal.size(); ++i)
            if (literal[i] == '/') {
                EXPECT_EQ(literal[i - 1], '\\') << "a solidus left unescaped";
            }
    }
}

TEST(Output, Lines) {
    EXPECT_EQ(shortLine(true), "{\"mic_active\": true}");
    EXPECT_EQ(shortLine(false), "{\"mic_active\": false}");
    EXPECT_EQ(renderAppsLine(false, {}), "{\"mic_active\": false, \"apps\": []}");
    EXPECT_EQ(renderAppsLine(true, {{"a.b.recorder", 412}, {"", 977}}),
              "{\"mic_active\": true, \"apps\": [{\"bundle\": \"a.b.recorder\", \"pid\": 412}, {\"bundle\": \"\", "
              "\"pid\": 977}]}");
    EXPECT_EQ(renderAppsLine(false, {{"a/b", -2147483647 - 1}, {"x", 0}, {"y", -1}, {"z", 2147483647}}),
              "{\"mic_active\": false, \"apps\": [{\"bundle\": \"a\\/b\", \"pid\": -2147483648}, {\"bundle\": \"x\", "
              "\"pid\": 0}, {\"bundle\": \"y\", \"pid\": -1}, {\"bundle\": \"z\", \"pid\": 2147483647}]}");
}

TEST(WatchLoop, LineAtOnceThenOnePerIntervalUntilWriteFails) {
    RecordedHal hal;
    idleWorld(hal);
    FakeHost host;
    host.writes_before_failure = 2;
    EXPECT_EQ(runProbe(argv({"--watch", "2.5", "--apps"}), hal, host), 0);
    // SIGPIPE is ignored before the first line; two ticks with the same state both write; the
    // interval is slept in slices of at most a second.
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"ignore-pipe", "flush", "sleep 1.000000", "sleep 1.000000", "sleep 0.500000",
                                        "flush", "sleep 1.000000", "sleep 1.000000", "sleep 0.500000", "write-fails"}));
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_EQ(host.lines[0], host.lines[1]);
    EXPECT_EQ(host.lines[0].back(), '\n');
}

TEST(WatchLoop, EachTickReadsAfresh) {
    RecordedHal hal;
    idleWorld(hal);
    FakeHost host;
    host.writes_before_failure = 2;
    host.on_sleep = [&](FakeHost&) {
        hal.u32(DEVICE, SEL_IS_RUNNING_SOMEWHERE, 1);
        hal.list({});
    };
    runProbe(argv({"--watch", "1", "--pids"}), hal, host);
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_EQ(host.lines[1], "{\"mic_active\": true, \"apps\": []}\n");
    EXPECT_EQ(hal.outstanding(), 0u);
}

TEST(WatchLoop, EndsWhenTheParentGoes) {
    const struct {
        const char* name;
        std::int32_t parent_at_start;
        std::int32_t parent_later;  // from the first sleep on
        std::size_t lines;
    } cases[] = {
        {"parent already process 1 at start: one line", 1, 1, 1},
        {"handed to process 1", 4242, 1, 2},
        {"handed to a subreaper", 4242, 3131, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordedHal hal;
        idleWorld(hal);
        FakeHost host;
        host.parent = c.parent_at_start;
        host.on_sleep = [&](FakeHost& h) { h.parent = c.parent_later; };
        EXPECT_EQ(runProbe(argv({"--watch"}), hal, host), 0);
        EXPECT_EQ(host.lines.size(), c.lines);
        // Noticed after the first one-second slice of the five-second interval.
        EXPECT_EQ(host.sleeps, static_cast<int>(c.lines) - 1);
        if (host.sleeps > 0) {
            EXPECT_EQ(host.events[2], "sleep 1.000000");
        }
    }
}

}  // namespace
}  // namespace zelk::probe
