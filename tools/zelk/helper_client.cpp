// zelk helper ping|power PROFILE|ease PID|restore PID [--socket PATH]: one request to
// zelk-helper over its socket, as the application sends it; prints the reply line.
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "args.hpp"
#include "helper_client.hpp"
#include "zelk.hpp"

namespace zelk::tool {
namespace {

constexpr std::size_t MAX_SOCKET_PATH = 103;
// The helper answers after its tools have exited, which it allows 10 seconds a request.
constexpr int REPLY_TIMEOUT_S = 30;

class Socket {
public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A pid given as plain decimal goes as a JSON number; anything else as a JSON string, so the
// helper's own rules decide (it accepts "+42", refuses "abc").
std::string pid_json(const std::string& pid) {
    std::size_t i = pid.size() > 1 && pid[0] == '-' ? 1 : 0;
    bool digits = i < pid.size() && pid.size() - i <= 18;
    for (; digits && i < pid.size(); ++i) digits = pid[i] >= '0' && pid[i] <= '9';
    return digits ? pid : json_string(pid);
}

}  // namespace

bool socket_option(const std::vector<std::string>& args, std::size_t& i, std::string& socket_path) {
    if (args[i] == "--socket" && i + 1 < args.size()) {
        socket_path = args[++i];
        return true;
    }
    if (args[i].rfind("--socket=", 0) == 0) {
        socket_path = args[i].substr(9);
        return true;
    }
    return false;
}

bool helper_exchange(const std::string& socket_path, const std::string& request, std::string& reply,
                     std::string& error) {
    reply.clear();
    if (socket_path.empty() || socket_path.size() > MAX_SOCKET_PATH) {
        error = "the socket path must be 1 to 103 bytes";
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Socket sock;
    if (sock.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    timeval tv{};
    tv.tv_sec = REPLY_TIMEOUT_S;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot connect to " + socket_path + ": " + std::strerror(errno);
        return false;
    }
    if (::send(sock.get(), request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        error = std::string("cannot send the request: ") + std::strerror(errno);
        return false;
    }
    // The helper closes after its one reply line. When it closes without having read our
    // request (a refused peer, a replaced executable) the stream may end in ECONNRESET.
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(sock.get(), buf, sizeof buf);
        if (n > 0) {
            reply.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || errno == ECONNRESET) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            error = "the helper sent no reply within " + std::to_string(REPLY_TIMEOUT_S) + " seconds";
        else
            error = std::string("no reply: ") + std::strerror(errno);
        return false;
    }
    if (reply.empty()) {
        error = "the helper closed the connection without a reply";
        return false;
    }
    return true;
}

namespace {

const CommandSpec helper_spec{"zelk helper ping|power PROFILE|ease PID|restore PID [--socket PATH]",
                              "Sends one request to zelk-helper and prints its reply line (JSON).",
                              {{"--socket", "PATH", "the helper's socket"}},
                              2,
                              "VERB [ARG]"};

int run_helper(Context& ctx) {
    const Parsed args = parse_args(helper_spec, ctx.args);
    const std::string socket_path = args.value("--socket") ? *args.value("--socket") : kHelperSocket;
    const std::vector<std::string>& words = args.positional;
    std::string request;
    if (words.size() == 1 && words[0] == "ping")
        request = "{\"verb\":\"ping\"}";
    else if (words.size() == 2 && words[0] == "power")
        request = "{\"verb\":\"power\",\"profile\":" + json_string(words[1]) + "}";
    else if (words.size() == 2 && (words[0] == "ease" || words[0] == "restore"))
        request = "{\"verb\":\"" + words[0] + "\",\"pid\":" + pid_json(words[1]) + "}";
    else
        throw UsageError("say ping, power PROFILE, ease PID or restore PID");
    if (socket_path.empty() || socket_path.size() > MAX_SOCKET_PATH)
        throw UsageError("--socket: the socket path must be 1 to 103 bytes");
    std::string reply;
    std::string error;
    if (!helper_exchange(socket_path, request, reply, error)) return fail(kExitFailure, "helper: " + error);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return reply == kHelperOk ? kExitOk : kExitFailure;
}

const Registration reg({"helper",
                        "helper ping|power PROFILE|ease PID|restore PID [--socket PATH]   one request to zelk-helper",
                        run_helper});

}  // namespace
}  // namespace zelk::tool
