// The socket server: start-up in a fixed order, one connection at a time on the main thread,
// and the watch thread that follows the console user and the executable every 30 seconds.
#include "server.hpp"

#include <cerrno>
#include <system_error>
#include <thread>

namespace zelk::helper {
namespace {

constexpr const char* HELP_TEXT =
    "Applies power profiles and lowers or restores process priorities for the console user, one\n"
    "JSON request per connection on a Unix-domain socket (default\n"
    "/var/run/app.morvitan.zelk.helper.sock). Runs as root; audit lines go to standard error.\n"
    "  --socket PATH  listen on PATH instead\n"
    "  --help         this text\n"
    "  --version      the version\n";

class SocketConnection final : public Connection {
public:
    explicit SocketConnection(sys::Fd fd) : fd_(std::move(fd)) {}
    std::optional<std::uint32_t> peerUid() override { return sys::peerUid(fd_.get()); }
    std::ptrdiff_t read(std::span<char> buffer) override { return sys::readOnce(fd_.get(), buffer); }
    void send(std::string_view bytes) override { sys::sendOnce(fd_.get(), bytes); }
    void close() override { fd_.reset(); }

private:
    sys::Fd fd_;
};

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine out;
    bool help = false, version = false, socketSeen = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--socket") {
            if (i + 1 == args.size()) {
                if (out.problem.empty()) out.problem = "--socket needs a path";
                break;
            }
            if (!socketSeen) out.socketPath = args[i + 1];
            socketSeen = true;
            ++i;
        } else if (out.problem.empty()) {
            out.problem = (a.starts_with("-") ? "unknown option " : "unexpected argument ") + a;
        }
    }
    out.action = help                  ? CommandLine::Action::Help
                 : version             ? CommandLine::Action::Version
                 : !out.problem.empty() ? CommandLine::Action::Usage
                                       : CommandLine::Action::Serve;
    return out;
}

std::optional<std::string> socketPathProblem(std::string_view path) {
    if (path.empty()) return std::string("refused socket path: empty");
    if (path.size() > sys::MAX_SOCK_PATH_BYTES)
        return "refused socket path of " + std::to_string(path.size()) + " bytes (at most " +
               std::to_string(sys::MAX_SOCK_PATH_BYTES) + ")";
    return std::nullopt;
}

