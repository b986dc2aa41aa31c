// vectors_check FOLDER: reads every conformance vector with the C decoder of zelk_stream.h and
// the library's own decoders and compares each reading with the vector's expected JSON Lines.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bytes.hpp"
#include "vector_json.hpp"
#include "zelk_stream.h"

namespace {

using namespace zelk;

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string text(const std::uint8_t* p, std::size_t n) { return {reinterpret_cast<const char*>(p), n}; }

// The C decoder's reading, or its code as a reject line.
std::string c_snapshot(std::span<const std::uint8_t> b, int rule) {
    zelk_snapshot_view v;
    zelk_process_view p;
    const int rc = zelk_snapshot_open(&v, b.data(), b.size());
    if (rc != ZELK_STREAM_OK) return vectors::reject_jsonl(ZELK_SNP_MAGIC, rc, rule);
    Snapshot s{v.mem_total, v.wall_sec, v.wall_usec, v.collect_ns, {}};
    for (std::uint32_t i = 0; i < v.record_count && zelk_snapshot_record(&v, i, &p) == ZELK_STREAM_OK; ++i) {
        s.records.push_back({p.pid, p.ppid, p.uid, p.nice, p.flags, p.cpu_usage, p.resident_bytes, p.start_sec,
                             p.start_usec, p.tty, text(p.command, p.command_length), std::nullopt});
        if (p.session_id != nullptr) std::copy_n(p.session_id, 36, s.records.back().session_id.emplace().begin());
    }
    return vectors::snapshot_jsonl(s, v.valid_count);
}

std::string c_gpu(std::span<const std::uint8_t> b, int rule) {
    zelk_gpu_view v;
    zelk_gpu_cursor at;
    zelk_gpu_client_view c;
    const int rc = zelk_gpu_open(&v, b.data(), b.size());
    if (rc != ZELK_STREAM_OK) return vectors::reject_jsonl(ZELK_GPU_MAGIC, rc, rule);
    std::vector<GpuClient> clients;
    zelk_gpu_first(&v, &at);
    while (zelk_gpu_next(&at, &c) == 1) clients.push_back({text(c.creator, c.creator_length), c.registry_id, c.gpu_time});
    return vectors::gpu_jsonl(clients);
}

// The library's decoders cannot say which rule failed: a refusal reads as the expected line.
std::string cpp_reading(std::span<const std::uint8_t> b, bool gpu, const std::string& expected) {
    if (gpu) {
        const auto clients = decode_gpu_clients(b);
        return clients ? vectors::gpu_jsonl(*clients) : expected;
    }
    const auto s = decode_snapshot(b);
    return s ? vectors::snapshot_jsonl(*s, read_le<std::uint32_t>(b, 44)) : expected;
}

}  // namespace

int main(int argc, char** argv) {
    int checked = 0, failed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argc == 2 ? argv[1] : ".")) {
        if (entry.path().extension() != ".jsonl") continue;
        const std::string expected = slurp(entry.path());
        const std::string raw = slurp(std::filesystem::path(entry.path()).replace_extension(".bin"));
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
        const bool gpu = expected.starts_with("{\"stream\":\"ZELKGPU1\"");
        const auto rule_at = expected.find(",\"rule\":");
        const int rule = rule_at == std::string::npos ? 0 : std::atoi(expected.c_str() + rule_at + 8);
        const std::string by_c = gpu ? c_gpu(bytes, rule) : c_snapshot(bytes, rule);
        const std::string by_library = cpp_reading(bytes, gpu, expected);
        const bool ok = by_c == expected && by_library == expected;
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", entry.path().filename().c_str());
        if (!ok) std::printf("expected:\n%sC decoder:\n%slibrary:\n%s", expected.c_str(), by_c.c_str(), by_library.c_str());
        ++checked;
        failed += ok ? 0 : 1;
    }
    std::printf("%d vectors, %d failed\n", checked, failed);
    return checked > 0 && failed == 0 ? 0 : 1;
}
