// zelk metrics: the census, agent runs, GPU and interface figures as Prometheus text over HTTP,
// for a Prometheus server to scrape.
//
// The census runs on a fixed interval on the main thread; a scrape serves the families of the
// latest one, so a scrape costs a copy, never a census, and any number of scrapers load the
// machine no more than one. On Linux the usage figures are deltas between two censuses, so the
// first one only seeds them and its runs are not served. The HTTP server is civetweb (the one
// prometheus-cpp's pull library uses) with this file's own handler: enough workers and a
// request timeout that idle or slow connections cannot hold every worker, and nothing but
// zelk_ series on /metrics.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <civetweb.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "args.hpp"
#include "fd.hpp"
#include "census.hpp"
#include "runs.hpp"
#include "series.hpp"
#include "zelk_text.hpp"  // to_visible: names shown as commands are

namespace zelk::tool {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr const char* kDefaultListen = "127.0.0.1:9464";
// Label values are identities, not transcripts: a command is cut, as is any other value.
constexpr std::size_t kLabelBytes = 128;
// Workers for connections, and how long one may take to send its request. civetweb gives each
// connection a worker of its own from the moment it is accepted, and nothing but the request
// timeout ends a connection that sends its request slowly or never: a scrape waits only when
// every worker is held. So the workers are many (a waiting one is a thread blocked in poll and a
// 16 KiB buffer: 512 cost about 8 MiB) and the timeout short (a scraper sends its request at
// once): hundreds of slow connections still leave workers free, and past 512 a worker comes
// free every 4 ms.
constexpr const char* kWorkers = "512";
constexpr const char* kRequestTimeoutMs = "2000";
// Connections the kernel holds until a worker takes them: when they are all held, a new one's
// handshake is dropped and its client retries only after seconds, so the line is long enough
// (the kernel cuts it to net.core.somaxconn) that a scrape waits its turn instead.
constexpr const char* kListenBacklog = "4096";
#ifdef __APPLE__
constexpr unsigned kInterfaceCounterBits = 32;  // the kernel cuts them to 32 bits for other programs
#else
constexpr unsigned kInterfaceCounterBits = 64;
#endif

std::atomic<bool> stop_requested{false};
void on_stop_signal(int) { stop_requested = true; }

MetricFamily family(const char* name, const char* help, MetricType type) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

void add(MetricFamily& f, std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric m;
    for (auto& l : labels) l.value = bounded_label(l.value, kLabelBytes);
    m.label = std::move(labels);
    if (f.type == MetricType::Counter)
        m.counter.value = value;
    else
        m.gauge.value = value;
    f.metric.push_back(std::move(m));
}

struct Figures {
    Snapshot snap;
    bool have_gpu_clients = false;
    std::vector<GpuClient> gpu_clients;
    std::int64_t gpu_utilization = -1;  // percent; -1: not known
    std::int64_t gpu_memory = -1;       // bytes; -1: not known
    struct Interface {
        std::string name;
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
    };
    std::vector<Interface> interfaces;
};

// What outlives one census: the runs' CPU seconds summed over the intervals, the widened
// interface counters, the census outcomes.
struct History {
    std::map<std::string, double> run_cpu_seconds;
    std::map<std::string, std::pair<WidenedCounter, WidenedCounter>> interfaces;
    std::uint64_t census_errors = 0;
    double last_success_sec = 0;  // 0: none yet
};

// The per-census families. `seconds` is the time since the previous census: each run's CPU
// usage over it is added to the run's CPU seconds.
std::vector<MetricFamily> families_of(const Figures& in, double seconds, std::size_t max_runs, History& h) {
    const Snapshot& s = in.snap;
    const auto runs = group_runs(s);
    const auto gpu_by_pid = gpu_time_by_pid(in.gpu_clients);

    auto info = family("zelk_run_info", "An agent run and the command of its oldest process (always 1)", MetricType::Gauge);
    auto cpu = family("zelk_run_cpu_usage", "CPU in use by the run's processes, in processors (1 = one busy processor)",
                      MetricType::Gauge);
    auto cpu_total = family("zelk_run_cpu_seconds_total",
                            "CPU time of the run's processes in seconds, summed by zelk from the census figures: each "
                            "census adds the run's CPU usage times the interval since the one before",
                            MetricType::Counter);
    auto memory = family("zelk_run_resident_memory_bytes", "Resident memory of the run's processes", MetricType::Gauge);
    auto processes = family("zelk_run_processes", "Processes of the run, its own and inherited from an ancestor",
                            MetricType::Gauge);
    auto gpu_time = family("zelk_run_gpu_time_seconds", "GPU time used so far by the run's live processes",
                           MetricType::Gauge);
    std::map<std::string, double> cpu_seconds;
    for (const auto& run : runs) {
        cpu_seconds[run.session] = h.run_cpu_seconds[run.session] + static_cast<double>(run.cpu_usage) / 1000.0 * seconds;
    }
    h.run_cpu_seconds = std::move(cpu_seconds);  // runs that ended are forgotten
    // The busiest runs only (group_runs orders them so): a machine with thousands of runs
    // does not make thousands of series.
    const std::size_t shown = std::min(runs.size(), max_runs);
    for (std::size_t k = 0; k < shown; ++k) {
        const auto& run = runs[k];
        add(info, {{"session", run.session}, {"command", s.records[run.root].command}}, 1);
        add(cpu, {{"session", run.session}}, static_cast<double>(run.cpu_usage) / 1000.0);
        add(cpu_total, {{"session", run.session}}, h.run_cpu_seconds[run.session]);
        add(memory, {{"session", run.session}}, static_cast<double>(run.resident_bytes));
        add(processes, {{"session", run.session}}, static_cast<double>(run.processes()));
        if (in.have_gpu_clients)
            add(gpu_time, {{"session", run.session}}, static_cast<double>(run_gpu_time(s, run, gpu_by_pid)) / 1e9);
    }
    std::vector<MetricFamily> out{std::move(info), std::move(cpu), std::move(cpu_total), std::move(memory),
                                  std::move(processes)};
    if (in.have_gpu_clients) out.push_back(std::move(gpu_time));
    out.push_back(family("zelk_runs", "Agent runs in the latest census", MetricType::Gauge));
    add(out.back(), {}, static_cast<double>(runs.size()));
    out.push_back(family("zelk_runs_omitted", "Agent runs left out of the per-run series (--max-runs keeps the busiest)",
                         MetricType::Gauge));
    add(out.back(), {}, static_cast<double>(runs.size() - shown));

    if (in.gpu_utilization != -1) {
        out.push_back(family("zelk_gpu_utilization_ratio", "GPU utilisation of the machine (0 to 1)", MetricType::Gauge));
        add(out.back(), {}, static_cast<double>(in.gpu_utilization) / 100.0);
    }
    if (in.gpu_memory != -1) {
        out.push_back(family("zelk_gpu_memory_used_bytes", "GPU memory in use on the machine", MetricType::Gauge));
        add(out.back(), {}, static_cast<double>(in.gpu_memory));
    }
    auto received = family("zelk_network_receive_bytes_total", "Bytes received by the interface", MetricType::Counter);
    auto sent = family("zelk_network_transmit_bytes_total", "Bytes sent by the interface", MetricType::Counter);
    std::map<std::string, std::pair<WidenedCounter, WidenedCounter>> seen;
    for (const auto& i : in.interfaces) {
        auto it = h.interfaces.find(i.name);
        auto counters = it != h.interfaces.end() ? it->second
                                                 : std::make_pair(WidenedCounter(kInterfaceCounterBits),
                                                                  WidenedCounter(kInterfaceCounterBits));
        // The kernel's name may hold any byte but "/", ":" and white space: the label is its
        // visible form, as a command's is.
        const std::string shown = to_visible(i.name);
        add(received, {{"interface", shown}}, static_cast<double>(counters.first.update(i.received)));
        add(sent, {{"interface", shown}}, static_cast<double>(counters.second.update(i.sent)));
        seen.emplace(i.name, counters);
    }
    h.interfaces = std::move(seen);
    out.push_back(std::move(received));
    out.push_back(std::move(sent));
    out.push_back(family("zelk_census_collection_seconds", "How long the latest process census took", MetricType::Gauge));
    add(out.back(), {}, static_cast<double>(s.collect_ns) / 1e9);
    out.push_back(family("zelk_census_processes", "Processes in the latest census", MetricType::Gauge));
    add(out.back(), {}, static_cast<double>(s.records.size()));
    return out;
}

// One round of figures; false (with the message printed) when the census itself failed. The
// other figures are left out when their query fails: the machine may have no GPU.
bool gather(Library& lib, Figures& out) {
    Taken t;
    if (take(lib, t) != kExitOk) return false;
    out.snap = std::move(t.snap);
    out.have_gpu_clients = fetch_clients(lib, out.gpu_clients) == ZELK_CORE_OK;
    if (lib.gpu_stats(&out.gpu_utilization, &out.gpu_memory) != ZELK_CORE_OK) out.gpu_utilization = out.gpu_memory = -1;
    out.interfaces.clear();
    if (struct if_nameindex* names = ::if_nameindex()) {
        for (const auto* n = names; n->if_index != 0 && n->if_name != nullptr; ++n) {
            Figures::Interface i{.name = n->if_name};
            if (lib.iface_bytes(n->if_name, &i.received, &i.sent) == ZELK_CORE_OK) out.interfaces.push_back(std::move(i));
        }
        ::if_freenameindex(names);
    }
    return true;
}

// What a scrape serves: the latest census's families and the exporter's own.
class Published {
public:
    // New census families, or nullopt to keep serving the last ones.
    void publish(std::optional<std::vector<MetricFamily>> census, const History& h) {
        std::lock_guard lock(mutex_);
        if (census) census_ = std::move(*census);
        errors_ = h.census_errors;
        last_success_sec_ = h.last_success_sec;
    }
    std::string text() const {
        std::vector<MetricFamily> all;
        all.push_back(family("zelk_build_info", "The zelk that serves these series (always 1)", MetricType::Gauge));
        add(all.back(), {{"version", ZELK_VERSION}}, 1);
        std::lock_guard lock(mutex_);
        all.push_back(family("zelk_census_errors_total", "Censuses that failed", MetricType::Counter));
        add(all.back(), {}, static_cast<double>(errors_));
        if (last_success_sec_ > 0) {
            all.push_back(family("zelk_census_last_success_timestamp_seconds",
                                 "When the latest successful census was taken (Unix time)", MetricType::Gauge));
            add(all.back(), {}, last_success_sec_);
        }
        all.insert(all.end(), census_.begin(), census_.end());
        std::ostringstream out;
        prometheus::TextSerializer().Serialize(out, all);
        return out.str();
    }

private:
    mutable std::mutex mutex_;
    std::vector<MetricFamily> census_;
    std::uint64_t errors_ = 0;
    double last_success_sec_ = 0;
};

void reply(mg_connection* conn, int status, const char* reason, const char* type, const std::string& body) {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n"
              "Cache-Control: no-store\r\n\r\n",
              status, reason, type, body.size());
    const mg_request_info* request = mg_get_request_info(conn);
    if (request == nullptr || request->request_method == nullptr || std::strcmp(request->request_method, "HEAD") != 0)
        mg_write(conn, body.data(), body.size());
}

