// The request handler over a scripted connection and a recording tool runner: replies, audit
// lines and tool runs for each kind of request, peer and read.
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_connection.hpp"
#include "fakes/fake_processes.hpp"
#include "fakes/recording_runner.hpp"
#include "audit.hpp"
#include "protocol.hpp"

namespace zelk::helper {
namespace {

using testing::FakeConnection;
using testing::RecordingRunner;
using Runs = std::vector<RecordingRunner::Run>;

const std::string OK = "{\"ok\":true}\n";
std::string failure(const std::string& word) { return "{\"ok\":false,\"err\":\"" + word + "\"}\n"; }

struct Served {
    std::string reply;
    std::vector<std::string> audits;
    Runs runs;
    FakeConnection conn;
    Handled outcome = Handled::Answered;
};

Served serve(FakeConnection conn, std::uint32_t consoleUid = 501, RecordingRunner tools = {}, bool replaced = false,
             testing::FakeProcesses processes = {}) {
    Served out;
    Tamer tamer(System::MacOS, tools, processes, nullptr);
    const HandlerContext ctx{tools, [&](const std::string& m) { out.audits.push_back(m); }, [&] { return replaced; }, tamer};
    out.outcome = handle(conn, consoleUid, ctx);
    out.reply = conn.sent;
    out.runs = tools.runs;
    out.conn = conn;
    return out;
}

Served serveText(const std::string& request, RecordingRunner tools = {}) {
    return serve(FakeConnection({request}), 501, std::move(tools));
}

TEST(ReplyLine, ExactBytes) {
    EXPECT_EQ(replyLine(true), "{\"ok\":true}\n");
    EXPECT_EQ(replyLine(false, ERR_BAD_PID), "{\"ok\":false,\"err\":\"bad-pid\"}\n");
    EXPECT_EQ(replyLine(false, ERR_FAILED), "{\"ok\":false,\"err\":\"\"}\n");
}

// Requests that run no tool: the reply and the exact audit lines.
TEST(Handle, RequestsWithoutTools) {
    struct Case {
        std::string request;
        std::string reply;
        std::vector<std::string> audits;
    };
    const std::vector<Case> cases = {
        {"{\"verb\":\"ping\"}\n", OK, {}},
        {" \t{\"verb\":\"ping\",\"extra\":[1,2]}\r\n ", OK, {}},
        {"[{\"verb\":\"ping\"}]", failure("bad-request"), {}},
        {"\"ping\"", failure("bad-request"), {}},
        {"ping", failure("bad-request"), {}},
        {"42", failure("bad-request"), {}},
        {"null", failure("bad-request"), {}},
        {"{\"verb\":\"ping\"", failure("bad-request"), {}},
        {"{\"verb\":\"ping\"}{\"verb\":\"ping\"}", failure("bad-request"), {}},
        // A key named twice, at any depth: a reader of the first would not see what the last says.
        {"{\"verb\":\"ping\",\"verb\":\"ease\",\"pid\":2}", failure("bad-request"), {}},
        {"{\"verb\":\"ping\",\"x\":[{\"a\":1,\"a\":1}]}", failure("bad-request"), {}},
        {"{}", failure("bad-request"), {}},
        {"{\"Verb\":\"ping\"}", failure("bad-request"), {}},
        {"{\"verb\":7}", failure("bad-request"), {}},
        {"{\"verb\":null}", failure("bad-request"), {}},
        {"{\"verb\":[\"ping\"]}", failure("bad-request"), {}},
        {"{\"verb\":\"\xff\"}", failure("bad-request"), {}},  // not UTF-8
        {std::string("{\"verb\":\"ping\"}\0", 16), failure("bad-request"), {}},
        {std::string("{\"verb\":\"ping\"}\0{", 17), failure("bad-request"), {}},
        {std::string("\0{\"verb\":\"ping\"}", 16), failure("bad-request"), {}},
        {"{\"verb\":\"PING\"}", failure("bad-verb"), {"refused verb=PING"}},
        {"{\"verb\":\"\"}", failure("bad-verb"), {"refused verb="}},
        {"{\"verb\":\"ping \"}", failure("bad-verb"), {"refused verb=ping "}},
        {"{\"verb\":\"h\\u00e9\\\\\"}", failure("bad-verb"), {"refused verb=h\\xc3\\xa9\\\\"}},
        // A verb cannot forge an audit line of its own.
        {"{\"verb\":\"x\\nzelk-helper: ease pid=9 -> ok\"}", failure("bad-verb"),
         {"refused verb=x\\x0azelk-helper: ease pid=9 -> ok"}},
        {"{\"verb\":\"a\\u0000b\\u007f\"}", failure("bad-verb"), {"refused verb=a\\x00b\\x7f"}},
        {"{\"verb\":\"power\"}", failure("bad-profile"), {"refused power profile=(absent)"}},
        {"{\"verb\":\"power\",\"profile\":5}", failure("bad-profile"), {"refused power profile=5"}},
        {"{\"verb\":\"power\",\"profile\":null}", failure("bad-profile"), {"refused power profile=null"}},
        {"{\"verb\":\"power\",\"profile\":\"Awake\"}", failure("bad-profile"), {"refused power profile=\"Awake\""}},
        {"{\"verb\":\"power\",\"profile\":\"default \"}", failure("bad-profile"),
         {"refused power profile=\"default \""}},
        {"{\"verb\":\"power\",\"profile\":\"\"}", failure("bad-profile"), {"refused power profile=\"\""}},
        {"{\"verb\":\"power\",\"profile\":[\"awake\"]}", failure("bad-profile"),
         {"refused power profile=[\\x22awake\\x22]"}},
        // A quote in the value cannot end the quoted text early.
        {"{\"verb\":\"power\",\"profile\":\"a\\\" b=\\\"c\"}", failure("bad-profile"),
         {"refused power profile=\"a\\x22 b=\\x22c\""}},
        {"{\"verb\":\"power\",\"profile\":\"a\\nb\"}", failure("bad-profile"), {"refused power profile=\"a\\x0ab\""}},
        {"{\"verb\":\"power\",\"Profile\":\"awake\"}", failure("bad-profile"), {"refused power profile=(absent)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const auto s = serveText(c.request);
        EXPECT_EQ(s.reply, c.reply);
        EXPECT_EQ(s.audits, c.audits);
        EXPECT_TRUE(s.runs.empty());
        EXPECT_EQ(s.conn.closes, 1);
        EXPECT_EQ(s.conn.sends, 1);
        for (const auto& line : s.audits) EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

// A backslash and n, a line feed, U+2028 and U+0085 look alike to some reader; each verb gives
// its own audit text, printable ASCII only.
TEST(Handle, LookAlikeVerbsGiveDistinctSingleLineAudits) {
    std::set<std::string> texts;
    for (const std::string verb : {"a\\\\nb", "a\\nb", "a\\u2028b", "a\\u0085b"}) {
        const auto s = serveText("{\"verb\":\"" + verb + "\"}");
        ASSERT_EQ(s.audits.size(), 1u) << verb;
        const std::string& text = s.audits[0];
        std::cout << "    " << verb << " -> " << auditLine(text);
        for (const char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << verb << ": byte " << int(c & 0xFF);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 4u);
}

// Every "pid" form: the pid that reaches the tools, or none (bad-pid, no audit line, no tool).
TEST(Handle, PidForms) {
    struct Case {
        std::string pid;  // the member's JSON text; empty: absent
        std::optional<std::int32_t> expected;
    };
    const std::vector<Case> cases = {
        {"42", 42},
        {"\"42\"", 42},
        {"\"+42\"", 42},
        {"42.9", 42},
        {"42.0", 42},
        {"\"0042\"", 42},
        {"1e2", 100},
        {"2", 2},
        {"2147483647", 2147483647},
        {"\"2147483647\"", 2147483647},
        {"2147483647.9", 2147483647},
        {"1", std::nullopt},
        {"0", std::nullopt},
        {"-0", std::nullopt},
        {"-5", std::nullopt},
        {"\"-5\"", std::nullopt},
        {"1.9", std::nullopt},
        {"-0.5", std::nullopt},
        {"\"abc\"", std::nullopt},
        {"\" 42\"", std::nullopt},
        {"\"42 \"", std::nullopt},
        {"\"4 2\"", std::nullopt},
        {"\"\"", std::nullopt},
        {"\"+\"", std::nullopt},
        {"\"-\"", std::nullopt},
        {"\"+-42\"", std::nullopt},
        {"\"0x2a\"", std::nullopt},
        {"\"42.0\"", std::nullopt},
        {"\"\\uff14\\uff12\"", std::nullopt},  // full-width digits are not ASCII digits
        {"\"2147483648\"", std::nullopt},
        {"\"99999999999999999999999\"", std::nullopt},
        {"true", std::nullopt},
        {"false", std::nullopt},
        {"null", std::nullopt},
        {"[42]", std::nullopt},
        {"{\"pid\":42}", std::nullopt},
        {"", std::nullopt},
        // Outside 32 bits: refused, never cut to the low 32 bits (2^32 + 5 would name pid 5).
        {"4294967301", std::nullopt},
        {"-4294967254", std::nullopt},
        {"2147483648", std::nullopt},
        {"9223372036854775807", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551621", std::nullopt},
        {"1e300", std::nullopt},
        {"-1e300", std::nullopt},
        {"2147483648.0", std::nullopt},
    };
    for (const std::string verb : {"ease", "restore"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(verb + " pid=" + c.pid);
            const std::string request =
                "{\"verb\":\"" + verb + "\"" + (c.pid.empty() ? "" : ",\"pid\":" + c.pid) + "}";
            const auto s = serveText(request);
            if (!c.expected) {
                EXPECT_EQ(s.reply, failure("bad-pid"));
                EXPECT_TRUE(s.audits.empty());
                EXPECT_TRUE(s.runs.empty());
                continue;
            }
            const std::string p = std::to_string(*c.expected);
            EXPECT_EQ(s.reply, OK);
            EXPECT_EQ(s.audits, std::vector<std::string>{verb + " pid=" + p + " -> ok"});
            // Restore without a record of ease changes nothing.
            const Runs expected = verb == "ease"
                                      ? Runs{{"/usr/sbin/taskpolicy", {"-b", "-p", p}}, {"/usr/bin/renice", {"10", "-p", p}}}
                                      : Runs{};
            EXPECT_EQ(s.runs, expected);
        }
    }
}

TEST(Handle, OperationResultsBecomeReplies) {
    struct Case {
        std::string request;
        std::map<std::string, bool> results;
        std::string reply;
        std::string audit;
    };
    const std::vector<Case> cases = {
        {"{\"verb\":\"ease\",\"pid\":42}", {}, OK, "ease pid=42 -> ok"},
        {"{\"verb\":\"ease\",\"pid\":42}", {{"/usr/sbin/taskpolicy", false}}, OK, "ease pid=42 -> ok"},
        {"{\"verb\":\"ease\",\"pid\":42}", {{"/usr/bin/renice", false}}, OK, "ease pid=42 -> ok"},
        {"{\"verb\":\"ease\",\"pid\":42}", {{"/usr/sbin/taskpolicy", false}, {"/usr/bin/renice", false}},
         failure(""), "ease pid=42 -> fail"},
        {"{\"verb\":\"restore\",\"pid\":\"77\"}", {{"/usr/sbin/taskpolicy", false}, {"/usr/bin/renice", false}},
         OK, "restore pid=77 -> ok"},
        {"{\"verb\":\"power\",\"profile\":\"awake\"}", {}, OK, "power profile=awake -> ok"},
        {"{\"verb\":\"power\",\"profile\":\"ac-low\"}", {{"/usr/bin/pmset", false}}, failure(""),
         "power profile=ac-low -> fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        RecordingRunner tools;
        tools.results = c.results;
        const auto s = serveText(c.request, tools);
        EXPECT_EQ(s.reply, c.reply);
        EXPECT_EQ(s.audits, std::vector<std::string>{c.audit});
    }
}

TEST(Handle, PeerCheckComesBeforeAnyRead) {
    struct Case {
        std::optional<std::uint32_t> peer;
        std::uint32_t console;
        bool served;
    };
    const std::vector<Case> cases = {
        {0, 501, true},  {501, 501, true},          {0, 0, true},
        {502, 501, false}, {501, 0, false},         {std::nullopt, 501, false},
        {std::nullopt, 0, false}, {65534, 501, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "peer " << (c.peer ? std::to_string(*c.peer) : "unknown") << " console "
                                          << c.console);
        FakeConnection conn({"{\"verb\":\"ease\",\"pid\":42}"});
        conn.uid = c.peer;
        const auto s = serve(conn, c.console);
        if (c.served) {
            EXPECT_EQ(s.reply, OK);
            EXPECT_EQ(s.conn.reads, 1);
            continue;
        }
        EXPECT_EQ(s.reply, failure("unauthorized"));
        EXPECT_EQ(s.conn.reads, 0);
        EXPECT_EQ(s.audits, std::vector<std::string>{c.peer ? "refused peer uid=" + std::to_string(*c.peer)
                                                            : "refused peer: credentials unreadable"});
        EXPECT_TRUE(s.runs.empty());
        EXPECT_EQ(s.conn.closes, 1);
    }
}

TEST(Handle, OneReadOnly) {
    // Nothing arrives: no reply, no line, closed.
    auto s = serve(FakeConnection());
    EXPECT_EQ(s.conn.sends, 0);
    EXPECT_TRUE(s.audits.empty());
    EXPECT_EQ(s.conn.closes, 1);

    // A request in two pieces: only the first is read.
    s = serve(FakeConnection({"{\"verb\":", "\"ping\"}"}));
    EXPECT_EQ(s.reply, failure("bad-request"));
    EXPECT_EQ(s.conn.reads, 1);

    // Longer than 512 bytes: cut there. Whitespace past the cut leaves a whole object...
    s = serve(FakeConnection({"{\"verb\":\"ping\"}" + std::string(600, ' ')}));
    EXPECT_EQ(s.reply, OK);
    // ...a long member does not.
    s = serve(FakeConnection({"{\"verb\":\"ping\",\"pad\":\"" + std::string(600, 'x') + "\"}"}));
    EXPECT_EQ(s.reply, failure("bad-request"));
    // Exactly 512 bytes still fit.
    const std::string head = "{\"verb\":\"ping\",\"pad\":\"";
    s = serve(FakeConnection({head + std::string(512 - head.size() - 2, 'x') + "\"}"}));
    EXPECT_EQ(s.reply, OK);
}

TEST(Handle, ReplacedExecutableEndsBeforeThePeerCheck) {
    const auto s = serve(FakeConnection({"{\"verb\":\"ping\"}"}), 501, {}, /*replaced=*/true);
    EXPECT_EQ(s.outcome, Handled::Replaced);
    EXPECT_EQ(s.conn.peerChecks, 0);
    EXPECT_EQ(s.conn.reads, 0);
    EXPECT_EQ(s.conn.sends, 0);
    EXPECT_TRUE(s.audits.empty());
}

}  // namespace
}  // namespace zelk::helper
