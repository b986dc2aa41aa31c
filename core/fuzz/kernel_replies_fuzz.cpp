// Fuzzes the parsers of kernel replies and the GPU client stream: the first byte picks the
// parser, the rest is its input. None may read outside its input or throw.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "iokit.hpp"
#include "iokit_gpu.hpp"
#include "platform/linux/procfs_parse.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> in(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(in.data()), in.size());
    switch (data[0] % 4) {
        case 0: {  // a routing reply, walked for interface 7 with the kernel's length anywhere
            const std::size_t returned = in.empty() ? 0 : in.size() - (in[0] % 8);
            if (const auto c = zelk::find_ifinfo2(in, returned, 7); c && in.size() < 112) std::abort();
            break;
        }
        case 1: {  // /proc texts
            if (const auto st = zelk::parse_proc_stat(text); st && text.find(')') == std::string_view::npos) std::abort();
            (void)zelk::parse_btime(text);
            (void)zelk::parse_schedstat(text);
            break;
        }
        case 2: {  // cmdline tidying keeps its length inside the buffer, ends with a NUL, starts with none
            std::vector<std::uint8_t> area(in.begin(), in.end());
            area.push_back(0xEE);
            const auto shape = zelk::finish_cmdline(area, in.size());
            if (shape.length == 0) {
                if (shape.count != 0 || std::any_of(in.begin(), in.end(), [](std::uint8_t b) { return b != 0; }))
                    std::abort();
            } else if (shape.length > area.size() || area[shape.length - 1] != 0 || area[0] == 0) {
                std::abort();
            }
            break;
        }
        default: {  // the GPU client stream: what decodes re-encodes to the same bytes
            if (const auto clients = zelk::decode_gpu_clients(in)) {
                const auto again = zelk::encode_gpu_clients(*clients);
                if (again.size() != in.size() || !std::equal(in.begin(), in.end(), again.data())) std::abort();
            }
            break;
        }
    }
    return 0;
}
