// zelk gpu [--json]: every GPU client with its GPU time, and the device's utilisation and
// memory in use, through the loaded library's two GPU exports.
#include <cinttypes>
#include <cstdio>
#include <stdexcept>

#include "args.hpp"
#include "census.hpp"

namespace zelk::tool {

// The library's buffer is released before this returns.
std::int32_t fetch_clients(Library& lib, std::vector<GpuClient>& out) {
    std::uint8_t* ptr = nullptr;
    std::size_t len = 0;
    const std::int32_t code = lib.gpu_clients(&ptr, &len);
    if (code != ZELK_CORE_OK) return code;
    struct Release {
        Library& lib;
        std::uint8_t* ptr;
        std::size_t len;
        ~Release() { lib.free(ptr, len); }
    } release{lib, ptr, len};
    if (const int rc = decode_gpu_clients({ptr, len}, out); rc != ZELK_STREAM_OK)
        throw std::runtime_error(std::string("the library returned a malformed ZELKGPU1 stream: ") + stream_rule(rc));
    return code;
}

namespace {

std::string figure_text(std::int64_t v, const char* unit) {
    if (v == -1) return "not available";
    return std::to_string(v) + unit;
}

const CommandSpec gpu_spec{"zelk gpu [--json]",
                           "Every GPU client with its GPU time, and the device's utilisation and memory in use.",
                           {{"--json", nullptr,
                             "JSON Lines: first {\"utilization\":..,\"memory\":..}, then one "
                             "{\"registry_id\":..,\"gpu_time\":..,\"creator\":..} per client"}}};

int run_gpu(Context& ctx) {
    const bool json = parse_args(gpu_spec, ctx.args).has("--json");
    auto& lib = ctx.library();
    std::vector<GpuClient> clients;
    const std::int32_t clients_code = fetch_clients(lib, clients);
    std::int64_t utilization = -1;
    std::int64_t memory = -1;
    const std::int32_t stats_code = lib.gpu_stats(&utilization, &memory);

    int status = kExitOk;
    if (clients_code != ZELK_CORE_OK) {
        fail(exit_for_code(clients_code),
             std::string("gpu: clients: ") + code_text(clients_code) + " (code " + std::to_string(clients_code) + ")");
        status = exit_for_code(clients_code);
    }
    if (stats_code != ZELK_CORE_OK) {
        fail(exit_for_code(stats_code),
             std::string("gpu: statistics: ") + code_text(stats_code) + " (code " + std::to_string(stats_code) + ")");
        if (status == kExitOk) status = exit_for_code(stats_code);
    }

    if (json) {
        // JSON Lines: the device's figures, then one line per client.
        if (stats_code == ZELK_CORE_OK)
            std::printf("{\"utilization\":%" PRId64 ",\"memory\":%" PRId64 "}\n", utilization, memory);
        else
            std::printf("{\"utilization\":null,\"memory\":null}\n");
        for (const auto& c : clients)
            std::printf("{\"registry_id\":%" PRIu64 ",\"gpu_time\":%" PRIu64 ",\"creator\":%s}\n", c.registry_id,
                        c.gpu_time, json_string(c.creator).c_str());
        return status;
    }

    if (stats_code == ZELK_CORE_OK) {
        std::printf("utilization     %s\n", figure_text(utilization, " %").c_str());
        std::printf("memory in use   %s\n", figure_text(memory, " bytes").c_str());
    }
    if (clients_code == ZELK_CORE_OK) {
        std::printf("clients         %zu\n", clients.size());
        if (!clients.empty()) std::printf("%20s %20s  %s\n", "REGISTRY ID", "GPU TIME", "CREATOR");
        for (const auto& c : clients) {
            // The creator is shown escaped, as in JSON, so that odd bytes cannot reach the terminal.
            const std::string creator = json_string(c.creator);
            std::printf("%20" PRIu64 " %20" PRIu64 "  %s\n", c.registry_id, c.gpu_time, creator.c_str());
        }
    }
    return status;
}

const Registration reg({"gpu", "gpu [--json]            GPU clients with their GPU time; device utilisation and memory", run_gpu});

}  // namespace
}  // namespace zelk::tool
