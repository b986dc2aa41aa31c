// zelk net [IFACE...] [--json]: the received and sent byte counters of network interfaces, the
// named ones or every one the system lists.
#include <net/if.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "args.hpp"
#include "zelk.hpp"
#include "zelk_text.hpp"  // to_visible, valid_utf8: names shown as commands are, UTF-8 checked

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
    const auto failed = [&status](int exit, const std::string& message) {
        fail(exit, message);
        if (status == kExitOk) status = exit;
    };
    for (const auto& name : names) {
        // A name is the kernel's bytes or the caller's: printed in its visible form, so that
        // control bytes in it cannot reach the terminal.
        const std::string shown = to_visible(name);
        if (!valid_utf8({reinterpret_cast<const std::uint8_t*>(name.data()), name.size()})) {
            failed(kExitFailure, "net: " + shown + ": the name is not valid UTF-8, and only UTF-8 names can be queried");
            continue;
        }
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
        const std::int32_t code = lib.iface_bytes(name.c_str(), &received, &sent);
        if (code != ZELK_CORE_OK) {
            failed(exit_for_code(code), "net: " + shown + ": " + code_text(code) + " (code " + std::to_string(code) + ")");
            continue;
        }
        if (json)
            std::printf("{\"interface\":%s,\"received_bytes\":%" PRIu64 ",\"sent_bytes\":%" PRIu64 "}\n",
                        json_string(name).c_str(), received, sent);
        else
            std::printf("%-16s received %20" PRIu64 " bytes   sent %20" PRIu64 " bytes\n", shown.c_str(), received, sent);
    }
    return status;
}

const Registration reg({"net", "net [IFACE...] [--json]   received and sent bytes of network interfaces (all without a name)", run_net});

}  // namespace
}  // namespace zelk::tool
