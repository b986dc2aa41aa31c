// What several subcommands share: a census through the export, measured as a sampling host
// sees it, and the GPU client stream, both decoded and released.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records.hpp"
#include "zelk.hpp"

namespace zelk::tool {

struct Taken {
    std::vector<std::uint8_t> raw;
    Snapshot snap;
};

// One census, copied out of the library's buffer, which is released. An exit status: on a
// failure the message, named for the running subcommand, is printed, or stored in `error`.
int take(Library& lib, Taken& out, std::string* error = nullptr);

// A census whose usage figures cover a window: where the platform has no instantaneous CPU
// figure (Linux), usage is measured between two collections of a loaded library, so a first
// collection half a second earlier gives the figures their window.
int take_measured(Library& lib, Taken& out);

// The GPU client stream, decoded; the library's code (0 on success). Throws std::runtime_error,
// naming the decoder's rule, on a malformed stream.
std::int32_t fetch_clients(Library& lib, std::vector<GpuClient>& out);

}  // namespace zelk::tool
