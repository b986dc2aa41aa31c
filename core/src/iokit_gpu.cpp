// GPU client accounting and device statistics: the walk over the accelerators' user clients,
// the ZELKGPU1 codec, the figure selection and the zelk_core_gpu_clients / _gpu_stats exports.
#include "iokit_gpu.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include "bytes.hpp"

namespace zelk {
namespace {

constexpr char kGpuMagic[8] = {'Z', 'E', 'L', 'K', 'G', 'P', 'U', '1'};

// An integer the platform read as a signed 64-bit value; nullopt for anything else (absent,
// another type, a floating-point number, a number that does not fit).
std::optional<std::int64_t> integer_of(const RegistryValue* v) {
    if (v == nullptr || v->kind != RegistryValue::Kind::integer || !v->readable) return std::nullopt;
    return v->integer;
}

}  // namespace

std::uint64_t sum_app_usage(const RegistryValue& app_usage) {
    if (app_usage.kind != RegistryValue::Kind::array) return 0;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = 0;
    for (const auto& entry : app_usage.items) {
        const auto time = integer_of(entry.find(kGpuTimeKey));  // null unless a dictionary
        if (!time || *time <= 0) continue;
        const auto add = static_cast<std::uint64_t>(*time);
        total = (kMax - total < add) ? kMax : total + add;
    }
    return total;
}

std::vector<GpuClient> collect_gpu_clients(GpuRegistry& registry) {
    const auto accelerators = registry.accelerators(GpuQuery::clients);
    if (!accelerators) throw MeasurementFailed("the accelerators cannot be listed");

    std::unordered_set<std::uint64_t> seen;
    std::vector<GpuClient> clients;
    const std::size_t count = accelerators->size();
    for (std::size_t i = 0; i < count; ++i) {
        const bool listed = accelerators->for_each_child(i, [&](RegistryChild& child) {
            if (!child.conforms_to_user_client()) return;
            // The ID counts as seen before any property is read: a client skipped below is not
            // looked at again under another accelerator.
            const std::uint64_t id = child.registry_id();
            if (!seen.insert(id).second) return;
            const RegistryValue creator = child.creator();
            if (creator.kind != RegistryValue::Kind::text || !creator.readable) return;
            GpuClient client;
            client.creator = creator.text.substr(0, creator.text.find('\0'));
            client.registry_id = id;
            client.gpu_time = sum_app_usage(child.app_usage());
            clients.push_back(std::move(client));
        });
        if (!listed) throw MeasurementFailed("an accelerator's children cannot be listed");
    }
    return clients;
}

// The stream, little-endian, unpadded:
//   0  "ZELKGPU1"   8  u32 N   12  N records of
//   { +0 u64 registry_id, +8 u64 gpu_time, +16 u32 L, +20 L creator bytes }
CBuffer encode_gpu_clients(std::span<const GpuClient> clients) {
    if (clients.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many GPU clients for one stream");
    std::size_t length = kGpuHeaderBytes;
    for (const auto& c : clients) {
        if (c.creator.size() > std::numeric_limits<std::uint32_t>::max() ||
            c.creator.size() > std::numeric_limits<std::size_t>::max() - length - kGpuRecordFixedBytes)
            throw std::length_error("a creator text too long for the stream");
        length += kGpuRecordFixedBytes + c.creator.size();
    }
    CBuffer buffer = CBuffer::allocate(length);
    ByteWriter out(buffer.bytes());
    out.put_bytes({reinterpret_cast<const std::uint8_t*>(kGpuMagic), sizeof kGpuMagic});
    out.put(static_cast<std::uint32_t>(clients.size()));
    for (const auto& c : clients) {
        out.put(c.registry_id);
        out.put(c.gpu_time);
        out.put(static_cast<std::uint32_t>(c.creator.size()));
        out.put_bytes({reinterpret_cast<const std::uint8_t*>(c.creator.data()), c.creator.size()});
    }
    if (out.position() != length) throw std::logic_error("GPU stream length mismatch");
    return buffer;
}

std::optional<std::vector<GpuClient>> decode_gpu_clients(std::span<const std::uint8_t> stream) {
    if (stream.size() < kGpuHeaderBytes || std::memcmp(stream.data(), kGpuMagic, sizeof kGpuMagic) != 0)
        return std::nullopt;
    const auto n = read_le<std::uint32_t>(stream, 8);
    // Each record takes at least 20 bytes: a count the stream cannot hold is refused before
    // anything is reserved for it.
    if (n > (stream.size() - kGpuHeaderBytes) / kGpuRecordFixedBytes) return std::nullopt;
    std::vector<GpuClient> clients;
    clients.reserve(n);
    std::size_t offset = kGpuHeaderBytes;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!in_bounds(stream.size(), offset, kGpuRecordFixedBytes)) return std::nullopt;
        GpuClient c;
        c.registry_id = read_le<std::uint64_t>(stream, offset);
        c.gpu_time = read_le<std::uint64_t>(stream, offset + 8);
        const std::size_t l = read_le<std::uint32_t>(stream, offset + 16);
        offset += kGpuRecordFixedBytes;
        if (!in_bounds(stream.size(), offset, l)) return std::nullopt;
        const auto text = stream.subspan(offset, l);
        c.creator.assign(reinterpret_cast<const char*>(text.data()), text.size());
        offset += l;
        clients.push_back(std::move(c));
    }
    if (offset != stream.size()) return std::nullopt;  // no trailer exists: extra bytes are damage
    return clients;
}

GpuStats select_gpu_stats(GpuRegistry& registry) {
    const auto accelerators = registry.accelerators(GpuQuery::statistics);
    if (!accelerators) throw MeasurementFailed("the accelerators cannot be listed");
    GpuStats stats;
    const std::size_t count = accelerators->size();
    for (std::size_t i = 0; i < count; ++i) {
        const RegistryValue figures = accelerators->performance_statistics(i);
        if (figures.kind != RegistryValue::Kind::dictionary) continue;
        // A figure read from the platform is kept whatever its sign; only 0 or more ends the
        // search for it.
        if (stats.utilization < 0)
            if (const auto v = integer_of(figures.find(kUtilizationKey))) stats.utilization = *v;
        if (stats.memory < 0)
            if (const auto v = integer_of(figures.find(kMemoryKey))) stats.memory = *v;
        if (stats.utilization >= 0 && stats.memory >= 0) break;
    }
    return stats;
}

}  // namespace zelk

ZELK_API std::int32_t zelk_core_gpu_clients(std::uint8_t** out_ptr, std::size_t* out_len) noexcept {
    return zelk::export_buffer(out_ptr, out_len, [] {
        return zelk::encode_gpu_clients(zelk::collect_gpu_clients(zelk::live_gpu_registry()));
    });
}

ZELK_API std::int32_t zelk_core_gpu_stats(std::int64_t* out_utilization, std::int64_t* out_memory) noexcept {
    return zelk::export_frame(
        [&]() -> std::int32_t {
            const zelk::GpuStats stats = zelk::select_gpu_stats(zelk::live_gpu_registry());
            *out_utilization = stats.utilization;
            *out_memory = stats.memory;
            return zelk::kOk;
        },
        out_utilization, out_memory);
}
