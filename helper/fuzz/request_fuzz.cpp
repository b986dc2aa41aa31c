// libFuzzer target for the request handler: arbitrary request bytes from every kind of peer,
// with tool results chosen by the input; checks the reply, the audit lines and the tool runs.
//
// Input: byte 0 picks the peer (bits 0-1: root, the console user, another uid, unreadable) and
// the tool results (bit 2 taskpolicy, bit 3 renice, bit 4 pmset: set means it fails); the rest
// is what the one read returns (cut at 512 bytes, as the handler's buffer is).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_connection.hpp"
#include "fakes/fake_processes.hpp"
#include "fakes/recording_runner.hpp"
#include "profiles.hpp"
#include "protocol.hpp"

namespace {

using zelk::helper::testing::FakeConnection;
using zelk::helper::testing::FakeProcesses;
using zelk::helper::testing::RecordingRunner;

constexpr std::uint32_t CONSOLE = 501;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "request fuzz: %s\n", what);
    std::abort();
}

// A pid argument as the tools receive it: decimal, no sign, at least 2, within 32 bits.
bool plausiblePidText(const std::string& p) {
    if (p.empty() || p.size() > 10 || p[0] == '0') return false;
    for (const char c : p)
        if (c < '0' || c > '9') return false;
    const long long v = std::stoll(p);
    return v >= 2 && v <= 2147483647LL;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    FakeConnection conn;
    if (size > 1) conn.chunks.emplace_back(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (control & 3) {
        case 0: conn.uid = 0; break;
        case 1: conn.uid = CONSOLE; break;
        case 2: conn.uid = CONSOLE + 1; break;
        default: conn.uid = std::nullopt;
    }
    RecordingRunner tools;
    tools.results = {{"/usr/sbin/taskpolicy", (control & 4) == 0},
                     {"/usr/bin/renice", (control & 8) == 0},
                     {"/usr/bin/pmset", (control & 16) == 0}};
    std::vector<std::string> audits;
    FakeProcesses processes;
    processes.endDuringTools = (control & 32) != 0;
    zelk::helper::Tamer tamer(zelk::helper::System::MacOS, tools, processes, nullptr);
    const zelk::helper::HandlerContext ctx{tools, [&](const std::string& m) { audits.push_back(m); }, [] { return false; },
                                           tamer};

    check(zelk::helper::handle(conn, CONSOLE, ctx) == zelk::helper::Handled::Answered, "not answered");
    check(conn.closes == 1, "connection not closed exactly once");
    check(conn.sends <= 1 && conn.reads <= 1, "more than one read or send");
    static const std::set<std::string> replies = {
        "{\"ok\":true}\n",
        "{\"ok\":false,\"err\":\"\"}\n",
        "{\"ok\":false,\"err\":\"unauthorized\"}\n",
        "{\"ok\":false,\"err\":\"bad-request\"}\n",
        "{\"ok\":false,\"err\":\"bad-verb\"}\n",
        "{\"ok\":false,\"err\":\"bad-profile\"}\n",
        "{\"ok\":false,\"err\":\"bad-pid\"}\n",
        "{\"ok\":false,\"err\":\"gone\"}\n",
    };
    check(conn.sends == 0 || replies.contains(conn.sent), "unexpected reply");
    if ((control & 3) >= 2) {
        check(conn.sent == "{\"ok\":false,\"err\":\"unauthorized\"}\n", "foreign peer served");
        check(conn.reads == 0 && audits.size() == 1 && tools.runs.empty(), "foreign peer read, ran or not logged once");
    }
    check(audits.size() <= 1, "more than one audit line");
    for (const auto& line : audits)
        for (const char c : line) check(c >= 0x20 && c < 0x7F, "audit line byte outside printable ASCII");
    check(tools.runs.size() <= 2, "more than two tool runs");
    for (const auto& run : tools.runs) {
        if (run.path == "/usr/bin/pmset") {
            bool known = false;
            for (const auto& [name, args] : zelk::helper::POWER_PROFILES) known = known || args == run.args;
            check(known && tools.runs.size() == 1, "pmset run outside the profile table");
        } else {
            check(run.path == "/usr/sbin/taskpolicy" || run.path == "/usr/bin/renice", "unknown tool");
            check(run.args.size() == 3 && run.args[1] == "-p" && plausiblePidText(run.args[2]), "bad priority arguments");
        }
    }
    return 0;
}
