// macOS GPU registry: the IOAccelerator services, their user-client children and properties,
// read through IOKit and turned from CoreFoundation objects into plain typed values.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../gpu_registry.hpp"
#include "../owned.hpp"

namespace zelk {
namespace {

using CfRef = Owned<CFTypeRef, ::CFRelease>;  // only Create/Copy results, never Get results
using IoObject = Owned<io_object_t, ::IOObjectRelease>;

// An immutable UTF-8 string from a constant text; null when it cannot be made.
CfRef cf_string(const char* text) {
    return CfRef(::CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

// The IOAccelerator services in matching order, or nullopt when matching fails.
std::optional<std::vector<IoObject>> accelerator_services() {
    CFMutableDictionaryRef matching = ::IOServiceMatching(kAcceleratorClass);
    if (matching == nullptr) return std::nullopt;
    io_iterator_t raw = IO_OBJECT_NULL;
    // The call consumes the matching dictionary whatever its outcome.
    const kern_return_t status = ::IOServiceGetMatchingServices(kIOMainPortDefault, matching, &raw);
    IoObject iterator(raw);
    if (status != KERN_SUCCESS) return std::nullopt;
    std::vector<IoObject> services;
    for (;;) {
        IoObject service(::IOIteratorNext(iterator.get()));
        if (!service) break;
        services.push_back(std::move(service));
    }
    return services;
}

// A key to look up in a dictionary: its text for the typed value, its CF string for the lookup.
struct Lookup {
    const char* name;
    CFStringRef key;  // borrowed from the list's keys; may be null when it could not be made
};

// A string's text as the creator conversion wants it: a zero-filled buffer of the maximum UTF-8
// size plus one, filled by CFStringGetCString. The reader cuts it at its first NUL.
RegistryValue text_of(CFStringRef s) {
    const CFIndex max_size = ::CFStringGetMaximumSizeForEncoding(::CFStringGetLength(s), kCFStringEncodingUTF8);
    // kCFNotFound (-1) when the length overflows; the largest index leaves no room for the NUL.
    if (max_size < 0 || max_size == std::numeric_limits<CFIndex>::max()) return RegistryValue::make_text({}, false);
    std::string buffer(static_cast<std::size_t>(max_size) + 1, '\0');
    if (!::CFStringGetCString(s, buffer.data(), max_size + 1, kCFStringEncodingUTF8))
        return RegistryValue::make_text({}, false);
    return RegistryValue::make_text(std::move(buffer));
}

// Converts one CF object. Depth 0 expands an array; depths 0 and 1 look the named keys up in a
// dictionary; deeper values keep only their kind (nothing reads further down).
RegistryValue to_value(CFTypeRef v, std::span<const Lookup> keys, int depth) {
    if (v == nullptr) return {};
    const CFTypeID type = ::CFGetTypeID(v);
    if (type == ::CFStringGetTypeID()) return text_of(static_cast<CFStringRef>(v));
    if (type == ::CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(v);
        if (::CFNumberIsFloatType(number)) return RegistryValue::of_kind(RegistryValue::Kind::floating);
        SInt64 value = 0;
        const bool read = ::CFNumberGetValue(number, kCFNumberSInt64Type, &value);
        return RegistryValue::make_integer(value, read);
    }
    if (type == ::CFArrayGetTypeID()) {
        auto out = RegistryValue::of_kind(RegistryValue::Kind::array);
        if (depth > 0) return out;
        const auto array = static_cast<CFArrayRef>(v);
        const CFIndex count = ::CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; ++i)
            out.items.push_back(to_value(::CFArrayGetValueAtIndex(array, i), keys, depth + 1));
        return out;
    }
    if (type == ::CFDictionaryGetTypeID()) {
        auto out = RegistryValue::of_kind(RegistryValue::Kind::dictionary);
        if (depth > 1) return out;
        const auto dictionary = static_cast<CFDictionaryRef>(v);
        for (const auto& lookup : keys) {
            if (lookup.key == nullptr) continue;
            if (const void* entry = ::CFDictionaryGetValue(dictionary, lookup.key))
                out.entries.emplace_back(lookup.name, to_value(entry, {}, depth + 1));
        }
        return out;
    }
    return RegistryValue::of_kind(RegistryValue::Kind::other);
}

// One property of a registry entry, converted; the +1 reference is released on every path.
RegistryValue property(io_registry_entry_t entry, const CfRef& key, std::span<const Lookup> keys) {
    if (!key) return {};
    CfRef value(::IORegistryEntryCreateCFProperty(entry, static_cast<CFStringRef>(key.get()), kCFAllocatorDefault, 0));
    return to_value(value.get(), keys, 0);
}

// The keys one call reads, made once per call with cf_string.
struct Keys {
    CfRef creator;
    CfRef app_usage;
    CfRef gpu_time;
    CfRef statistics;
    CfRef utilization;
    CfRef memory;
};

class IokitChild final : public RegistryChild {
public:
    IokitChild(io_object_t child, const Keys& keys) : child_(child), keys_(keys) {}
    bool conforms_to_user_client() override { return ::IOObjectConformsTo(child_, kUserClientClass) != 0; }
    std::uint64_t registry_id() override {
        std::uint64_t id = 0;
        (void)::IORegistryEntryGetRegistryEntryID(child_, &id);  // on failure the ID stays 0
        return id;
    }
    RegistryValue creator() override { return property(child_, keys_.creator, {}); }
    RegistryValue app_usage() override {
        const std::array<Lookup, 1> lookups{{{kGpuTimeKey, static_cast<CFStringRef>(keys_.gpu_time.get())}}};
        return property(child_, keys_.app_usage, lookups);
    }

private:
    io_object_t child_;  // borrowed: the walk's loop owns it
    const Keys& keys_;
};

class IokitList final : public AcceleratorList {
public:
    IokitList(Keys keys, std::vector<IoObject> services) : keys_(std::move(keys)), services_(std::move(services)) {}

    std::size_t size() override { return services_.size(); }

    bool for_each_child(std::size_t index, const std::function<void(RegistryChild&)>& visit) override {
        io_iterator_t raw = IO_OBJECT_NULL;
        const kern_return_t status =
            ::IORegistryEntryGetChildIterator(services_.at(index).get(), kServicePlane, &raw);
        IoObject children(raw);
        if (status != KERN_SUCCESS) return false;
        for (;;) {
            IoObject child(::IOIteratorNext(children.get()));
            if (!child) break;
            IokitChild entry(child.get(), keys_);
            visit(entry);
        }
        services_[index] = IoObject();  // done with this accelerator
        return true;
    }

    RegistryValue performance_statistics(std::size_t index) override {
        const std::array<Lookup, 2> lookups{{
            {kUtilizationKey, static_cast<CFStringRef>(keys_.utilization.get())},
            {kMemoryKey, static_cast<CFStringRef>(keys_.memory.get())},
        }};
        RegistryValue figures = property(services_.at(index).get(), keys_.statistics, lookups);
        services_[index] = IoObject();
        return figures;
    }

private:
    Keys keys_;
    std::vector<IoObject> services_;  // whatever is left is released with the list
};

class IokitRegistry final : public GpuRegistry {
public:
    std::unique_ptr<AcceleratorList> accelerators(GpuQuery query) override {
        Keys keys;
        if (query == GpuQuery::clients) {
            keys.creator = cf_string(kCreatorKey);
            keys.app_usage = cf_string(kAppUsageKey);
            keys.gpu_time = cf_string(kGpuTimeKey);
        } else {
            keys.statistics = cf_string(kStatisticsKey);
            keys.utilization = cf_string(kUtilizationKey);
            keys.memory = cf_string(kMemoryKey);
        }
        auto services = accelerator_services();
        if (!services) return nullptr;
        return std::make_unique<IokitList>(std::move(keys), std::move(*services));
    }
};

}  // namespace

GpuRegistry& live_gpu_registry() {
    static IokitRegistry registry;
    return registry;
}

}  // namespace zelk
