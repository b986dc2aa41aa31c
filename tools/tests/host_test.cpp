// The built zelk over a real agent run that the test starts (a child with a session id and a
// grandchild that inherits the run): a real Prometheus server scraping `zelk metrics`, and
// `zelk ease|restore --session` against the real helper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <regex>

#include "support/process.hpp"
#include "support/socket_client.hpp"  // the helper tests' TempDir

namespace zelk::tool {
namespace {

using namespace std::chrono_literals;
using testing::poll_for;
using testing::Process;
using testing::read_text;
using helper::testing::TempDir;

// A session id of this test process alone: another run of these tests on the machine (another
// build tree) must not add its processes to this one's run.
const std::string SESSION = [] {
    char tail[13];
    std::snprintf(tail, sizeof tail, "%012llx", (static_cast<unsigned long long>(std::random_device{}()) << 16) ^
                                                    static_cast<unsigned long long>(::getpid()));
    return "5e551011-0000-4000-8000-" + std::string(tail, 12);
}();
const char* const PROMETHEUS = ZELK_PROMETHEUS_BIN;

// An agent run: this test binary, run again as the run's child with the session id in its
// environment (a program that is not Apple's: macOS hides the environment of Apple's own
// programs), starts a grandchild (`sleep`) whose environment has the id removed, so that it
// belongs to the run only through its parent, and writes its pid to `pid_file`. Then it spins
// (`busy`) or waits.
const char* const RUN_ROLE = "ZELK_HOST_TEST_RUN";
const char* const RUN_PID_FILE = "ZELK_HOST_TEST_PID_FILE";

[[noreturn]] void be_the_run(const std::string& role, const std::string& pid_file) {
    ::unsetenv("CLAUDE_CODE_SESSION_ID");  // from the list passed on; this process's own area keeps it
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("120"), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) ::_exit(2);
    std::ofstream(pid_file) << pid << '\n';
    volatile unsigned long spins = 0;
    for (;;) {
        if (role == "busy")
            spins = spins + 1;
        else
            ::pause();
    }
}

[[maybe_unused]] const bool IS_THE_RUN = [] {
    const char* role = std::getenv(RUN_ROLE);
    const char* pid_file = std::getenv(RUN_PID_FILE);
    if (role != nullptr && pid_file != nullptr) be_the_run(role, pid_file);
    return false;
}();

std::unique_ptr<Process> start_run(const TempDir& dir, const std::string& role) {
    return std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/env", "CLAUDE_CODE_SESSION_ID=" + SESSION, std::string(RUN_ROLE) + "=" + role,
                                 std::string(RUN_PID_FILE) + "=" + (dir / "grandchild"), ZELK_HOST_TESTS_BIN},
        dir / "run.out", dir / "run.err");
}

// The grandchild's pid once it runs `sleep`, or 0.
pid_t grandchild(const TempDir& dir) {
    const auto pid = poll_for(5s, [&]() -> std::optional<pid_t> {
        const std::string text = read_text(dir / "grandchild");
        if (text.empty() || text.back() != '\n') return std::nullopt;
        const pid_t p = std::stoi(text);
        if (testing::process_name(p) != "sleep") return std::nullopt;
        return p;
    });
    return pid.value_or(0);
}

// The first match of `pattern`'s group 1 in the file, once it appears.
std::string wait_for_match(const std::string& path, const std::string& pattern) {
    const std::regex re(pattern);
    return poll_for(30s, [&]() -> std::optional<std::string> {
               std::smatch m;
               const std::string text = read_text(path);
               if (std::regex_search(text, m, re)) return m[1].str();
               return std::nullopt;
           })
        .value_or("");
}

// A socket connected to loopback (127.0.0.1, or ::1 for AF_INET6) at `port`, else -1.
int connect_loopback(int port, int family = AF_INET) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 addr6{};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_port = addr.sin_port;
    addr6.sin6_addr = in6addr_loopback;
    const bool v6 = family == AF_INET6;
    if (::connect(fd, v6 ? reinterpret_cast<const sockaddr*>(&addr6) : reinterpret_cast<const sockaddr*>(&addr),
                  v6 ? sizeof addr6 : sizeof addr) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// GET http://127.0.0.1:PORT/TARGET (or [::1]); the body of a 200 reply, else nullopt.
std::optional<std::string> http_get(int port, const std::string& target, int family = AF_INET) {
    const int fd = connect_loopback(port, family);
    if (fd < 0) return std::nullopt;
    std::string reply;
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto body = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.", 0) != 0 || reply.substr(9, 3) != "200" || body == std::string::npos)
        return std::nullopt;
    return reply.substr(body + 4);
}

std::string url_encode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", c);
            out += esc;
        }
    }
    return out;
}

