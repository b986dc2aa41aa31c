// zelk snapshot / selftest: the process census through the exported function, read back
// with the public decoder of zelk_stream.h.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <map>
#include <thread>

#include "args.hpp"
#include "census.hpp"
#include "runs.hpp"

namespace zelk::tool {

int take(Library& lib, Taken& out, std::string* error) {
    const auto failed = [&](int status, const std::string& message) {
        if (error == nullptr) return fail(status, running_command() + ": " + message);
        *error = message;
        return status;
    };
    std::uint8_t* p = nullptr;
    std::size_t n = 0;
    const std::int32_t code = lib.snapshot(&p, &n);
    if (code != ZELK_CORE_OK)
        return failed(exit_for_code(code), std::string("the census failed: ") + code_text(code) + " (code " +
                                               std::to_string(code) + ")");
    out.raw.assign(p, p + n);
    lib.free(p, n);
    if (const int rc = decode_snapshot(out.raw, out.snap); rc != ZELK_STREAM_OK)
        return failed(kExitFailure, std::string("the library returned a malformed ZELKSNP1 stream: ") + stream_rule(rc));
    return kExitOk;
}

int take_measured(Library& lib, Taken& out) {
    if (const int status = take(lib, out); status != kExitOk) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return take(lib, out);
}

namespace {

std::string session_text(const ProcessRecord& r) {
    return r.session_id ? std::string(r.session_id->begin(), r.session_id->end()) : std::string();
}

void print_row(const ProcessRecord& r, const char* indent, std::size_t width) {
    std::string cmd = r.command;
    if (width > 0 && cmd.size() > width) cmd.resize(width);
    std::printf("%s%7d %7u %6u %4d %6.1f %9.1f  %s\n", indent, r.pid, r.ppid, r.uid, r.nice, r.cpu_usage / 10.0,
                static_cast<double>(r.resident_bytes) / (1024.0 * 1024.0), cmd.c_str());
}

bool busier(const ProcessRecord* a, const ProcessRecord* b) {
    return a->cpu_usage != b->cpu_usage ? a->cpu_usage > b->cpu_usage : a->resident_bytes > b->resident_bytes;
}

// Agent runs first (each with its totals; "+" marks a process that inherits the run from an
// ancestor), then every other process, busiest first.
void print_table(const Snapshot& s, std::size_t max_rows, std::size_t width) {
    const auto runs = group_runs(s);
    std::vector<bool> in_run(s.records.size());
    std::printf("%zu processes, %" PRIu32 " readable, machine memory %.1f GiB, collected in %.2f ms\n", s.records.size(),
                static_cast<std::uint32_t>(std::count_if(s.records.begin(), s.records.end(),
                                                         [](const auto& r) { return r.flags & FLAG_INFO; })),
                static_cast<double>(s.mem_total) / (1u << 30), static_cast<double>(s.collect_ns) / 1e6);
    const char* header = "%s%7s %7s %6s %4s %6s %9s  %s\n";
    for (const auto& run : runs) {
        std::vector<std::pair<const ProcessRecord*, bool>> members;
        for (const std::size_t i : run.direct) members.emplace_back(&s.records[i], false);
        for (const std::size_t i : run.inherited) members.emplace_back(&s.records[i], true);
        std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return busier(a.first, b.first); });
        std::printf("\nagent run %s: %zu processes (%zu inherited), CPU %.1f%%, memory %.1f MiB, running %s\n",
                    run.session.c_str(), run.processes(), run.inherited.size(), static_cast<double>(run.cpu_usage) / 10.0,
                    static_cast<double>(run.resident_bytes) / (1024.0 * 1024.0),
                    duration_text(s.wall_sec - static_cast<std::int64_t>(run.start_sec)).c_str());
        std::printf(header, "  ", "PID", "PPID", "UID", "NI", "CPU%", "RSS MiB", "COMMAND");
        for (const auto& [r, inherited] : members) {
            in_run[static_cast<std::size_t>(r - s.records.data())] = true;
            print_row(*r, inherited ? " +" : "  ", width);
        }
    }
    std::vector<const ProcessRecord*> rows;
    for (std::size_t i = 0; i < s.records.size(); ++i)
        if (!in_run[i]) rows.push_back(&s.records[i]);
    std::stable_sort(rows.begin(), rows.end(), busier);
    std::printf("\n");
    std::printf(header, "", "PID", "PPID", "UID", "NI", "CPU%", "RSS MiB", "COMMAND");
    std::size_t shown = 0;
    for (const auto* r : rows) {
        if (max_rows > 0 && shown++ >= max_rows) break;
        print_row(*r, "", width);
    }
}

