// zelk net [IFACE...] [--json]: the received and sent byte counters of network interfaces, the
// named ones or every one the system lists.
#include <net/if.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "args.hpp"
#include "zelk.hpp"

namespace zelk::tool {
namespace {

const CommandSpec net_spec{"zelk net [IFACE...] [--json]",
                           "Received and sent bytes of the named network interfaces, or of every interface.",
                           {{"--json", nullptr, "JSON Lines: one object per interface"}},
                           SIZE_MAX,
                           "IFACE"};

// Every interface the system lists, in its order.
std::vector<std::string> every_interface() {
    std::vector<std::string> names;
    if (struct if_nameindex* list = ::if_nameindex()) {
        for (const auto* n = list; n->if_index != 0 && n->if_name != nullptr; ++n) names.emplace_back(n->if_name);
        ::if_freenameindex(list);
    }
    return names;
}

int run_net(Context& ctx) {
    const Parsed args = parse_args(net_spec, ctx.args);
    const bool json = args.has("--json");
    const std::vector<std::string> names = args.positional.empty() ? every_interface() : args.positional;
    if (names.empty()) return fail(kExitFailure, "net: the system lists no network interface");
    auto& lib = ctx.library();
    int status = kExitOk;
    for (const auto& name : names) {
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
        const std::int32_t code = lib.iface_bytes(name.c_str(), &received, &sent);
        if (code != ZELK_CORE_OK) {
            fail(exit_for_code(code), "net: " + name + ": " + code_text(code) + " (code " + std::to_string(code) + ")");
            if (status == kExitOk) status = exit_for_code(code);
            continue;
        }
        if (json)
            std::printf("{\"interface\":%s,\"received_bytes\":%" PRIu64 ",\"sent_bytes\":%" PRIu64 "}\n",
                        json_string(name).c_str(), received, sent);
        else
            std::printf("%-16s received %20" PRIu64 " bytes   sent %20" PRIu64 " bytes\n", name.c_str(), received, sent);
    }
    return status;
}

const Registration reg({"net", "net [IFACE...] [--json]   received and sent bytes of network interfaces (all without a name)", run_net});

}  // namespace
}  // namespace zelk::tool