// The value of the single series an instant query returns, once it returns one.
std::optional<double> query_value(int port, const std::string& promql) {
    const auto body = http_get(port, "/api/v1/query?query=" + url_encode(promql));
    if (!body) return std::nullopt;
    const auto reply = nlohmann::json::parse(*body, nullptr, false);
    if (reply.is_discarded() || reply.value("status", "") != "success") return std::nullopt;
    const auto& result = reply["data"]["result"];
    if (!result.is_array() || result.size() != 1) return std::nullopt;
    return std::stod(result[0]["value"][1].get<std::string>());
}

TEST(ZelkHost, PrometheusScrapesTheCpuOfARun) {
    if (!ZELK_WITH_METRICS) GTEST_SKIP() << "zelk was built without its metrics subcommand";
    ASSERT_EQ(::access(PROMETHEUS, X_OK), 0)
        << PROMETHEUS << " is missing: install Debian's prometheus package (scripts/setup-debian does) or Homebrew's";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const auto run = start_run(dir, "busy");
    ASSERT_GT(run->pid(), 0);
    ASSERT_GT(grandchild(dir), 0);

    Process metrics({ZELK_BIN, "metrics", "--listen", "127.0.0.1:0", "--interval", "1"}, dir / "metrics.out",
                    dir / "metrics.err");
    const std::string metrics_port =
        wait_for_match(dir / "metrics.out", R"(serving http://127\.0\.0\.1:([0-9]+)/metrics)");
    ASSERT_NE(metrics_port, "") << read_text(dir / "metrics.err");

    {
        std::ofstream config(dir / "prometheus.yml");
        config << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                  "scrape_configs:\n  - job_name: zelk\n    static_configs:\n      - targets: ['127.0.0.1:"
               << metrics_port << "']\n";
    }
    Process prometheus({PROMETHEUS, "--config.file=" + (dir / "prometheus.yml"), "--storage.tsdb.path=" + (dir / "data"),
                        "--web.listen-address=127.0.0.1:0", "--log.level=info"},
                       dir / "prometheus.out", dir / "prometheus.err");
    const std::string web = wait_for_match(dir / "prometheus.err", R"(msg="Listening on" address=127\.0\.0\.1:([0-9]+))");
    ASSERT_NE(web, "") << read_text(dir / "prometheus.err");
    const int port = std::stoi(web);

    // Prometheus has scraped a census with a usage window that saw the busy child.
    const std::string selector = "{session=\"" + SESSION + "\"}";
    const auto cpu = poll_for(60s, [&]() -> std::optional<double> {
        const auto v = query_value(port, "zelk_run_cpu_usage" + selector);
        return v && *v > 0 ? v : std::nullopt;
    });
    ASSERT_TRUE(cpu) << read_text(dir / "prometheus.err") << read_text(dir / "metrics.err");
    EXPECT_LE(*cpu, 1.2);  // one spinning thread, one processor at most
    EXPECT_EQ(query_value(port, "zelk_run_processes" + selector), 2.0);  // the child and its grandchild
    EXPECT_EQ(query_value(port, "zelk_run_info" + selector.substr(0, selector.size() - 1) +
                                    ",command=~\".*zelk_host_tests\"}"),
              1.0);
    std::printf("Prometheus read back zelk_run_cpu_usage%s = %.3f processors\n", selector.c_str(), *cpu);

    prometheus.stop();
    metrics.stop();
}

