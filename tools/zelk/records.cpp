// The streams read through zelk_stream.h's decoder: it checks the whole stream when it opens it,
// so every record then reads; the records are copied out before the library's buffer goes.
#include "records.hpp"

#include <algorithm>

namespace zelk::tool {

int decode_snapshot(std::span<const std::uint8_t> stream, Snapshot& out) {
    zelk_snapshot_view view;
    if (const int rc = zelk_snapshot_open(&view, stream.data(), stream.size()); rc != ZELK_STREAM_OK) return rc;
    Snapshot s;
    s.mem_total = view.mem_total;
    s.wall_sec = view.wall_sec;
    s.wall_usec = view.wall_usec;
    s.collect_ns = view.collect_ns;
    s.records.resize(view.record_count);
    for (std::uint32_t i = 0; i < view.record_count; ++i) {
        zelk_process_view p;
        if (const int rc = zelk_snapshot_record(&view, i, &p); rc != ZELK_STREAM_OK) return rc;
        auto& r = s.records[i];
        r = {p.pid, p.ppid, p.uid, p.nice, p.flags, p.cpu_usage, p.resident_bytes, p.start_sec, p.start_usec, p.tty,
             std::string(reinterpret_cast<const char*>(p.command), p.command_length), std::nullopt};
        if (p.session_id != nullptr) {
            SessionId id;
            std::copy_n(reinterpret_cast<const char*>(p.session_id), id.size(), id.begin());
            r.session_id = id;
        }
    }
    out = std::move(s);
    return ZELK_STREAM_OK;
}

int decode_gpu_clients(std::span<const std::uint8_t> stream, std::vector<GpuClient>& out) {
    zelk_gpu_view view;
    if (const int rc = zelk_gpu_open(&view, stream.data(), stream.size()); rc != ZELK_STREAM_OK) return rc;
    std::vector<GpuClient> clients;
    clients.reserve(view.record_count);
    zelk_gpu_cursor at;
    zelk_gpu_client_view c;
    zelk_gpu_first(&view, &at);
    int rc;
    while ((rc = zelk_gpu_next(&at, &c)) == 1)
        clients.push_back({std::string(reinterpret_cast<const char*>(c.creator), c.creator_length), c.registry_id,
                           c.gpu_time});
    if (rc != 0) return rc;
    out = std::move(clients);
    return ZELK_STREAM_OK;
}

const char* stream_rule(int code) {
    switch (code) {
        case ZELK_STREAM_TRUNCATED: return "shorter than its header or its records need";
        case ZELK_STREAM_BAD_MAGIC: return "another magic: another format or version";
        case ZELK_STREAM_BAD_VERSION: return "a snapshot version other than 1";
        case ZELK_STREAM_BAD_RECORD_SIZE: return "a snapshot record size other than 60";
        case ZELK_STREAM_BAD_LAYOUT: return "a string area offset other than 64 + 60*N";
        case ZELK_STREAM_BAD_TEXT: return "a command or session id outside the string area";
        case ZELK_STREAM_BAD_COUNT: return "a GPU record count larger than the stream can hold";
        case ZELK_STREAM_TRAILING_BYTES: return "a GPU stream longer than its records";
        default: return "a record past the count";
    }
}

}  // namespace zelk::tool
