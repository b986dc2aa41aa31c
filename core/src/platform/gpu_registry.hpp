// What the GPU figures ask of the platform's device registry: the accelerators in order, each
// one's direct children and its performance statistics, with properties as plain typed values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

// The registry's names: the accelerator class, the plane, the user-client class and the keys.
inline constexpr const char* kAcceleratorClass = "IOAccelerator";
inline constexpr const char* kServicePlane = "IOService";
inline constexpr const char* kUserClientClass = "AGXDeviceUserClient";
inline constexpr const char* kCreatorKey = "IOUserClientCreator";
inline constexpr const char* kAppUsageKey = "AppUsage";
inline constexpr const char* kGpuTimeKey = "accumulatedGPUTime";
inline constexpr const char* kStatisticsKey = "PerformanceStatistics";
inline constexpr const char* kUtilizationKey = "Device Utilization %";
inline constexpr const char* kMemoryKey = "In use system memory";

// One property value, reduced to what the readers look at. A dictionary carries only the
// entries for the keys its reader asks about (the platform is asked for those alone); an array
// carries every element in order.
struct RegistryEntry;

struct RegistryValue {
    enum class Kind : std::uint8_t { absent, text, integer, floating, array, dictionary, other };
    Kind kind = Kind::absent;
    bool readable = true;      // text: converted to UTF-8; integer: read as a signed 64-bit value
    std::string text;          // text: the converted bytes, NULs and what follows them included
    std::int64_t integer = 0;  // integer
    std::vector<RegistryValue> items;    // array
    std::vector<RegistryEntry> entries;  // dictionary

    // The special members are defined below, where the entry type is complete.
    RegistryValue();
    RegistryValue(const RegistryValue&);
    RegistryValue(RegistryValue&&) noexcept;
    RegistryValue& operator=(const RegistryValue&);
    RegistryValue& operator=(RegistryValue&&) noexcept;
    ~RegistryValue();

    // The dictionary entry for `key`, or null when this is no dictionary or has no such entry.
    const RegistryValue* find(std::string_view key) const;

    static RegistryValue of_kind(Kind k);
    static RegistryValue make_text(std::string bytes, bool converted = true);
    static RegistryValue make_integer(std::int64_t n, bool read = true);
    static RegistryValue make_array(std::vector<RegistryValue> elements);
    static RegistryValue make_dictionary(std::vector<RegistryEntry> pairs);
};

struct RegistryEntry {
    RegistryEntry(std::string k, RegistryValue v) : key(std::move(k)), value(std::move(v)) {}
    std::string key;
    RegistryValue value;
};

inline RegistryValue::RegistryValue() = default;
inline RegistryValue::RegistryValue(const RegistryValue&) = default;
inline RegistryValue::RegistryValue(RegistryValue&&) noexcept = default;
inline RegistryValue& RegistryValue::operator=(const RegistryValue&) = default;
inline RegistryValue& RegistryValue::operator=(RegistryValue&&) noexcept = default;
inline RegistryValue::~RegistryValue() = default;

inline const RegistryValue* RegistryValue::find(std::string_view wanted) const {
    if (kind != Kind::dictionary) return nullptr;
    for (const auto& e : entries)
        if (e.key == wanted) return &e.value;
    return nullptr;
}

inline RegistryValue RegistryValue::of_kind(Kind k) {
    RegistryValue v;
    v.kind = k;
    return v;
}

inline RegistryValue RegistryValue::make_text(std::string bytes, bool converted) {
    auto v = of_kind(Kind::text);
    v.text = std::move(bytes);
    v.readable = converted;
    return v;
}

inline RegistryValue RegistryValue::make_integer(std::int64_t n, bool read) {
    auto v = of_kind(Kind::integer);
    v.integer = n;
    v.readable = read;
    return v;
}

inline RegistryValue RegistryValue::make_array(std::vector<RegistryValue> elements) {
    auto v = of_kind(Kind::array);
    v.items = std::move(elements);
    return v;
}

inline RegistryValue RegistryValue::make_dictionary(std::vector<RegistryEntry> pairs) {
    auto v = of_kind(Kind::dictionary);
    v.entries = std::move(pairs);
    return v;
}

// One direct child of an accelerator. Each call asks the platform afresh, so a child the walk
// skips early costs no property reads.
class RegistryChild {
public:
    virtual ~RegistryChild() = default;
    virtual bool conforms_to_user_client() = 0;  // the class test: kUserClientClass or a subclass
    virtual std::uint64_t registry_id() = 0;     // 0 when the ID cannot be read
    virtual RegistryValue creator() = 0;         // kCreatorKey
    virtual RegistryValue app_usage() = 0;       // kAppUsageKey; its dictionaries hold kGpuTimeKey
};

// One call's accelerators, in matching order. Destroying the list releases every one of them.
class AcceleratorList {
public:
    virtual ~AcceleratorList() = default;
    virtual std::size_t size() = 0;
    // Calls `visit` for each direct child of accelerator `index`, in registry order. False when
    // the children cannot be listed; children already visited stay visited.
    virtual bool for_each_child(std::size_t index, const std::function<void(RegistryChild&)>& visit) = 0;
    // kStatisticsKey; its dictionary holds kUtilizationKey and kMemoryKey.
    virtual RegistryValue performance_statistics(std::size_t index) = 0;
};

// What a list will be asked, so that a source can leave out accelerators that cannot answer it
// (the Linux source lists the GPU vendor library's devices only for statistics).
enum class GpuQuery : std::uint8_t { clients, statistics };

class GpuRegistry {
public:
    virtual ~GpuRegistry() = default;
    // The accelerators, or null when they cannot be listed. An empty list is no failure.
    virtual std::unique_ptr<AcceleratorList> accelerators(GpuQuery query) = 0;
};

// The running system's registry: IOKit on macOS; DRM usage statistics and the GPU vendor's
// management library on Linux.
GpuRegistry& live_gpu_registry();

}  // namespace zelk
