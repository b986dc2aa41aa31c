// zelk sessions [--json]: one row per agent run; zelk ease|restore --session ID: one helper
// request per process of a run.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

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

int run_sessions(Context& ctx) {
    bool json = false;
    for (const auto& a : ctx.args) {
        if (a == "--json")
            json = true;
        else
            return fail(kExitUsage, "sessions: unknown argument " + a + " (usage: zelk sessions [--json])");
    }
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
    std::string session;
    std::string socket_path = kHelperSocket;
    bool dry_run = false;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        const auto& a = ctx.args[i];
        if (a == "--session" && i + 1 < ctx.args.size())
            session = ctx.args[++i];
        else if (a == "--dry-run")
            dry_run = true;
        else if (!socket_option(ctx.args, i, socket_path))
            return fail(kExitUsage, verb + ": usage: zelk " + verb + " --session ID [--socket PATH] [--dry-run]");
    }
    if (session.empty())
        return fail(kExitUsage, verb + ": usage: zelk " + verb + " --session ID [--socket PATH] [--dry-run]");

    Taken t;
    if (const int status = take(ctx.library(), t); status != kExitOk) return status;
    const Snapshot& s = t.snap;
    const auto runs = group_runs(s);
    const auto it = std::find_if(runs.begin(), runs.end(), [&](const Run& r) { return r.session == session; });
    if (it == runs.end()) return fail(kExitFailure, verb + ": no agent run with session " + session);

    int status = kExitOk;
    for (const auto* members : {&it->direct, &it->inherited}) {
        const char* how = members == &it->direct ? "" : " (inherited)";
        for (const std::size_t i : *members) {
            const auto& r = s.records[i];
            // The start time names the process: the helper answers "gone" for another one at that pid.
            const std::uint64_t start = r.start_sec * 1'000'000 + r.start_usec;
            const std::string request = "{\"verb\":\"" + verb + "\",\"pid\":" + std::to_string(r.pid) +
                                        ",\"start\":" + std::to_string(start) + "}";
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