// The command line as a person types it: each row is one call of zelk, its exit status and
// what its output must show. `json` rows must write JSON Lines (every line one object).
TEST(ZelkHost, CommandLine) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string shows;  // in standard output or standard error
        bool json = false;
        std::string out = "";  // where standard output goes (default: a file)
        bool read_only = false;  // `out` opened for reading only: every write fails
        std::string program = ZELK_BIN;
    };
    const auto run = start_run(dir, "wait");  // an agent run for --session
    ASSERT_GT(grandchild(dir), 0);
    std::string upper_session = SESSION;
    for (auto& c : upper_session) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string absent = "--socket=" + (dir / "absent.sock");
    std::vector<Case> cases = {
        {{"top", "--rows", "abc"}, 2, "zelk: top: --rows: not a whole number: \"abc\""},
        {{"top", "--rows"}, 2, "--rows needs a value"},
        {{"top", "--interval=0"}, 2, "--interval: 0 is out of range"},
        {{"top", "--sort", "colour"}, 2, "--sort: unknown key"},
        {{"mic", "--watch", "abc"}, 2, "--watch: not a number"},
        {{"mic", "--pids", "1,x"}, 2, "--pids: not a whole number: \"x\""},
        {{"snapshot", "--bogus"}, 2, "unknown option --bogus"},
        {{"net", "--json=yes"}, 2, "--json takes no value"},
        {{"sessions", "extra"}, 2, "unexpected argument \"extra\""},
        {{"ease"}, 2, "--session ID is required"},
        {{"metrics", "--max-runs", "-1"}, 2, "--max-runs: -1 is out of range"},
        {{"helper", "ping", absent}, 1, "cannot connect"},
        {{"snapshot", "--once"}, 1, "cannot write standard output: Bad file descriptor", false, dir / "read-only", true},
        {{"net", "--json"}, 0, "{\"interface\":\"lo", true},  // lo0 on macOS
        {{"gpu", "--json"}, 0, "{\"utilization\":", true},
        {{"snapshot", "--json", "--once"}, 0, "\"pid\":1,", true},
        {{"sessions", "--json"}, 0, "", true},
        {{"selftest", "--json"}, 0, "{\"selftest\":\"pass\"}", true},
        {{"top", "--count=1", "--rows", "3", "--width=80"}, 0, "processors  load "},
        {{"--version", "extra"}, 2, "--version takes no argument: \"extra\""},
        {{"top", "1e1"}, 2, "SECONDS: not a number: \"1e1\""},
        {{"top", "--count", "+1"}, 2, "--count: not a whole number: \"+1\""},
        {{"metrics", "--listen", "nonsense"}, 2, "zelk: metrics: --listen: not a numeric"},
        {{"metrics", "--listen", "999.1.1.1:9"}, 2, "--listen: not a numeric"},
        {{"metrics", "--listen", "192.0.2.1:9"}, 1, "cannot listen on 192.0.2.1:9: Cannot assign requested address"},
        {{"mic", "--watch", "3600", "--count", "1"}, 0, "microphone"},
        {{"ease", "--session", upper_session, "--dry-run"}, 0, "would send"},
        // A reader that goes away is a normal end; head reads one byte of twenty frames.
        {{"-c", "set -o pipefail; " + std::string(ZELK_BIN) + " top 0.1 --count 20 | head -c 1"}, 0, "", false,
         "/dev/null", false, "/bin/bash"},
    };
    for (const char* command : {"snapshot", "sessions", "top", "net", "gpu", "mic", "helper", "ease", "restore",
                                "selftest", "metrics"})
        cases.push_back({{command, command[0] == 's' ? "-h" : "--help"}, 0, std::string("usage: zelk ") + command});
    for (const auto& c : cases) {
        std::vector<std::string> argv{c.program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p(argv, c.out.empty() ? dir / "out" : c.out, dir / "err", c.read_only ? O_RDONLY | O_CREAT : O_WRONLY | O_CREAT | O_TRUNC);
        const std::string call = "zelk " + ::testing::PrintToString(c.args);
        SCOPED_TRACE(call);  // every failure names its row
        EXPECT_EQ(p.wait_exit(60s), c.status) << call << read_text(dir / "err");
        const std::string out = c.out.empty() ? read_text(dir / "out") : "";
        const std::string err = read_text(dir / "err");
        EXPECT_NE((out + err).find(c.shows), std::string::npos) << call << "\n" << out << err;
        // A usage error is one line; plain output has no terminal escapes.
        if (c.status == 2) {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << call << err;
        }
        if (c.program != ZELK_BIN) {
            EXPECT_EQ(err, "") << call;  // the closed pipe: quietly
        }
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << call;
        std::istringstream lines(out);
        for (std::string line; c.json && std::getline(lines, line);)
            EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << call << ": " << line;
    }
}

