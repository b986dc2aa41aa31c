// The socket server: start-up in a fixed order, one connection at a time on the main thread,
// and the watch thread that follows the console user and the executable every 30 seconds.
#include "server.hpp"

#include <cerrno>
#include <system_error>
#include <thread>

namespace zelk::helper {
namespace {

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

std::string socketPath(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--socket") continue;
        if (i + 1 < args.size()) return args[i + 1];
        break;
    }
    return std::string(DEFAULT_SOCK_PATH);
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
    : sockPath_(std::move(sockPath)), watch_(std::move(watch)), hooks_(std::move(hooks)) {}

int Server::start() {
    fd_ = sys::openUnixStream();
    if (!fd_) {
        hooks_.audit("socket() failed");
        return EXIT_SETUP_FAILED;
    }
    sys::removeFile(sockPath_);
    if (const int error = sys::bindUnix(fd_.get(), sockPath_); error != 0) {
        hooks_.audit("bind() failed errno=" + std::to_string(error));
        return EXIT_SETUP_FAILED;
    }
    // In a folder another user can write, the file may be swapped between bind and here: its
    // identity is taken now, and every later change goes through it.
    bound_ = sys::boundSocketFile(sockPath_);
    const std::uint32_t owner = hooks_.consoleUid();
    sockOwner_.store(owner);
    if (!giveSocketTo(owner)) hooks_.audit(notBoundText());
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
    if (uid != sockOwner_.load()) {
        if (!giveSocketTo(uid)) hooks_.audit(notBoundText());
        sockOwner_.store(uid);
    }
    SocketConnection conn(std::move(accepted.conn));
    const HandlerContext ctx{hooks_.tools, hooks_.audit, [this] { return watch_.isStale(); }};
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
    hooks_.audit(change + (giveSocketTo(uid) ? std::string("socket re-owned") : notBoundText()));
    return true;
}

bool Server::giveSocketTo(std::uint32_t uid) { return bound_ && sys::giveSocketFile(sockPath_, *bound_, uid); }

std::string Server::notBoundText() const {
    return "socket path " + escapeRequestText(sockPath_) + " no longer holds the socket bound; left alone";
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
    if (bound_) sys::removeSocketFile(sockPath_, *bound_);
    hooks_.terminate(EXIT_REPLACED);
}

int runHelper(const std::vector<std::string>& args) {
    const std::string path = socketPath(args);
    // The executable's time is taken before any socket work.
    SelfWatch watch(chooseSelfPath(sys::executablePath(), args, [](const std::string& p) { return sys::resolvedPath(p); }));
    sys::ignoreSigpipe();
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
    for (;;) server.serveOne();
}

}  // namespace zelk::helper
