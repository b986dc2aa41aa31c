// The built zelk over a real agent run that the test starts (a child with a session id and a
// grandchild that inherits the run): a real Prometheus server scraping `zelk metrics`, and
// `zelk ease|restore --session` against the real helper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

const std::string SESSION = "5e551011-0000-4000-8000-0123456789ab";
const char* const PROMETHEUS = ZELK_PROMETHEUS_BIN;

// An agent run: /bin/sh with the session id in its environment runs `body`, after starting a
// grandchild (`sleep`) whose environment has the id removed, so that it belongs to the run only
// through its parent. The grandchild's pid goes to `pid_file`.
std::unique_ptr<Process> start_run(const TempDir& dir, const std::string& body) {
    const std::string script = "env -u CLAUDE_CODE_SESSION_ID sleep 120 & echo $! > " + (dir / "grandchild") +
                               "; " + body;
    return std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/env", "CLAUDE_CODE_SESSION_ID=" + SESSION, "/bin/sh", "-c", script},
        dir / "run.out", dir / "run.err");
}

// The grandchild's pid once it runs `sleep` itself (after env's exec), or 0.
pid_t grandchild(const TempDir& dir) {
    const auto pid = poll_for(5s, [&]() -> std::optional<pid_t> {
        const std::string text = read_text(dir / "grandchild");
        if (text.empty() || text.back() != '\n') return std::nullopt;
        const pid_t p = std::stoi(text);
        if (read_text("/proc/" + std::to_string(p) + "/comm") != "sleep\n") return std::nullopt;
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

// GET http://127.0.0.1:PORT/TARGET; the body of a 200 reply, else nullopt.
std::optional<std::string> http_get(int port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::nullopt;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
        }
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
    const auto run = start_run(dir, "while :; do :; done");  // the busy child
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
                                    ",command=~\"/bin/sh -c .*\"}"),
              1.0);
    std::printf("Prometheus read back zelk_run_cpu_usage%s = %.3f processors\n", selector.c_str(), *cpu);

    prometheus.stop();
    metrics.stop();
}

#ifdef ZELK_HELPER_BIN
// The nice value of a process, field 19 of /proc/PID/stat.
long nice_of(pid_t pid) {
    const std::string text = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    for (int i = 3; i <= 19 && fields >> f; ++i)
        if (i == 19) return std::stol(f);
    return -100;
}

TEST(ZelkHost, EaseAndRestoreEveryProcessOfARun) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sock = dir / "helper.sock";
    Process helper({ZELK_HELPER_BIN, "--socket", sock}, dir / "helper.out", dir / "helper.err");
    ASSERT_NE(wait_for_match(dir / "helper.err", "(listening on)"), "");
    const auto run = start_run(dir, "wait");
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
#endif

}  // namespace
}  // namespace zelk::tool