TEST(ZelkHost, ExporterAnswersWhileConnectionsHang) {
    if (!ZELK_WITH_METRICS) GTEST_SKIP() << "zelk was built without its metrics subcommand";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const auto run = start_run(dir, "wait");
    ASSERT_GT(grandchild(dir), 0);
    Process metrics({ZELK_BIN, "metrics", "--listen=127.0.0.1:0", "--interval=0.5", "--max-runs=0"},
                    dir / "metrics.out", dir / "metrics.err");
    const std::string port_text = wait_for_match(dir / "metrics.out", R"(serving http://127\.0\.0\.1:([0-9]+)/)");
    ASSERT_NE(port_text, "") << read_text(dir / "metrics.err");
    const int port = std::stoi(port_text);
    // 200 connections of one user that never finish a request, each holding a worker.
    std::vector<int> hanging;
    for (int k = 0; k < 200; ++k) {
        const int fd = connect_loopback(port);
        ASSERT_GE(fd, 0);
        if (k % 2) ::send(fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
        hanging.push_back(fd);
    }
    const auto started = std::chrono::steady_clock::now();
    const auto body = http_get(port, "/metrics");
    const auto took = std::chrono::steady_clock::now() - started;
    for (const int fd : hanging) ::close(fd);
    ASSERT_TRUE(body);
    EXPECT_LT(took, 2s);
    EXPECT_NE(http_get(port, "/").value_or("").find("href=\"/metrics\""), std::string::npos);
    EXPECT_NE(body->find("zelk_build_info{version=\""), std::string::npos) << *body;
    EXPECT_NE(body->find("zelk_census_errors_total 0"), std::string::npos) << *body;
    // Every series is zelk's own; --max-runs 0 leaves the run out and counts it.
    std::istringstream lines(*body);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') {
            EXPECT_EQ(line.rfind("zelk_", 0), 0u) << line;
        }
    const auto omitted = poll_for(10s, [&]() -> std::optional<std::string> {
        const std::string text = http_get(port, "/metrics").value_or("");
        return text.find("zelk_runs_omitted ") != std::string::npos ? std::optional(text) : std::nullopt;
    });
    ASSERT_TRUE(omitted);
    EXPECT_EQ(omitted->find("zelk_run_cpu_usage{"), std::string::npos);
    EXPECT_EQ(omitted->find("zelk_runs_omitted 0\n"), std::string::npos) << *omitted;
    std::printf("a scrape with 200 hanging connections took %.3f s\n", std::chrono::duration<double>(took).count());
}

// On an IPv6 address the exporter answers scrapes, also while 200 IPv6 connections hang.
TEST(ZelkHost, ExporterServesIPv6) {
    if (!ZELK_WITH_METRICS) GTEST_SKIP() << "zelk was built without its metrics subcommand";
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_loopback;
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    const bool has_v6 = probe >= 0 && ::bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    if (probe >= 0) ::close(probe);
    if (!has_v6) GTEST_SKIP() << "this machine cannot bind ::1";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    Process metrics({ZELK_BIN, "metrics", "--listen=[::1]:0", "--interval=0.5"}, dir / "metrics.out",
                    dir / "metrics.err");
    const std::string port_text = wait_for_match(dir / "metrics.out", R"(serving http://\[::1\]:([0-9]+)/metrics)");
    ASSERT_NE(port_text, "") << read_text(dir / "metrics.err");
    const int port = std::stoi(port_text);
    std::vector<int> hanging;
    for (int k = 0; k < 200; ++k) hanging.push_back(connect_loopback(port, AF_INET6));
    const auto started = std::chrono::steady_clock::now();
    const auto body = http_get(port, "/metrics", AF_INET6);
    const auto took = std::chrono::steady_clock::now() - started;
    for (const int fd : hanging) ::close(fd);
    EXPECT_EQ(std::count(hanging.begin(), hanging.end(), -1), 0);
    ASSERT_TRUE(body);
    EXPECT_LT(took, 2s);
    EXPECT_NE(body->find("zelk_build_info{version=\""), std::string::npos) << *body;
}

