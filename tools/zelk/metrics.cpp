// zelk metrics [--listen ADDR:PORT] [--interval SECONDS]: the census, agent runs, GPU and
// interface figures as Prometheus text over HTTP, for a Prometheus server to scrape.
//
// The census runs on a fixed interval on the main thread; a scrape serves the families of the
// latest one, so a scrape costs a copy, never a census, and any number of scrapers load the
// machine no more than one. On Linux the usage figures are deltas between two censuses, so the
// first one only seeds them and is not served.
#include <net/if.h>
#include <signal.h>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "census.hpp"
#include "runs.hpp"

namespace zelk::tool {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr const char* kDefaultListen = "127.0.0.1:9464";
// A command in a label is cut here: a label is an identity, not a transcript.
constexpr std::size_t kCommandLabelBytes = 200;

std::atomic<bool> stop_requested{false};
void on_stop_signal(int) { stop_requested = true; }

// The latest census's families; a scrape copies them.
class Published final : public prometheus::Collectable {
public:
    std::vector<MetricFamily> Collect() const override {
        std::lock_guard lock(mutex_);
        return families_;
    }
    void publish(std::vector<MetricFamily> families) {
        std::lock_guard lock(mutex_);
        families_ = std::move(families);
    }

private:
    mutable std::mutex mutex_;
    std::vector<MetricFamily> families_;
};

MetricFamily family(const char* name, const char* help, MetricType type) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

void add(MetricFamily& f, std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric m;
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

std::vector<MetricFamily> families_of(const Figures& in) {
    const Snapshot& s = in.snap;
    const auto runs = group_runs(s);
    const auto gpu_by_pid = gpu_time_by_pid(in.gpu_clients);

    auto info = family("zelk_run_info", "An agent run and the command of its oldest process (always 1)", MetricType::Gauge);
    auto cpu = family("zelk_run_cpu_usage", "CPU in use by the run's processes, in processors (1 = one busy processor)",
                      MetricType::Gauge);
    auto memory = family("zelk_run_resident_memory_bytes", "Resident memory of the run's processes", MetricType::Gauge);
    auto processes = family("zelk_run_processes", "Processes of the run, its own and inherited from an ancestor",
                            MetricType::Gauge);
    auto gpu_time = family("zelk_run_gpu_time_seconds", "GPU time used so far by the run's live processes",
                           MetricType::Gauge);
    for (const auto& run : runs) {
        std::string command = s.records[run.root].command;
        if (command.size() > kCommandLabelBytes) command.resize(kCommandLabelBytes);
        add(info, {{"session", run.session}, {"command", command}}, 1);
        add(cpu, {{"session", run.session}}, static_cast<double>(run.cpu_usage) / 1000.0);
        add(memory, {{"session", run.session}}, static_cast<double>(run.resident_bytes));
        add(processes, {{"session", run.session}}, static_cast<double>(run.processes()));
        if (in.have_gpu_clients)
            add(gpu_time, {{"session", run.session}}, static_cast<double>(run_gpu_time(s, run, gpu_by_pid)) / 1e9);
    }
    std::vector<MetricFamily> out{std::move(info), std::move(cpu), std::move(memory), std::move(processes)};
    if (in.have_gpu_clients) out.push_back(std::move(gpu_time));

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
    for (const auto& i : in.interfaces) {
        add(received, {{"interface", i.name}}, static_cast<double>(i.received));
        add(sent, {{"interface", i.name}}, static_cast<double>(i.sent));
    }
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

// Sleeps for `seconds` unless a stop signal comes first (it interrupts the sleep).
void pause_for(double seconds) {
    const auto whole = static_cast<time_t>(seconds);
    timespec left{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    while (!stop_requested && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int run_metrics(Context& ctx) {
    std::string listen = kDefaultListen;
    double interval = 5.0;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        const auto& a = ctx.args[i];
        char* end = nullptr;
        if (a == "--listen" && i + 1 < ctx.args.size()) {
            listen = ctx.args[++i];
            // A bare port binds to loopback: exposing the machine's processes is a choice to make by name.
            if (listen.find(':') == std::string::npos) listen = "127.0.0.1:" + listen;
        } else if (a == "--interval" && i + 1 < ctx.args.size()) {
            const std::string& v = ctx.args[++i];
            interval = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(interval >= 0.5 && interval <= 3600))
                return fail(kExitUsage, "metrics: --interval takes 0.5 to 3600 seconds");
        } else {
            return fail(kExitUsage, "metrics: usage: zelk metrics [--listen ADDR:PORT] [--interval SECONDS]");
        }
    }
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

    auto published = std::make_shared<Published>();
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        exposer = std::make_unique<prometheus::Exposer>(listen, 2);
    } catch (const std::exception& e) {
        return fail(kExitFailure, "metrics: cannot listen on " + listen + ": " + e.what());
    }
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    exposer->RegisterCollectable(published);
    const auto ports = exposer->GetListeningPorts();
    const std::string host = listen.substr(0, listen.rfind(':'));
    std::printf("zelk metrics: serving http://%s:%d/metrics, a census every %g s\n", host.c_str(),
                ports.empty() ? 0 : ports.front(), interval);
    std::fflush(stdout);

    // The first census seeds the usage windows. A failed census (its message printed) leaves
    // the last figures served until the next one.
    Figures figures;
    gather(lib, figures);
    while (!stop_requested) {
        pause_for(interval);
        if (stop_requested) break;
        if (gather(lib, figures)) published->publish(families_of(figures));
    }
    return kExitOk;
}

const Registration reg({"metrics",
                        "metrics [--listen ADDR:PORT] [--interval SECONDS]   Prometheus metrics of runs, GPU and interfaces (default 127.0.0.1:9464, 5 s)",
                        run_metrics});

}  // namespace
}  // namespace zelk::tool
