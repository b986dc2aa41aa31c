// Writes seed streams for snapshot_decode_fuzz into the folder argv[1]: snapshots of a few
// shapes, encoded by the library's own encoder.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "stream.hpp"

namespace {

zelk::ProcessRecord record(std::int32_t pid, std::string command, const char* session) {
    zelk::ProcessRecord r;
    r.pid = pid;
    r.ppid = 1;
    r.uid = 501;
    r.nice = -5;
    r.flags = zelk::FLAG_INFO | zelk::FLAG_ARGV;
    r.cpu_usage = 1234;
    r.resident_bytes = 0x200000000ull;
    r.start_sec = 1799999000;
    r.start_usec = 9;
    r.tty = 0x10000003;
    r.command = std::move(command);
    if (session != nullptr) {
        r.flags |= zelk::FLAG_SESSION;
        r.session_id.emplace();
        std::memcpy(r.session_id->data(), session, r.session_id->size());
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: snapshot_seeds FOLDER\n");
        return 2;
    }
    const char* id = "0123456789abcdef-0123456789ABCDEF-01";
    zelk::Snapshot base;
    base.mem_total = 0x1122334455667788ull;
    base.wall_sec = 1800000000;
    base.wall_usec = 123456;
    base.collect_ns = 42;

    std::vector<zelk::Snapshot> seeds;
    seeds.push_back(base);  // header only
    auto two = base;
    two.records = {record(7, "/bin/x -y", id), zelk::ProcessRecord{}};
    seeds.push_back(two);
    auto many = base;
    for (int i = 0; i < 12; ++i)
        many.records.push_back(record(100 + i, std::string(static_cast<std::size_t>(i * 7), 'a' + i % 26),
                                      i % 3 == 0 ? id : nullptr));
    seeds.push_back(many);
    auto empty_commands = base;
    empty_commands.records = {record(1, "", nullptr), record(2, "", id), record(3, "(launchd)", nullptr)};
    seeds.push_back(empty_commands);

    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const zelk::CBuffer b = zelk::encode_snapshot(seeds[i]);
        std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(i), std::ios::binary);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        if (!out) return 1;
    }
    return 0;
}