// Every request: "/" is a landing page, "/metrics" the series, anything else 404.
int handle(mg_connection* conn, void* data) {
    const auto& published = *static_cast<const Published*>(data);
    const mg_request_info* request = mg_get_request_info(conn);
    const std::string method = request && request->request_method ? request->request_method : "";
    const std::string uri = request && request->local_uri ? request->local_uri : "";
    if (method != "GET" && method != "HEAD") {
        reply(conn, 405, "Method Not Allowed", "text/plain; charset=utf-8", "GET or HEAD only\n");
        return 405;
    }
    if (uri == "/metrics") {
        reply(conn, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", published.text());
        return 200;
    }
    if (uri == "/") {
        reply(conn, 200, "OK", "text/html; charset=utf-8",
              "<!DOCTYPE html>\n<html><head><title>zelk metrics</title></head><body>\n<h1>zelk metrics</h1>\n"
              "<p>Agent runs, GPU and network figures of this machine for Prometheus, version " ZELK_VERSION
              ".</p>\n<p><a href=\"/metrics\">/metrics</a></p>\n</body></html>\n");
        return 200;
    }
    reply(conn, 404, "Not Found", "text/plain; charset=utf-8", "not found: try /metrics\n");
    return 404;
}

// civetweb's own messages (a port in use), kept for the one line that reports a failed start.
std::mutex server_log_mutex;
std::string server_log;
int log_server_message(const mg_connection*, const char* message) {
    std::lock_guard lock(server_log_mutex);
    server_log = message ? message : "";
    return 1;
}

struct ServerStop {
    void operator()(mg_context* ctx) const { mg_stop(ctx); }
};

// Sleeps for `seconds` unless a stop signal comes first (it interrupts the sleep).
void pause_for(double seconds) {
    const auto whole = static_cast<time_t>(seconds);
    timespec left{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    while (!stop_requested && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A --listen address, parsed once: PORT (on loopback: exposing the machine's processes is a
// choice to make by address), IPV4:PORT or [IPV6]:PORT, the address numeric: no name is looked up.
struct ListenAddress {
    bool v6 = false;
    std::string host;
    std::uint16_t port = 0;
    std::string text;  // the server's form: IPV4:PORT or [IPV6]:PORT
};

ListenAddress listen_address(const std::string& value) {
    const UsageError bad("--listen: not a numeric ADDR:PORT, [IPV6]:PORT or PORT: \"" + value + "\"");
    ListenAddress a{!value.empty() && value[0] == '[', "127.0.0.1", 0, ""};
    std::string port = value;
    if (a.v6) {
        const auto close = value.find("]:");
        if (close == std::string::npos) throw bad;
        a.host = value.substr(1, close - 1);
        port = value.substr(close + 2);
    } else if (const auto colon = value.rfind(':'); colon != std::string::npos) {
        a.host = value.substr(0, colon);
        port = value.substr(colon + 1);
    }
    in6_addr address;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535 || ::inet_pton(a.v6 ? AF_INET6 : AF_INET, a.host.c_str(), &address) != 1)
        throw bad;
    a.port = static_cast<std::uint16_t>(std::stoul(port));
    a.text = a.v6 ? "[" + a.host + "]:" + port : a.host + ":" + port;
    return a;
}

// Owns `fd`, made nonblocking and close-on-exec (macOS has no SOCK_NONBLOCK, accept4 or pipe2).
Fd nonblocking(int fd) {
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return Fd(fd);
}

// Binds the address as the server is about to, so that a failure gives the system's reason
// ("Address already in use", "Cannot assign requested address"); `why` is empty when it binds.
Fd bind_address(const ListenAddress& listen, std::string& why) {
    const bool v6 = listen.v6;
    const auto port = htons(listen.port);
    sockaddr_in a4{};
    sockaddr_in6 a6{};
    a4.sin_family = AF_INET;
    a4.sin_port = port;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = port;
    ::inet_pton(v6 ? AF_INET6 : AF_INET, listen.host.c_str(), v6 ? static_cast<void*>(&a6.sin6_addr) : &a4.sin_addr);
    Fd fd = nonblocking(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    // As the server binds: reusing an address that only lingers in TIME_WAIT is allowed, and an
    // IPv6 address means IPv6 only.
    if (fd.get() < 0 || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (v6 && ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::bind(fd.get(), v6 ? reinterpret_cast<const sockaddr*>(&a6) : reinterpret_cast<const sockaddr*>(&a4),
               v6 ? sizeof a6 : sizeof a4) != 0)
        why = std::strerror(errno);
    return fd;
}

// Serves an IPv6 address for a server without IPv6 (Debian's civetweb): zelk listens on the
// address itself and relays each connection to the server on an ephemeral loopback port. One
// thread moves the bytes of every connection with poll on nonblocking sockets, so a client that
// sends or reads slowly holds only its own two buffers, never a scrape. The server's request
// timeout ends a connection that never sends its request (the server closes, and so does the
// relay), and one that moves no byte for kIdle is closed. At most kConnections at once,
// each three descriptors (the client's, the relay's to the server, the server's end), well under
// the usual limit of 1024; the rest wait in the listen queue.
class Relay {
public:
    static constexpr std::size_t kConnections = 256;
    static constexpr std::size_t kBuffer = 16384;
    static constexpr auto kIdle = std::chrono::seconds(10);

    Relay(Fd listener, std::uint16_t server_port) : listener_(std::move(listener)) {
        server_.sin_family = AF_INET;
        server_.sin_port = htons(server_port);
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int ends[2];
        if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        wake_read_ = nonblocking(ends[0]);
        wake_write_ = nonblocking(ends[1]);
        thread_ = std::thread([this] { loop(); });
    }
    Relay(const Relay&) = delete;
    ~Relay() {
        (void)!::write(wake_write_.get(), "", 1);
        thread_.join();
    }

private:
    using Clock = std::chrono::steady_clock;
    // The bytes one side sent that the other has yet to take.
    struct Flow {
        std::vector<char> bytes = std::vector<char>(kBuffer);
        std::size_t sent = 0, held = 0;
        bool ended = false;  // the sender closed its side (passed on at once: nothing is held then)
    };
    struct Link {
        Fd client, server;
        Flow up, down;  // client to server, server to client
        Clock::time_point moved;
    };

    static bool would_wait() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
    // Moves what `from` sent on to `to` as far as both allow without waiting; false when a side broke.
    static bool pass(int from, int to, Flow& f, bool& moved) {
        if (f.held == 0 && !f.ended) {
            const ssize_t n = ::recv(from, f.bytes.data(), f.bytes.size(), 0);
            if (n > 0) {
                f.held = static_cast<std::size_t>(n);
                moved = true;
            } else if (n == 0) {
                f.ended = true;
                ::shutdown(to, SHUT_WR);
            } else if (!would_wait()) {
                return false;
            }
        }
        if (f.sent < f.held) {
            const ssize_t n = ::send(to, f.bytes.data() + f.sent, f.held - f.sent, MSG_NOSIGNAL);
            if (n > 0) {
                f.sent += static_cast<std::size_t>(n);
                moved = true;
            } else if (!would_wait()) {
                return false;
            }
            if (f.sent == f.held) f.sent = f.held = 0;
        }
        return true;
    }
    // What to wait for on a side: room to read what it sends, or bytes for it to take. A side with
    // nothing to wait for is left out of poll, so its hang-up cannot wake the loop again and again.
    static pollfd watch(const Fd& fd, const Flow& out, const Flow& in) {
        const auto events = static_cast<short>((out.held == 0 && !out.ended ? POLLIN : 0) | (in.held > 0 ? POLLOUT : 0));
        return {events ? fd.get() : -1, events, 0};
    }

    void accept_all(Clock::time_point now) {
        while (links_.size() < kConnections) {
            Fd client = nonblocking(::accept(listener_.get(), nullptr, nullptr));
            if (client.get() < 0) {
                // Out of descriptors or memory: the listener stays readable, so wait a round.
                if (!would_wait() && errno != ECONNABORTED) accept_after_ = now + std::chrono::milliseconds(200);
                return;
            }
            Fd server = nonblocking(::socket(AF_INET, SOCK_STREAM, 0));
            if (server.get() < 0 ||
                (::connect(server.get(), reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0 &&
                 errno != EINPROGRESS))
                continue;  // the client is closed
            links_.push_back(Link{std::move(client), std::move(server), Flow(), Flow(), now});
        }
    }

    void loop() {
        std::vector<pollfd> fds;
        for (;;) {
            auto now = Clock::now();
            fds.clear();
            fds.push_back({wake_read_.get(), POLLIN, 0});
            fds.push_back({links_.size() < kConnections && now >= accept_after_ ? listener_.get() : -1, POLLIN, 0});
            for (const Link& l : links_) {
                fds.push_back(watch(l.client, l.up, l.down));
                fds.push_back(watch(l.server, l.down, l.up));
            }
            // Links are swept for idleness and a paused accept retried each round; with neither, wait.
            const int wait_ms = links_.empty() && now >= accept_after_ ? -1 : 200;
            if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            now = Clock::now();
            // Backwards, so that a closed link's place is taken by one already seen.
            for (std::size_t k = links_.size(); k-- > 0;) {
                Link& l = links_[k];
                bool moved = false, broken = false;
                if ((fds[2 + 2 * k].revents | fds[3 + 2 * k].revents) != 0)
                    broken = !pass(l.client.get(), l.server.get(), l.up, moved) ||
                             !pass(l.server.get(), l.client.get(), l.down, moved);
                if (moved) l.moved = now;
                // The server's reply is whole once it closes: the client's side needs nothing more.
                if (broken || (l.down.ended && l.down.held == 0) || now - l.moved > kIdle) {
                    std::swap(l, links_.back());
                    links_.pop_back();
                }
            }
            if (fds[1].revents != 0) accept_all(now);
        }
    }

    Fd listener_;
    sockaddr_in server_{};
    Fd wake_read_, wake_write_;
    std::vector<Link> links_;
    Clock::time_point accept_after_{};
    std::thread thread_;
};

const CommandSpec metrics_spec{
    "zelk metrics [--listen ADDR:PORT] [--interval SECONDS] [--max-runs N]",
    "Serves Prometheus metrics of agent runs, GPU and network interfaces at /metrics (a landing page at /).\n"
    "A census is taken every interval; a scrape serves the latest one.",
    {{"--listen", "ADDR:PORT", "where to listen (default 127.0.0.1:9464; a bare PORT stays on loopback)"},
     {"--interval", "SECONDS", "seconds between censuses, 0.5 to 3600 (default 5)"},
     {"--max-runs", "N", "export the N busiest runs, 0 to 10000 (default 50); zelk_runs_omitted counts the rest"}}};

int run_metrics(Context& ctx) {
    const Parsed args = parse_args(metrics_spec, ctx.args);
    const ListenAddress address = listen_address(args.value("--listen") ? *args.value("--listen") : kDefaultListen);
    const std::string& listen = address.text;
    const double interval = args.number("--interval", 5.0, 0.5, 3600);
    const auto max_runs = static_cast<std::size_t>(args.whole("--max-runs", 50, 0, 10000));
    auto& lib = ctx.library();

    // The server's threads start with the stop signals blocked, so they reach this thread and
    // cut its sleep short.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    struct sigaction act {};
    act.sa_handler = on_stop_signal;
    sigemptyset(&act.sa_mask);
    ::sigaction(SIGINT, &act, nullptr);
    ::sigaction(SIGTERM, &act, nullptr);
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    Published published;
    mg_init_library(0);
    mg_callbacks callbacks{};
    callbacks.log_message = log_server_message;
    // Without IPv6 in the server, an IPv6 address is zelk's own socket, relayed to the server on
    // loopback (feature 8: the server library was built with IPv6).
    const bool relayed = address.v6 && mg_check_feature(8) == 0;
    std::string why;
    Fd bound = bind_address(address, why);
    if (why.empty() && relayed && ::listen(bound.get(), std::atoi(kListenBacklog)) != 0) why = std::strerror(errno);
    if (!why.empty()) return fail(kExitFailure, "metrics: cannot listen on " + listen + ": " + why);
    if (!relayed) bound = Fd();  // the server binds it now
    const char* options[] = {"listening_ports", relayed ? "127.0.0.1:0" : listen.c_str(), "num_threads", kWorkers,
                             "request_timeout_ms", kRequestTimeoutMs, "listen_backlog", kListenBacklog,
                             "enable_keep_alive", "no", nullptr};
    std::unique_ptr<mg_context, ServerStop> server(mg_start(&callbacks, nullptr, options));
    if (!server) {
        ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
        std::lock_guard lock(server_log_mutex);
        return fail(kExitFailure, "metrics: cannot listen on " + listen + (server_log.empty() ? "" : ": " + server_log));
    }
    mg_set_request_handler(server.get(), "/", handle, &published);
    mg_server_port ports[4]{};
    int port = mg_get_server_ports(server.get(), 4, ports) > 0 ? ports[0].port : 0;
    std::optional<Relay> relay;
    if (relayed) {
        sockaddr_in6 local{};
        socklen_t size = sizeof local;
        ::getsockname(bound.get(), reinterpret_cast<sockaddr*>(&local), &size);
        relay.emplace(std::move(bound), static_cast<std::uint16_t>(port));
        port = ntohs(local.sin6_port);
    }
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    const std::string host = listen.substr(0, listen.rfind(':'));
    std::printf("zelk metrics: serving http://%s:%d/metrics, a census every %g s\n", host.c_str(), port, interval);
    flush_out();

    // The first census seeds the usage windows. A failed census (its message printed) is
    // counted and leaves the last figures served until the next one.
    History history;
    Figures figures;
    const auto unix_now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    bool seeded = gather(lib, figures);
    if (seeded)
        history.last_success_sec = unix_now();
    else
        ++history.census_errors;
    published.publish(std::nullopt, history);
    auto last = std::chrono::steady_clock::now();
    while (!stop_requested) {
        pause_for(interval);
        if (stop_requested) break;
        const auto now = std::chrono::steady_clock::now();
        if (gather(lib, figures)) {
            history.last_success_sec = unix_now();
            // The first successful census only seeds the usage figures.
            auto families = families_of(figures, seeded ? std::chrono::duration<double>(now - last).count() : 0.0,
                                        max_runs, history);
            published.publish(seeded ? std::optional(std::move(families)) : std::nullopt, history);
            seeded = true;
            last = now;
        } else {
            ++history.census_errors;
            published.publish(std::nullopt, history);
        }
    }
    return kExitOk;
}

const Registration reg({"metrics",
                        "metrics [--listen ADDR:PORT] [--interval SECONDS] [--max-runs N]   Prometheus metrics of runs, "
                        "GPU and interfaces (default 127.0.0.1:9464, 5 s)",
                        run_metrics});

}  // namespace
}  // namespace zelk::tool
