// The helper's life: the command line, start-up, the listening socket and who owns it, the
// accept loop that hands each connection to `handle`, the watch thread, and the exit statuses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "audit.hpp"
#include "platform/helper_system.hpp"
#include "profiles.hpp"
#include "protocol.hpp"
#include "taming.hpp"
#include "watch.hpp"

namespace zelk::helper {

inline constexpr std::string_view DEFAULT_SOCK_PATH = "/var/run/app.morvitan.zelk.helper.sock";
inline constexpr int LISTEN_BACKLOG = 16;
inline constexpr std::chrono::milliseconds WATCH_INTERVAL{30'000};
// A permitted peer that connects and sends nothing is dropped after this long.
inline constexpr std::chrono::milliseconds RECV_TIMEOUT{3'000};
// After accept fails for lack of descriptors or memory, so the loop does not spin a core.
inline constexpr std::chrono::milliseconds ACCEPT_BACKOFF{100};

inline constexpr int EXIT_REPLACED = 0;
inline constexpr int EXIT_SETUP_FAILED = 1;

inline constexpr int EXIT_STOPPED = 0;
inline constexpr int EXIT_USAGE = 2;
// The record file sits beside the socket file, named after it with this added.
inline constexpr std::string_view RECORD_FILE_SUFFIX = ".eased";

inline constexpr std::string_view USAGE =
    "usage: zelk-helper [--socket PATH]\n"
    "       zelk-helper --help | --version\n";

// The command line, after the program name: "--socket PATH" (the first one decides; PATH is
// taken unchanged), "--help", "--version". Help and version win over everything else; any other
// argument, or "--socket" without a value, is a usage error.
struct CommandLine {
    enum class Action { Serve, Help, Version, Usage } action = Action::Serve;
    std::string socketPath = std::string(DEFAULT_SOCK_PATH);
    std::string problem;  // for Usage
};
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Why `path` cannot be bound as given (the audit text), or nullopt. An empty path would bind an
// abstract socket on Linux, which no file permission guards; one longer than the address holds
// would bind a cut path while the file calls act on the whole one.
std::optional<std::string> socketPathProblem(std::string_view path);

// accept failed for lack of descriptors or memory: wait before the next try.
bool acceptShouldPause(int error);

// Ends a watch loop early. Only tests stop one: the helper's watch thread runs for good.
class WatchStop {
public:
    void request();
    // Sleeps up to `interval`; true when a stop was requested.
    bool sleepFor(std::chrono::milliseconds interval);

private:
    std::mutex m_;
    std::condition_variable wake_;
    bool stop_ = false;
};

struct ServerHooks {
    ToolRunner& tools;
    AuditFn audit = &helper::audit;
    std::function<std::uint32_t()> consoleUid = &sys::consoleUid;
    // Ends the process; from either thread, so no static destructors run.
    std::function<void(int status)> terminate = [](int status) { std::_Exit(status); };
    std::chrono::milliseconds recvTimeout = RECV_TIMEOUT;
    PowerSources powerSources = &sys::powerSourceTypes;
};

class Server {
public:
    Server(std::string sockPath, SelfWatch watch, ServerHooks hooks);

    // Start-up from the socket on: socket, unlink, bind (the file made with mode 0600), ownership
    // by the console user, listen, the listening line. 0 when serving; otherwise the exit status,
    // after its audit line.
    int start();

    // One turn of the accept loop: accept, re-own the socket file if the console user changed,
    // and handle the connection.
    void serveOne();

    // One cycle of the watch thread, after its sleep. False when the helper ends.
    bool watchCycle();

    // SIGTERM or SIGINT: once the connection in hand (if any) is answered, the audit line, the
    // socket file removed while it still holds the socket bound, and exit status 0.
    void stop(int signal);

    // Watch cycles every `interval` until `stop` is requested or the helper ends.
    void watchLoop(std::chrono::milliseconds interval, WatchStop& stop);

    std::uint32_t sockOwner() const { return sockOwner_.load(); }
    const std::string& sockPath() const { return sockPath_; }

private:
    void endReplaced();
    // Gives the socket file to `uid` if its path still names the socket bound; the audit text of
    // what kept it from happening otherwise.
    std::optional<std::string> giveSocketTo(std::uint32_t uid);
    // The records of ease, in the file beside the socket when its folder is root's alone.
    void startTamer();

    const std::string sockPath_;
    // The same path with its folder resolved: what every file operation uses (the audit shows
    // the path as given).
    const std::string socketFile_;
    const SelfWatch watch_;
    ServerHooks hooks_;
    sys::Fd fd_;
    // The socket file bind made; set in start(), before the watch thread exists. Empty when the
    // path held something else right after the bind: then the file is never changed.
    std::optional<sys::SocketFile> bound_;
    // The uid the socket file was last given to; the accept loop and the watch thread both
    // read and write it.
    std::atomic<std::uint32_t> sockOwner_{0};
    std::unique_ptr<ProcessControl> processes_;
    std::unique_ptr<Tamer> tamer_;
    // Held while a connection is handled, so a stop waits for its reply.
    std::mutex busy_;
};

// The program: start-up, the detached watch thread, then the accept loop. Returns only with
// the exit status of a failed start-up.
int runHelper(const std::vector<std::string>& args);

}  // namespace zelk::helper
