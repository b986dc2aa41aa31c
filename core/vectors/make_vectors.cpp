// Writes the conformance vectors into a folder: streams made by the library's own encoders,
// each with its expected decoding as JSON Lines, and streams a reader must refuse, each with
// the decoder's code. Run at build time; the folder's README says what each file covers.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "procargs.hpp"
#include "vector_json.hpp"
#include "zelk_stream.h"

namespace {

using namespace zelk;
using Bytes = std::vector<std::uint8_t>;

std::string folder;

void write_file(const std::string& name, const void* data, std::size_t size) {
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(data, 1, size, f) == size;
    if (f == nullptr || std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

void write_vector(const std::string& name, std::span<const std::uint8_t> stream, const std::string& expected) {
    write_file(name + ".bin", stream.data(), stream.size());
    write_file(name + ".jsonl", expected.data(), expected.size());
}

Bytes to_bytes(const CBuffer& b) { return {b.data(), b.data() + b.size()}; }

SessionId session(std::string_view text) {
    SessionId id{};
    text.copy(id.data(), id.size());
    return id;
}

std::string command(std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    return build_command(list);
}

std::string fallback(std::string_view name) {
    std::array<char, 16> comm{};
    name.copy(comm.data(), comm.size() - 1);
    return fallback_command(comm);
}

ProcessRecord record(std::int32_t pid, std::uint32_t flags, std::string cmd) {
    ProcessRecord r;
    r.pid = pid;
    r.ppid = 1;
    r.uid = 501;
    r.flags = flags;
    r.start_sec = 1767225600;
    r.start_usec = 250000;
    r.tty = 0x10000003;
    r.command = std::move(cmd);
    return r;
}

Snapshot header(std::uint64_t collect_ns) {
    Snapshot s;
    s.mem_total = 17179869184;
    s.wall_sec = 1767229200;
    s.wall_usec = 123456;
    s.collect_ns = collect_ns;
    return s;
}

std::uint32_t valid_count(const Snapshot& s) {
    std::uint32_t n = 0;
    for (const auto& r : s.records) n += (r.flags & FLAG_INFO) != 0 ? 1 : 0;
    return n;
}

Bytes snapshot_vector(const std::string& name, const Snapshot& s) {
    const CBuffer stream = encode_snapshot(s);
    write_vector(name, stream.bytes(), vectors::snapshot_jsonl(s, valid_count(s)));
    return to_bytes(stream);
}

Bytes gpu_vector(const std::string& name, const std::vector<GpuClient>& clients) {
    const CBuffer stream = encode_gpu_clients(clients);
    write_vector(name, stream.bytes(), vectors::gpu_jsonl(clients));
    return to_bytes(stream);
}

// A stream that breaks one rule: `bytes` edited from a well-formed one.
void reject(const std::string& name, std::string_view magic, Bytes bytes, int code, int rule) {
    write_vector(name, bytes, vectors::reject_jsonl(magic, code, rule));
}

template <class T>
Bytes patched(Bytes bytes, std::size_t offset, T value) {
    write_le<T>(bytes, offset, value);
    return bytes;
}

void snapshots() {
    constexpr auto u32_max = std::numeric_limits<std::uint32_t>::max();
    constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();

    Snapshot empty = header(0);
    empty.wall_sec = -1;  // one second before the epoch: wall_sec is signed
    empty.wall_usec = 999999;
    snapshot_vector("snapshot-empty", empty);

    Snapshot flags = header(15850000);
    ProcessRecord gone;  // exited during the collection: a placeholder
    gone.pid = 4242;
    flags.records.push_back(gone);
    ProcessRecord refused = record(88, FLAG_INFO, fallback("WindowServer"));
    refused.tty = NO_TTY;
    flags.records.push_back(refused);
    ProcessRecord root = record(1, FLAG_INFO | FLAG_ARGV, command({"/sbin/launchd"}));
    root.ppid = 0;
    root.uid = 0;
    root.nice = -20;
    root.cpu_usage = 2500;
    root.resident_bytes = 14680064;
    flags.records.push_back(root);
    ProcessRecord agent = record(20146, FLAG_INFO | FLAG_ARGV | FLAG_SESSION,
                                 command({"sh", "-c", "while :; do :; done"}));
    agent.ppid = 20144;
    agent.nice = 19;
    agent.cpu_usage = 1000;
    agent.resident_bytes = 1466368;
    agent.session_id = session("0f0e0d0c-0b0a-4908-8706-050403020100");
    flags.records.push_back(agent);
    ProcessRecord upper = agent;
    upper.pid = 20150;
    upper.ppid = 20146;
    upper.nice = 20;
    upper.command = command({"make", "-j8"});
    upper.session_id = session("ABCDEF01-2345-6789-ABCD-EF0123456789");
    flags.records.push_back(upper);
    const Bytes flags_stream = snapshot_vector("snapshot-flags", flags);

    Snapshot escapes = header(2000000);
    const std::string nuls("\x00\x01\x1b\x7f", 4);
    for (const auto& args : std::vector<std::vector<std::string_view>>{
             {"printf", "a\tb\nc"},
             {"caf\xC3\xA9", "\xA0nbsp"},
             {"ctl", nuls},
             {"meta", "\x80\x9f\xff\xe0\xa1"},
             {"quote", "say \"hi\"", "back\\slash", "caret^A"},
             {"two words", ""}}) {
        escapes.records.push_back(record(static_cast<std::int32_t>(500 + escapes.records.size()),
                                         FLAG_INFO | FLAG_ARGV, build_command(args)));
    }
    escapes.records.push_back(record(600, FLAG_INFO, fallback("we\x01ird\xC3\xA9")));
    snapshot_vector("snapshot-escapes", escapes);

    Snapshot largest = header(u64_max);
    largest.mem_total = u64_max;
    largest.wall_sec = std::numeric_limits<std::int64_t>::max();
    largest.wall_usec = 999999;
    ProcessRecord big = record(std::numeric_limits<std::int32_t>::max(), FLAG_INFO | FLAG_ARGV,
                               command({"x", std::string(1000, 'y')}));
    big.ppid = u32_max;
    big.uid = u32_max;
    big.cpu_usage = u32_max;  // saturated
    big.resident_bytes = u64_max;
    big.start_sec = u64_max;
    big.start_usec = 999999;
    big.tty = u32_max - 1;  // one below the sentinel
    largest.records.push_back(big);
    snapshot_vector("snapshot-largest", largest);

    // Accepted though the library never writes it: stray flag bits, flags that disagree with
    // the session offset, two records sharing one command, a header valid_count and reserved
    // field that are not what the records say, and bytes no record references.
    Snapshot lenient = header(1);
    lenient.records.push_back(record(10, FLAG_INFO | FLAG_ARGV, "alpha"));
    lenient.records.push_back(record(11, FLAG_INFO | FLAG_ARGV | FLAG_SESSION, "beta"));
    lenient.records[1].session_id = session("0f0e0d0c-0b0a-4908-8706-050403020100");
    Bytes odd = to_bytes(encode_snapshot(lenient));
    odd = patched<std::uint32_t>(odd, 44, 99);
    odd = patched<std::uint64_t>(odd, 56, u64_max);
    odd = patched<std::uint32_t>(odd, 64 + 16, 0x80000000u | FLAG_INFO | FLAG_ARGV | FLAG_SESSION);
    odd = patched<std::uint32_t>(odd, 64 + 44, 5);  // record 0 now reads record 1's "beta"
    odd = patched<std::uint32_t>(odd, 64 + 48, 4);
    odd = patched<std::uint32_t>(odd, 124 + 16, FLAG_INFO);
    odd.insert(odd.end(), {'z', 'z', 'z'});
    lenient.records[0].flags = 0x80000000u | FLAG_INFO | FLAG_ARGV | FLAG_SESSION;
    lenient.records[0].command = "beta";
    lenient.records[1].flags = FLAG_INFO;
    write_vector("snapshot-lenient", odd, vectors::snapshot_jsonl(lenient, 99));

    // One per rule, edited from snapshot-flags (5 records: string area at 364).
    const Bytes& s = flags_stream;
    const std::string_view snp = ZELK_SNP_MAGIC;
    reject("snapshot-reject-1-magic", snp, patched<std::uint8_t>(s, 7, '2'), ZELK_STREAM_BAD_MAGIC, 1);
    reject("snapshot-reject-2-version", snp, patched<std::uint32_t>(s, 8, 2), ZELK_STREAM_BAD_VERSION, 2);
    reject("snapshot-reject-3-record-size", snp, patched<std::uint32_t>(s, 16, 64), ZELK_STREAM_BAD_RECORD_SIZE, 3);
    reject("snapshot-reject-4-layout", snp, patched<std::uint32_t>(s, 20, 365), ZELK_STREAM_BAD_LAYOUT, 4);
    // N = 5 + 2^30: 64 + 60*N is 364 again in 32 bits; only a 64-bit computation refuses it.
    const std::uint32_t wrap_count = 5 + (std::uint32_t{1} << 30);
    const Bytes wrap = patched<std::uint32_t>(s, 12, wrap_count);
    if (read_le<std::uint32_t>(wrap, 20) != static_cast<std::uint32_t>(64 + 60 * wrap_count))
        throw std::logic_error("the record count does not wrap to the string area offset");
    reject("snapshot-reject-4-wrap", snp, wrap, ZELK_STREAM_BAD_LAYOUT, 4);
    reject("snapshot-reject-4-short", snp, Bytes(s.begin(), s.begin() + 300), ZELK_STREAM_TRUNCATED, 4);
    // Offsets whose sum with the length wraps in 32 bits.
    Bytes cmd = patched<std::uint32_t>(s, 64 + 120 + 44, u32_max);
    reject("snapshot-reject-5-command", snp, patched<std::uint32_t>(cmd, 64 + 120 + 48, 2), ZELK_STREAM_BAD_TEXT, 5);
    reject("snapshot-reject-6-session", snp, patched<std::uint32_t>(s, 64 + 180 + 52, u32_max - 1),
           ZELK_STREAM_BAD_TEXT, 6);
}

void gpu() {
    gpu_vector("gpu-empty", {});
    const std::vector<GpuClient> clients = {
        {"pid 1234, WindowServer", 0x100000a2c, 123456789},
        {"", 0, 0},
        // The platform's bytes, unfiltered: a terminal escape, UTF-8, and bytes that are not UTF-8.
        {"pid 77, \x1b[31mred\x1b[0m caf\xC3\xA9 \xff\xfe", (std::uint64_t{1} << 48) | 7,
         std::numeric_limits<std::uint64_t>::max()},
    };
    const Bytes g = gpu_vector("gpu-clients", clients);
    const std::string_view gpu = ZELK_GPU_MAGIC;
    reject("gpu-reject-1-magic", gpu, patched<std::uint8_t>(g, 7, '2'), ZELK_STREAM_BAD_MAGIC, 1);
    reject("gpu-reject-2-count", gpu, patched<std::uint32_t>(g, 8, static_cast<std::uint32_t>((g.size() - 12) / 20 + 1)),
           ZELK_STREAM_BAD_COUNT, 2);
    // The first text's length, 0xFFFFFFF0, wraps a 32-bit offset sum back into the stream.
    reject("gpu-reject-3-text", gpu, patched<std::uint32_t>(g, 12 + 16, 0xFFFFFFF0u), ZELK_STREAM_TRUNCATED, 3);
    Bytes longer = g;
    longer.push_back(0);
    reject("gpu-reject-4-trailing", gpu, longer, ZELK_STREAM_TRAILING_BYTES, 4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_vectors FOLDER\n");
        return 2;
    }
    folder = argv[1];
    try {
        snapshots();
        gpu();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_vectors: %s\n", e.what());
        return 1;
    }
    return 0;
}
