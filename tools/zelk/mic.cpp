// zelk mic: runs the vintrel probe as the application does (a child process whose standard
// output is a pipe) and prints each of its lines as it comes: as text, or with --json as the
// probe wrote it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "args.hpp"

#include <nlohmann/json.hpp>

#include "fd.hpp"
#include "zelk.hpp"

extern char** environ;

namespace zelk::tool {
namespace {

bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    read_end = Fd(fds[0]);
    write_end = Fd(fds[1]);
    return true;
}

bool executable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

// --probe, else the probe installed beside zelk, else the one in the build tree's probe/.
std::string probe_path(const std::string& given, const std::string& program_dir) {
    if (!given.empty()) return given;
    for (const std::string& candidate : {program_dir + "/vintrel", program_dir + "/../probe/vintrel"})
        if (executable(candidate)) return candidate;
    return {};
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

// A probe line as the other subcommands print their figures: "microphone" and, for --apps,
// "capturing" with each process as "PID (bundle)". A line that is not the probe's JSON is
// printed as it came.
std::string readable(const std::string& line) {
    try {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object() || !j.contains("mic_active")) return line;
        std::string text = std::string("microphone      ") + (j.at("mic_active").get<bool>() ? "in use" : "not in use");
        if (!j.contains("apps")) return text + "\n";
        std::string apps;
        for (const auto& app : j.at("apps")) {
            apps += (apps.empty() ? "" : ", ") + std::to_string(app.at("pid").get<std::int32_t>());
            std::string bundle = app.at("bundle").get<std::string>();
            std::replace_if(bundle.begin(), bundle.end(), [](char c) { return c >= 0 && c < 0x20; }, '?');
            if (!bundle.empty()) apps += " (" + bundle + ")";
        }
        return text + "\ncapturing       " + (apps.empty() ? "none" : apps) + "\n";
    } catch (const nlohmann::json::exception&) {
        return line;
    }
}

const CommandSpec mic_spec{
    "zelk mic [--apps] [--watch SECONDS] [--pids LIST] [--count N] [--json] [--probe PATH]",
    "Is the microphone in use, and by which processes: runs vintrel and prints its lines as text.",
    {{"--apps", nullptr, "name the processes with an open input"},
     {"--watch", "SECONDS", "a line every SECONDS (0.1 to 3600) until interrupted"},
     {"--pids", "LIST", "only these processes: pids separated by commas"},
     {"--count", "N", "stop after N lines"},
     {"--probe", "PATH", "the vintrel to run (default: beside zelk, or the build tree's)"},
     {"--json", nullptr, "the probe's own JSON Lines instead of text"}}};

int run_mic(Context& ctx) {
    const Parsed parsed = parse_args(mic_spec, ctx.args);
    std::vector<std::string> options;
    if (parsed.has("--apps")) options.push_back("--apps");
    if (const std::string* watch = parsed.value("--watch")) {
        parse_number("--watch", *watch, 0.1, 3600);
        options.insert(options.end(), {"--watch", *watch});
    }
    if (const std::string* pids = parsed.value("--pids")) {
        std::size_t start = 0;
        for (;;) {
            const auto comma = pids->find(',', start);
            parse_whole("--pids", pids->substr(start, comma - start), 1, INT32_MAX);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        options.insert(options.end(), {"--pids", *pids});
    }
    const long max_lines = static_cast<long>(parsed.whole("--count", -1, 1, INT32_MAX));
    const std::string given_probe = parsed.value("--probe") ? *parsed.value("--probe") : "";
    const bool json = parsed.has("--json");
    const std::string probe = probe_path(given_probe, ctx.program_dir);
    if (probe.empty()) return fail(kExitFailure, "mic: cannot find vintrel; name it with --probe PATH");

    Fd out_read, out_write, err_read, err_write;
    if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write))
        return fail(kExitFailure, "mic: cannot make a pipe");
    std::vector<std::string> args{probe};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
    // zelk ignores SIGPIPE; the probe gets the default back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe_signal);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, probe.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    out_write = Fd();
    err_write = Fd();
    if (rc != 0) return fail(kExitFailure, "mic: cannot start " + probe + ": " + std::strerror(rc));

    // Lines go out as they arrive; whatever reaches standard error is kept to report a fault.
    std::string pending;
    std::string errors;
    std::optional<WriteFailed> write_error;
    long lines = 0;
    bool ended = false;  // ended by this tool after its --count lines
    while (out_read.get() >= 0 || err_read.get() >= 0) {
        pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buf[4096];
        for (int k = 0; k < 2; ++k) {
            if (ended || fds[k].fd < 0 || fds[k].revents == 0) continue;
            const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
            if (n <= 0) {
                (k == 0 ? out_read : err_read) = Fd();
                continue;
            }
            if (k == 1) {
                errors.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while (out_read.get() >= 0 && (nl = pending.find('\n')) != std::string::npos) {
                const std::string line = json ? pending.substr(0, nl + 1) : readable(pending.substr(0, nl + 1));
                std::fwrite(line.data(), 1, line.size(), stdout);
                // A reader gone: close the pipe so that the probe ends, then report it.
                try {
                    flush_out();
                } catch (const WriteFailed& e) {
                    write_error = e;
                    out_read = Fd();
                    break;
                }
                pending.erase(0, nl + 1);
                // Enough lines: the probe is ended now, not when it next writes (a whole interval later).
                if (max_lines > 0 && ++lines >= max_lines) {
                    out_read = Fd();
                    err_read = Fd();
                    ::kill(pid, SIGTERM);  // a child not yet waited for: the pid is still its own
                    ended = true;
                }
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (write_error) throw *write_error;
    if (!pending.empty() && max_lines < 0) return fail(kExitFailure, "mic: the probe's output ended mid-line");
    if (!errors.empty()) return fail(kExitFailure, "mic: the probe wrote to standard error: " + errors);
    if (!ended && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
        return fail(kExitFailure, "mic: " + probe + " " + describe_status(status));
    return kExitOk;
}

const Registration reg({"mic",
                        "mic [--apps] [--watch SECONDS] [--pids LIST] [--count N] [--json] [--probe PATH]   microphone "
                        "in use, and by which processes (runs vintrel; --json: its lines)",
                        run_mic});

}  // namespace
}  // namespace zelk::tool