// One line per process; "run" names the agent run it belongs to, its own or an ancestor's.
void print_json(const Snapshot& s) {
    std::vector<const std::string*> run_of(s.records.size());
    const auto runs = group_runs(s);
    for (const auto& run : runs)
        for (const auto* members : {&run.direct, &run.inherited})
            for (const std::size_t i : *members) run_of[i] = &run.session;
    for (std::size_t i = 0; i < s.records.size(); ++i) {
        const auto& r = s.records[i];
        std::printf("{\"pid\":%d,\"ppid\":%u,\"uid\":%u,\"nice\":%d,\"flags\":%u,\"cpu_usage\":%u,"
                    "\"resident_bytes\":%" PRIu64 ",\"start_sec\":%" PRIu64 ",\"start_usec\":%u,\"tty\":%u,"
                    "\"command\":%s,\"session_id\":%s,\"run\":%s}\n",
                    r.pid, r.ppid, r.uid, r.nice, r.flags, r.cpu_usage, r.resident_bytes, r.start_sec, r.start_usec,
                    r.tty, json_string(r.command).c_str(),
                    r.session_id ? json_string(session_text(r)).c_str() : "null",
                    run_of[i] ? json_string(*run_of[i]).c_str() : "null");
    }
}

const CommandSpec snapshot_spec{
    "zelk snapshot [--json] [--raw FILE] [--once]",
    "Every process of one census, grouped by agent run: runs first, then the rest, busiest first.",
    {{"--json", nullptr, "JSON Lines: one object per process, with the run it belongs to"},
     {"--raw", "FILE", "also write the library's stream, as returned, to FILE"},
     {"--once", nullptr, "one collection only (on Linux its CPU figures are then 0)"}}};

int run_snapshot(Context& ctx) {
    const Parsed args = parse_args(snapshot_spec, ctx.args);
    Taken t;
    // --once shows a first collection alone (no usage window on Linux).
    if (const int status = args.has("--once") ? take(ctx.library(), t) : take_measured(ctx.library(), t);
        status != kExitOk)
        return status;
    if (const std::string* raw_path = args.value("--raw")) {
        // The file is closed (and its close checked: a full disk may show only then) before the table.
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(raw_path->c_str(), "wb"), &std::fclose);
        bool written = file && std::fwrite(t.raw.data(), 1, t.raw.size(), file.get()) == t.raw.size() &&
                       std::fflush(file.get()) == 0;
        int err = written ? 0 : errno;
        if (file && std::fclose(file.release()) != 0 && written) {
            written = false;
            err = errno;
        }
        if (!written) return fail(kExitFailure, "snapshot: cannot write " + *raw_path + ": " + std::strerror(err));
    }
    if (args.has("--json"))
        print_json(t.snap);
    else
        print_table(t.snap, 0, 160);
    return kExitOk;
}

const CommandSpec selftest_spec{"zelk selftest [--json]", "Runs the library's self-test.",
                                {{"--json", nullptr, "one JSON line: {\"selftest\":\"pass\"} or \"fail\""}}};

int run_selftest(Context& ctx) {
    const Parsed args = parse_args(selftest_spec, ctx.args);
    const std::int32_t result = ctx.library().selftest();
    if (args.has("--json"))
        std::printf("{\"selftest\":\"%s\"}\n", result == 1 ? "pass" : "fail");
    else
        std::printf("selftest: %s\n", result == 1 ? "pass" : "FAIL");
    return result == 1 ? kExitOk : kExitFailure;
}

const Registration snapshot_reg({"snapshot", "snapshot [--json] [--raw FILE] [--once]   every process, grouped by agent run", run_snapshot});
const Registration selftest_reg({"selftest", "selftest [--json]   run the library's self-test", run_selftest});

}  // namespace
}  // namespace zelk::tool