bool acceptShouldPause(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

Server::Server(std::string sockPath, SelfWatch watch, ServerHooks hooks)
    : sockPath_(std::move(sockPath)), socketFile_(sys::resolveFolder(sockPath_)), watch_(std::move(watch)),
      hooks_(std::move(hooks)) {}

int Server::start() {
    // The limit holds for the path bound, the resolved one: /var and /tmp gain "/private" on
    // macOS, and a linked folder may be longer than its link.
    if (const auto problem = socketPathProblem(socketFile_)) {
        hooks_.audit(*problem);
        return EXIT_SETUP_FAILED;
    }
    fd_ = sys::openUnixStream();
    if (!fd_) {
        hooks_.audit("socket() failed");
        return EXIT_SETUP_FAILED;
    }
    // Only a socket left by an earlier run is removed; anything else there is not ours.
    if (const auto problem = sys::socketFolderProblem(socketFile_)) {
        hooks_.audit(*problem);
        return EXIT_SETUP_FAILED;
    }
    const auto kind = sys::pathKind(socketFile_);
    if (kind == sys::PathKind::Other) {
        hooks_.audit("refused socket path " + escapeRequestText(sockPath_) + ": something other than a socket is there");
        return EXIT_SETUP_FAILED;
    }
    if (kind == sys::PathKind::Socket) sys::removeFile(socketFile_);
    if (const int error = sys::bindUnix(fd_.get(), socketFile_); error != 0) {
        hooks_.audit("bind() failed errno=" + std::to_string(error));
        return EXIT_SETUP_FAILED;
    }
    // In a folder another user can write, the file may be swapped between bind and here: its
    // identity is taken now, and every later change goes through it.
    bound_ = sys::boundSocketFile(socketFile_);
    const std::uint32_t owner = hooks_.consoleUid();
    sockOwner_.store(owner);
    if (const auto problem = giveSocketTo(owner)) hooks_.audit(*problem);
    startTamer();
    if (!sys::listenOn(fd_.get(), LISTEN_BACKLOG)) {
        hooks_.audit("listen() failed");
        return EXIT_SETUP_FAILED;
    }
    hooks_.audit("listening on " + escapeRequestText(sockPath_) + " for console uid " + std::to_string(owner));
    return 0;
}

void Server::serveOne() {
    auto accepted = sys::acceptConnection(fd_.get());
    if (!accepted.conn) {
        if (acceptShouldPause(accepted.error)) std::this_thread::sleep_for(ACCEPT_BACKOFF);
        return;
    }
    sys::prepareConnection(accepted.conn.get(), hooks_.recvTimeout);
    // A console user change is followed silently here; the watch thread would write a line.
    const std::uint32_t uid = hooks_.consoleUid();
    std::unique_lock busy(busy_);
    if (uid != sockOwner_.load()) {
        if (const auto problem = giveSocketTo(uid)) hooks_.audit(*problem);
        sockOwner_.store(uid);
    }
    SocketConnection conn(std::move(accepted.conn));
    const HandlerContext ctx{hooks_.tools, hooks_.audit, [this] { return watch_.isStale(); }, *tamer_,
                               hooks_.powerSources};
    if (handle(conn, uid, ctx) == Handled::Replaced) endReplaced();
}

bool Server::watchCycle() {
    if (watch_.isStale()) {
        endReplaced();
        return false;
    }
    const std::uint32_t uid = hooks_.consoleUid();
    std::uint32_t old = sockOwner_.load();
    if (uid == old) return true;
    // Exactly one thread takes each change; when the accept loop took it first, no line.
    if (!sockOwner_.compare_exchange_strong(old, uid)) return true;
    const std::string change = "console user changed " + std::to_string(old) + " -> " + std::to_string(uid) + "; ";
    hooks_.audit(change + giveSocketTo(uid).value_or("socket re-owned"));
    return true;
}

std::optional<std::string> Server::giveSocketTo(std::uint32_t uid) {
    const std::string path = escapeRequestText(sockPath_);
    switch (bound_ ? sys::giveSocketFile(socketFile_, *bound_, uid) : sys::Reowned::NotBound) {
        case sys::Reowned::Yes: return std::nullopt;
        case sys::Reowned::Refused: return "socket path " + path + " could not be given to uid " + std::to_string(uid);
        case sys::Reowned::NotBound: break;
    }
    return "socket path " + path + " no longer holds the socket bound; left alone";
}

void Server::startTamer() {
    processes_ = sys::liveProcesses();
    const auto [folderPath, name] = sys::splitPath(socketFile_);
    std::string problem;
    sys::Fd folder = sys::openRootFolder(folderPath, problem);
    if (!folder) hooks_.audit("records of eased processes kept in memory only: " + escapeRequestText(problem));
    tamer_ = std::make_unique<Tamer>(sys::thisSystem(), hooks_.tools, *processes_,
                                     folder ? sys::recordFile(std::move(folder), name + std::string(RECORD_FILE_SUFFIX))
                                            : nullptr,
                                     hooks_.audit);
}

void Server::stop(int signal) {
    std::lock_guard busy(busy_);
    hooks_.audit("stopped by signal " + std::to_string(signal));
    if (bound_) sys::removeSocketFile(socketFile_, *bound_);
    hooks_.terminate(EXIT_STOPPED);
}

void WatchStop::request() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool WatchStop::sleepFor(std::chrono::milliseconds interval) {
    std::unique_lock lock(m_);
    return wake_.wait_for(lock, interval, [this] { return stop_; });
}

void Server::watchLoop(std::chrono::milliseconds interval, WatchStop& stop) {
    for (;;) {
        if (stop.sleepFor(interval)) return;
        if (!watchCycle()) return;
    }
}

void Server::endReplaced() {
    hooks_.audit(std::string(REPLACED_MESSAGE));
    if (bound_) sys::removeSocketFile(socketFile_, *bound_);
    hooks_.terminate(EXIT_REPLACED);
}

int runHelper(const std::vector<std::string>& args) {
    // Help, version and usage errors touch nothing: no socket, no file, no audit line.
    const CommandLine cli = parseCommandLine(args);
    switch (cli.action) {
        case CommandLine::Action::Help:
            sys::writeStdout(std::string(USAGE) + HELP_TEXT);
            return 0;
        case CommandLine::Action::Version:
            sys::writeStdout("zelk-helper " ZELK_VERSION "\n");
            return 0;
        case CommandLine::Action::Usage:
            sys::writeStderr("zelk-helper: " + cli.problem + "\n" + std::string(USAGE));
            return EXIT_USAGE;
        case CommandLine::Action::Serve: break;
    }
    const std::string& path = cli.socketPath;
    // The executable's time is taken before any socket work.
    SelfWatch watch(chooseSelfPath(sys::executablePath(), args, [](const std::string& p) { return sys::resolvedPath(p); }));
    sys::ignoreSigpipe();
    // Blocked before any other thread exists, so only the stop thread below takes them.
    sys::blockStopSignals();
    if (const auto problem = socketPathProblem(path)) {
        audit(*problem);
        return EXIT_SETUP_FAILED;
    }
    SpawnToolRunner tools;
    Server server(path, std::move(watch), ServerHooks{tools});
    if (const int status = server.start(); status != 0) return status;
    static WatchStop never;
    try {
        std::thread([&server] { server.watchLoop(WATCH_INTERVAL, never); }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: every connection still checks the executable first.
    }
    try {
        std::thread([&server] { server.stop(sys::waitStopSignal()); }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: a stop signal stays blocked; the service manager's kill ends us.
    }
    for (;;) server.serveOne();
}

}  // namespace zelk::helper
