// Writes seeds for kernel_replies_fuzz into the folder named by argv[1]: a routing reply with
// the interface's message, a /proc stat line, a cmdline and a GPU client stream.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "iokit_gpu.hpp"

namespace {

void write_seed(const std::string& dir, const std::string& name, std::uint8_t selector, const std::vector<std::uint8_t>& body) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.put(static_cast<char>(selector));
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
}

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    std::vector<std::uint8_t> route(132, 0);
    route[0] = 20;  // an address message first
    route[3] = 12;
    route[20] = 112;
    route[22] = 5;
    route[23] = 18;
    route[32] = 7;
    route[20 + 96] = 1;
    write_seed(dir, "route", 0, route);
    write_seed(dir, "stat", 1,
               bytes("42 (a) b) S 1 42 42 34816 42 4194304 1 0 0 0 3 4 0 0 20 0 1 0 99 1000 7 18446744073709551615 "
                     "1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0\n"));
    write_seed(dir, "cmdline", 2, bytes(std::string("worker: idle\0\0\0", 15)));
    const std::vector<zelk::GpuClient> clients = {{"pid 7, Xorg", 0x1000000000005ull, 12345}, {"", 9, 0}};
    const auto stream = zelk::encode_gpu_clients(clients);
    write_seed(dir, "gpu", 3, std::vector<std::uint8_t>(stream.data(), stream.data() + stream.size()));
    return 0;
}
