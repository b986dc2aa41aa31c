// The public C decoder (zelk_stream.h) against the library's own decoders, on the same bytes:
// both must accept or both refuse, and what they read must agree in every field. Any
// difference aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "iokit_gpu.hpp"
#include "stream.hpp"
#include "zelk_stream.h"

namespace {

bool same_text(const std::uint8_t* p, std::size_t n, const std::string& text) {
    return n == text.size() && (n == 0 || std::memcmp(p, text.data(), n) == 0);
}

bool same_record(const zelk_process_view& c, const zelk::ProcessRecord& r) {
    if (c.pid != r.pid || c.ppid != r.ppid || c.uid != r.uid || c.nice != r.nice || c.flags != r.flags ||
        c.cpu_usage != r.cpu_usage || c.resident_bytes != r.resident_bytes || c.start_sec != r.start_sec ||
        c.start_usec != r.start_usec || c.tty != r.tty || !same_text(c.command, c.command_length, r.command))
        return false;
    if ((c.session_id != nullptr) != r.session_id.has_value()) return false;
    return c.session_id == nullptr || std::memcmp(c.session_id, r.session_id->data(), ZELK_SNP_SESSION_SIZE) == 0;
}

void compare_snapshot(const std::uint8_t* data, std::size_t size) {
    const auto lib = zelk::decode_snapshot({data, size});
    zelk_snapshot_view view;
    const int rc = zelk_snapshot_open(&view, data, size);
    if ((rc == ZELK_STREAM_OK) != lib.has_value()) std::abort();
    if (!lib) return;
    if (view.mem_total != lib->mem_total || view.wall_sec != lib->wall_sec || view.wall_usec != lib->wall_usec ||
        view.collect_ns != lib->collect_ns || view.record_count != lib->records.size())
        std::abort();
    for (std::uint32_t i = 0; i < view.record_count; ++i) {
        zelk_process_view record;
        if (zelk_snapshot_record(&view, i, &record) != ZELK_STREAM_OK || !same_record(record, lib->records[i]))
            std::abort();
    }
    zelk_process_view past;
    if (zelk_snapshot_record(&view, view.record_count, &past) != ZELK_STREAM_BAD_INDEX) std::abort();
}

void compare_gpu(const std::uint8_t* data, std::size_t size) {
    const auto lib = zelk::decode_gpu_clients({data, size});
    zelk_gpu_view view;
    const int rc = zelk_gpu_open(&view, data, size);
    if ((rc == ZELK_STREAM_OK) != lib.has_value()) std::abort();
    if (!lib) return;
    if (view.record_count != lib->size()) std::abort();
    zelk_gpu_cursor at;
    zelk_gpu_client_view client;
    zelk_gpu_first(&view, &at);
    for (const auto& c : *lib) {
        if (zelk_gpu_next(&at, &client) != 1 || client.registry_id != c.registry_id || client.gpu_time != c.gpu_time ||
            !same_text(client.creator, client.creator_length, c.creator))
            std::abort();
    }
    if (zelk_gpu_next(&at, &client) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    compare_snapshot(data, size);
    compare_gpu(data, size);
    return 0;
}
