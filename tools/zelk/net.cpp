// zelk net IFACE [--json]: the received and sent byte counters of one network interface.
#include <cinttypes>
#include <cstdio>

#include "zelk.hpp"

namespace zelk::tool {
namespace {

int run_net(Context& ctx) {
    bool json = false;
    std::vector<std::string> names;
    for (const auto& a : ctx.args) {
        if (a == "--json")
            json = true;
        else if (a.rfind("--", 0) == 0)
            return fail(kExitUsage, "net: unknown option " + a);
        else
            names.push_back(a);
    }
    if (names.empty()) return fail(kExitUsage, "net: name an interface, for example: zelk net lo");
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

const Registration reg({"net", "net IFACE... [--json]   received and sent bytes of network interfaces", run_net});

}  // namespace
}  // namespace zelk::tool
