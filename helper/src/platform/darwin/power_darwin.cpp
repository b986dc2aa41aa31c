// The machine's power sources as IOKit's power-source information lists them (SDK
// IOKit/ps/IOPowerSources.h, IOPSKeys.h): the type of each, "InternalBattery" or "UPS".
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

void releaseCf(CFTypeRef ref) noexcept { CFRelease(ref); }
using CfRef = Owned<CFTypeRef, releaseCf, nullptr>;

// A copy of a CFString in UTF-8; empty when `value` is no string.
std::string utf8(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return {};
    const auto text = static_cast<CFStringRef>(value);
    const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string out(static_cast<std::size_t>(size), '\0');
    if (!CFStringGetCString(text, out.data(), size, kCFStringEncodingUTF8)) return {};
    out.resize(out.find('\0'));
    return out;
}

}  // namespace

// IOPSCopyPowerSourcesInfo and IOPSCopyPowerSourcesList are owned (NULL on error); each
// description belongs to the information blob and is not released.
std::optional<std::vector<std::string>> powerSourceTypes() {
    const CfRef blob(IOPSCopyPowerSourcesInfo());
    if (!blob) return std::nullopt;
    const CfRef list(IOPSCopyPowerSourcesList(blob.get()));
    if (!list) return std::nullopt;
    const auto sources = static_cast<CFArrayRef>(list.get());
    std::vector<std::string> types;
    for (CFIndex i = 0; i < CFArrayGetCount(sources); ++i) {
        const CFDictionaryRef description = IOPSGetPowerSourceDescription(blob.get(), CFArrayGetValueAtIndex(sources, i));
        if (description == nullptr) continue;
        types.push_back(utf8(CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey))));
    }
    return types;
}

}  // namespace zelk::helper::sys