// Interface names in a network namespace of the test's own: `zelk net` and the exporter's label
// show an escape in its visible form, and a name that is not UTF-8 is said to be so.
TEST(ZelkHost, InterfaceNamesAreShownVisibly) {
    TempDir dir;
    const std::string script = R"sh(exec 2>&1; x=$(printf 'x\377y'); ip link set lo up || exit 77
ip link add "$(printf 'e\033[7m')" type veth peer name "$x" || exit 77
"$0" net; echo "status $?"; "$0" net "$x"; echo "status $?"; "$0" metrics --interval 0.5 >/dev/null &
for t in $(seq 50); do sleep 0.3; exec 3<>/dev/tcp/127.0.0.1/9464 && echo -e 'GET /metrics HTTP/1.0\r\n\r' >&3 &&
  grep 'receive.*e\^' <&3 && break; done; kill $!)sh";
    Process p({"/usr/bin/env", "unshare", "-rn", "bash", "-c", script, ZELK_BIN}, dir / "out", dir / "err");
    if (p.wait_exit(60s) == 77 || !read_text(dir / "err").empty()) GTEST_SKIP() << read_text(dir / "err");
    const std::string out = read_text(dir / "out");
    EXPECT_EQ(out.find_first_of("\x1b\xff"), std::string::npos) << out;
    EXPECT_NE(out.find("e^[[7m "), std::string::npos) << out;
    EXPECT_NE(out.find("status 1\nzelk: net: xM^?y: the name is not valid UTF-8, and only UTF-8 names can be queried\n"
                       "status 1\n"), std::string::npos) << out;
    EXPECT_TRUE(!ZELK_WITH_METRICS || out.find("{interface=\"e^[[7m\"} ") != std::string::npos) << out;
}

// A tmux server of the test's own (its socket in `dir`) with one window running a command.
class Tmux {
public:
    Tmux(const TempDir& dir, const std::string& command, int columns, int lines) : dir_(dir), socket_(dir / "tmux") {
        run({"-f", "/dev/null", "new-session", "-d", "-x", std::to_string(columns), "-y", std::to_string(lines),
             command});
    }
    ~Tmux() { run({"kill-server"}); }
    std::string run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/env", "tmux", "-S", socket_};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv, dir_ / "tmux.out", dir_ / "tmux.err");
        p.wait_exit(10s);
        return read_text(dir_ / "tmux.out");
    }
    void keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args{"send-keys"};
        args.insert(args.end(), keys.begin(), keys.end());
        run(args);
    }
    std::string screen(bool escapes = false) {
        return run(escapes ? std::vector<std::string>{"capture-pane", "-p", "-e"} : std::vector<std::string>{"capture-pane", "-p"});
    }
    // The screen once `shows` says yes, or nullopt.
    template <class F>
    std::optional<std::string> wait_for(F shows) {
        return poll_for(20s, [&]() -> std::optional<std::string> {
            std::string text = screen();
            return shows(text) ? std::optional(text) : std::nullopt;
        });
    }
    std::optional<std::string> wait_for(const char* text) { return wait_for(std::string(text)); }
    std::optional<std::string> wait_for(const std::string& text) {
        return wait_for([&](const std::string& s) { return s.find(text) != std::string::npos; });
    }

private:
    const TempDir& dir_;
    std::string socket_;
};

// A foreground or background colour in a screen captured with its escapes.
const std::regex kColour(R"(\x1b\[(3|4)[0-7]m)");

bool has_tmux() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

