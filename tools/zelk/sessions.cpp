// zelk sessions [--json]: one row per agent run; zelk ease|restore --session ID: one helper
// request per process of a run.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "args.hpp"
#include "census.hpp"
#include "helper_client.hpp"
#include "runs.hpp"

namespace zelk::tool {
namespace {

double mib(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

std::string json_pids(const Snapshot& s, const std::vector<std::size_t>& members) {
    std::string out = "[";
    for (const std::size_t i : members) {
        if (out.size() > 1) out += ",";
        out += std::to_string(s.records[i].pid);
    }
    return out + "]";
}

const CommandSpec sessions_spec{"zelk sessions [--json]",
                                "One row per agent run: processes, CPU, memory, GPU time and age, busiest first.",
                                {{"--json", nullptr, "JSON Lines: one object per run"}}};

int run_sessions(Context& ctx) {
    const bool json = parse_args(sessions_spec, ctx.args).has("--json");
    auto& lib = ctx.library();
    Taken t;
    if (const int status = take_measured(lib, t); status != kExitOk) return status;
    // GPU time is shown where the platform reports GPU clients; a failed query leaves it out.
    std::vector<GpuClient> clients;
    const bool have_gpu = fetch_clients(lib, clients) == ZELK_CORE_OK;
    const auto gpu_by_pid = gpu_time_by_pid(clients);
    const Snapshot& s = t.snap;
    const auto runs = group_runs(s);

    if (!json)
        std::printf("%-36s %6s %6s %7s %9s %12s %8s  %s\n", "SESSION", "PROCS", "INHER", "CPU%", "RSS MiB",
                    "GPU ms", "RUNNING", "BUSIEST COMMAND");
    for (const auto& run : runs) {
        const auto& busiest = s.records[run.busiest];
        const std::int64_t running = s.wall_sec - static_cast<std::int64_t>(run.start_sec);
        const std::uint64_t gpu = run_gpu_time(s, run, gpu_by_pid);
        if (json) {
            std::printf("{\"session\":%s,\"processes\":%zu,\"direct\":%s,\"inherited\":%s,\"cpu_usage\":%" PRIu64
                        ",\"resident_bytes\":%" PRIu64 ",\"gpu_time\":%s,\"start_sec\":%" PRIu64
                        ",\"running_sec\":%lld,\"root_command\":%s,\"busiest_pid\":%d,\"busiest_command\":%s}\n",
                        json_string(run.session).c_str(), run.processes(), json_pids(s, run.direct).c_str(),
                        json_pids(s, run.inherited).c_str(), run.cpu_usage, run.resident_bytes,
                        have_gpu ? std::to_string(gpu).c_str() : "null", run.start_sec,
                        static_cast<long long>(running < 0 ? 0 : running),
                        json_string(s.records[run.root].command).c_str(), busiest.pid,
                        json_string(busiest.command).c_str());
            continue;
        }
        std::string command = busiest.command;
        if (command.size() > 80) command.resize(80);
        std::printf("%-36s %6zu %6zu %7.1f %9.1f %12s %8s  %s\n", run.session.c_str(), run.processes(),
                    run.inherited.size(), static_cast<double>(run.cpu_usage) / 10.0, mib(run.resident_bytes),
                    have_gpu ? std::to_string(gpu / 1000000).c_str() : "-", duration_text(running).c_str(),
                    command.c_str());
    }
    if (!json && runs.empty()) std::printf("(no agent run on this machine)\n");
    return kExitOk;
}

bool gone(std::int32_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// ease|restore --session ID [--socket PATH] [--dry-run]
int tame(Context& ctx, const std::string& verb) {
    const std::string synopsis = "zelk " + verb + " --session ID [--socket PATH] [--dry-run]";
    const std::string about = "Asks the helper to " + verb +
                              " every process of an agent run, its own and inherited ones, one request each.";
    const Parsed args = parse_args({synopsis.c_str(), about.c_str(),
                                    {{"--session", "ID", "the run's agent session id (required)"},
                                     {"--socket", "PATH", "the helper's socket"},
                                     {"--dry-run", nullptr, "list the requests instead of sending them"}}},
                                   ctx.args);
    const std::string session = args.value("--session") ? *args.value("--session") : "";
    const std::string socket_path = args.value("--socket") ? *args.value("--socket") : kHelperSocket;
    const bool dry_run = args.has("--dry-run");
    if (session.empty()) throw UsageError("--session ID is required");

    Taken t;
    if (const int status = take(ctx.library(), t); status != kExitOk) return status;
    const Snapshot& s = t.snap;
    const auto runs = group_runs(s);
    const auto it = std::find_if(runs.begin(), runs.end(), [&](const Run& r) { return same_session(r.session, session); });
    if (it == runs.end()) return fail(kExitFailure, verb + ": no agent run with session " + session);

    int status = kExitOk;
    for (const auto* members : {&it->direct, &it->inherited}) {
        const char* how = members == &it->direct ? "" : " (inherited)";
        for (const std::size_t i : *members) {
            const auto& r = s.records[i];
            const std::string request = taming_request(verb, r.pid, r.start_sec * 1'000'000 + r.start_usec);
            std::string command = r.command;
            if (command.size() > 80) command.resize(80);
            if (dry_run) {
                std::printf("%7d  would send %s%s  %s\n", r.pid, request.c_str(), how, command.c_str());
                continue;
            }
            if (gone(r.pid)) {
                std::printf("%7d  gone, skipped%s  %s\n", r.pid, how, command.c_str());
                continue;
            }
            std::string reply;
            std::string error;
            if (!helper_exchange(socket_path, request, reply, error)) {
                std::printf("%7d  %s: %s%s  %s\n", r.pid, verb.c_str(), error.c_str(), how, command.c_str());
                status = kExitFailure;
            } else if (reply == kHelperOk) {
                std::printf("%7d  %s ok%s  %s\n", r.pid, verb.c_str(), how, command.c_str());
            } else if (reply == kHelperGone || gone(r.pid)) {
                // It exited between the check and the helper's tools.
                std::printf("%7d  gone, skipped%s  %s\n", r.pid, how, command.c_str());
            } else {
                if (!reply.empty() && reply.back() == '\n') reply.pop_back();
                const bool plain = std::all_of(reply.begin(), reply.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
                std::printf("%7d  %s failed: %s%s  %s\n", r.pid, verb.c_str(),
                            (plain ? reply : json_string(reply)).c_str(), how, command.c_str());
                status = kExitFailure;
            }
        }
    }
    return status;
}

int run_ease(Context& ctx) { return tame(ctx, "ease"); }
int run_restore(Context& ctx) { return tame(ctx, "restore"); }

const Registration sessions_reg({"sessions", "sessions [--json]   one row per agent run: processes, CPU, memory, GPU time, age", run_sessions});
const Registration ease_reg({"ease", "ease --session ID [--socket PATH] [--dry-run]   ask the helper to ease every process of a run", run_ease});
const Registration restore_reg({"restore", "restore --session ID [--socket PATH] [--dry-run]   ask the helper to restore every process of a run", run_restore});

}  // namespace
}  // namespace zelk::tool
