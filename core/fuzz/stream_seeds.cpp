// Writes seed streams for stream_diff_fuzz into the folder argv[1]: the selftest snapshot and
// GPU client streams of a few shapes, each written by the library's own encoder.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "iokit_gpu.hpp"
#include "selftest.hpp"
#include "stream.hpp"

namespace {

bool write(const std::string& path, const zelk::CBuffer& b) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stream_seeds FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = write(dir + "/snapshot_empty", zelk::encode_snapshot(zelk::Snapshot{}));
    ok = write(dir + "/snapshot_selftest", zelk::encode_snapshot(zelk::selftest_snapshot())) && ok;
    const std::vector<std::vector<zelk::GpuClient>> gpu = {
        {},
        {{"abc", 1, 2}},
        {{"pid 1234, node", 0x0001000000000007ull, 987654321}, {"", 0, 0}, {"pid 9, X", 42, ~0ull}},
    };
    for (std::size_t i = 0; i < gpu.size(); ++i)
        ok = write(dir + "/gpu" + std::to_string(i), zelk::encode_gpu_clients(gpu[i])) && ok;
    return ok ? 0 : 1;
}