TEST(ZelkTop, FitsResizesFiltersFoldsSortsAndQuits) {
    if (!has_tmux()) GTEST_SKIP() << "tmux is missing (scripts/setup-debian installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const auto run = start_run(dir, "wait");
    const pid_t inherited = grandchild(dir);
    ASSERT_GT(inherited, 0);
    // The inherited process's row (E marks it eased where the tests run niced).
    const std::string row = "+" + std::string(9 - std::to_string(inherited).size(), ' ') + std::to_string(inherited);
    Tmux tmux(dir, "env NO_COLOR=1 " + std::string(ZELK_BIN) + " top 0.5 --socket " + (dir / "absent.sock"), 80, 24);
    const auto first = tmux.wait_for("processors  load");
    ASSERT_TRUE(first) << tmux.screen();
    std::istringstream lines(*first);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(count, 24);
    EXPECT_LT(first->find("processors"), first->find('\n'));  // the machine's totals head the screen
    // NO_COLOR: reverse video marks the selection, no colour is set.
    const std::string painted = tmux.screen(true);
    EXPECT_NE(painted.find("\x1b[7m"), std::string::npos);
    EXPECT_FALSE(std::regex_search(painted, kColour)) << painted;

    tmux.keys({"?"});  // the help screen lists every key
    ASSERT_TRUE(tmux.wait_for("q, Esc, F10, Ctrl-C quit")) << tmux.screen();
    tmux.keys({"x", "/", SESSION});  // the filter applies as it is typed
    ASSERT_TRUE(tmux.wait_for([&](const std::string& s) {
        return s.find(row) != std::string::npos && s.find("other processes") == std::string::npos;
    })) << tmux.screen();
    tmux.keys({"Enter", "/"});  // a new filter starts empty; Ctrl-W drops a word, Ctrl-U the line, Esc the edit
    ASSERT_TRUE(tmux.wait_for("filter (Enter keeps, Esc cancels):\n")) << tmux.screen();
    tmux.keys({"zzz yyy"});
    ASSERT_TRUE(tmux.wait_for("cancels): zzz yyy\n")) << tmux.screen();
    tmux.keys({"C-w"});
    ASSERT_TRUE(tmux.wait_for("cancels): zzz\n")) << tmux.screen();
    tmux.keys({"C-u"});
    ASSERT_TRUE(tmux.wait_for("other processes")) << tmux.screen();
    tmux.keys({"Escape"});
    ASSERT_TRUE(tmux.wait_for("filter: " + SESSION)) << tmux.screen();
    tmux.keys({"Enter"});  // the run is selected: fold it
    ASSERT_TRUE(tmux.wait_for([&](const std::string& s) {
        return s.find("[+]") != std::string::npos && s.find(row) == std::string::npos;
    })) << tmux.screen();
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.wait_for(row)) << tmux.screen();
    tmux.keys({"s"});
    ASSERT_TRUE(tmux.wait_for("sort: memory")) << tmux.screen();
    tmux.run({"resize-window", "-x", "200", "-y", "50"});
    ASSERT_TRUE(tmux.wait_for([&](const std::string& s) {
        return std::count(s.begin(), s.end(), '\n') == 50 && s.find(SESSION + " (2 processes): /") != std::string::npos;
    })) << tmux.screen();
    tmux.keys({"e"});
    ASSERT_TRUE(tmux.wait_for("ease run " + SESSION + " (2 processes) through the helper? [y/N]")) << tmux.screen();
    tmux.keys({"y"});
    ASSERT_TRUE(tmux.wait_for("the helper is not running (cannot connect to")) << tmux.screen();
    // 40 columns: the command stays, GPU and AGE go; the question keeps its [y/N] in sight.
    tmux.keys({"x"});
    tmux.run({"resize-window", "-x", "40", "-y", "24"});
    const std::regex narrow_row("\\" + row + R"( +-?\d+ +[\d.]+  sleep 120)");
    ASSERT_TRUE(tmux.wait_for([&](const std::string& s) { return std::regex_search(s, narrow_row); })) << tmux.screen();
    tmux.keys({"Home", "e"});
    ASSERT_TRUE(tmux.wait_for("... [y/N]")) << tmux.screen();
    tmux.keys({"n", "F10"});
    EXPECT_TRUE(poll_for(10s, [&] { return tmux.run({"has-session"}).empty() && read_text(dir / "tmux.err") != ""; }))
        << tmux.screen();
}

#ifdef ZELK_HELPER_BIN
// The nice value of a process; -100 when it cannot be read.
long nice_of(pid_t pid) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    return errno == 0 ? nice : -100;
}

TEST(ZelkHost, EaseAndRestoreEveryProcessOfARun) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sock = dir / "helper.sock";
    Process helper({ZELK_HELPER_BIN, "--socket", sock}, dir / "helper.out", dir / "helper.err");
    ASSERT_NE(wait_for_match(dir / "helper.err", "(listening on)"), "");
    const auto run = start_run(dir, "idle");
    const pid_t child = run->pid();
    const pid_t inherited = grandchild(dir);
    ASSERT_GT(inherited, 0);
    // The test may itself run niced (a build under `nice`): the run starts from the default.
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(child), 0), 0);
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(inherited), 0), 0);

    const auto zelk = [&](const std::string& verb) {
        Process p({ZELK_BIN, verb, "--session", SESSION, "--socket", sock}, dir / "zelk.out", dir / "zelk.err");
        const auto status = p.wait_exit(60s);
        return std::make_pair(status.value_or(-2), read_text(dir / "zelk.out") + read_text(dir / "zelk.err"));
    };
    const auto [eased, ease_out] = zelk("ease");
    EXPECT_EQ(eased, 0) << ease_out;
    EXPECT_EQ(nice_of(child), 10);
    EXPECT_EQ(nice_of(inherited), 10);
    EXPECT_NE(ease_out.find(std::to_string(inherited) + "  ease ok (inherited)"), std::string::npos) << ease_out;
    // Each request names its process by start time too.
    EXPECT_NE(read_text(dir / "helper.err").find("ease pid=" + std::to_string(child) + " start="), std::string::npos);

    const auto [restored, restore_out] = zelk("restore");
    EXPECT_EQ(restored, 0) << restore_out;
    EXPECT_EQ(nice_of(child), 0);
    EXPECT_EQ(nice_of(inherited), 0);
    std::printf("%s%s", ease_out.c_str(), restore_out.c_str());
}
TEST(ZelkTop, EasesAndRestoresARunThroughTheHelper) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    if (!has_tmux()) GTEST_SKIP() << "tmux is missing (scripts/setup-debian installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sock = dir / "helper.sock";
    Process helper({ZELK_HELPER_BIN, "--socket", sock}, dir / "helper.out", dir / "helper.err");
    ASSERT_NE(wait_for_match(dir / "helper.err", "(listening on)"), "");
    const auto run = start_run(dir, "wait");
    const pid_t inherited = grandchild(dir);
    ASSERT_GT(inherited, 0);
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(run->pid()), 0), 0);
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(inherited), 0), 0);
    Tmux tmux(dir, std::string(ZELK_BIN) + " top 0.5 --socket " + sock, 160, 30);
    ASSERT_TRUE(tmux.wait_for("processors")) << tmux.screen();
    tmux.keys({"/", SESSION, "Enter"});  // typed: a --filter would also match zelk's own command line
    ASSERT_TRUE(tmux.wait_for("(2 processes)")) << tmux.screen();
    EXPECT_TRUE(std::regex_search(tmux.screen(true), kColour));  // in colour
    for (const std::string verb : {"ease", "restore"}) {
        tmux.keys({verb.substr(0, 1)});
        ASSERT_TRUE(tmux.wait_for("through the helper? [y/N]")) << tmux.screen();
        tmux.keys({"y"});
        const auto answers = tmux.wait_for([&](const std::string& s) {
            return s.find("press a key") != std::string::npos;
        });
        ASSERT_TRUE(answers) << tmux.screen();
        EXPECT_NE(answers->find(std::to_string(run->pid()) + "  " + verb + " ok"), std::string::npos) << *answers;
        EXPECT_NE(answers->find(std::to_string(inherited) + "  " + verb + " ok"), std::string::npos) << *answers;
        EXPECT_EQ(nice_of(inherited), verb == "ease" ? 10 : 0);
        tmux.keys({"Space"});
        ASSERT_TRUE(tmux.wait_for(verb + ": 2 of 2 ok")) << tmux.screen();
        // The list shows what was done at once: the nice value, E on each eased process, the
        // count in the run's header; a restore clears them.
        const std::string mark = verb == "ease" ? "E" : " ", nice = verb == "ease" ? "10" : "0";
        const std::regex eased_row(mark + R"(\+ +)" + std::to_string(inherited) + " +[^ ]+ +" + nice + " ");
        ASSERT_TRUE(tmux.wait_for([&](const std::string& s) {
            return std::regex_search(s, eased_row) &&
                   s.find(verb == "ease" ? "2 eased, " + SESSION : "[-]         run") != std::string::npos &&
                   (verb == "ease") == (s.find(" eased, ") != std::string::npos);
        })) << tmux.screen();
    }
    tmux.keys({"Escape"});
    EXPECT_TRUE(poll_for(10s, [&] { return tmux.run({"has-session"}).empty() && read_text(dir / "tmux.err") != ""; }));
}
#endif

}  // namespace
}  // namespace zelk::tool
