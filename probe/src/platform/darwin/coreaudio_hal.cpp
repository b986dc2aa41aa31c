// The macOS audio source: CoreAudio's two property reads, passed through unchanged, and the
// bundle identifier's CFString turned into UTF-8 and released once. At start-up the HAL is
// told to keep its own view of the devices and processes current (a failure is logged).
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>
#include <syslog.h>

#include <vector>

#include "../../audio.hpp"
#include "../owned.hpp"

namespace zelk::probe {
namespace {

using CfString = Owned<CFStringRef, ::CFRelease>;  // only references handed over to us

static_assert(sizeof(StringRef) == sizeof(CFStringRef));
static_assert(SCOPE_GLOBAL == kAudioObjectPropertyScopeGlobal);
static_assert(ELEMENT_MAIN == kAudioObjectPropertyElementMain);
static_assert(SEL_DEFAULT_INPUT_DEVICE == kAudioHardwarePropertyDefaultInputDevice);
static_assert(SEL_IS_RUNNING_SOMEWHERE == kAudioDevicePropertyDeviceIsRunningSomewhere);
static_assert(SEL_PROCESS_OBJECT_LIST == kAudioHardwarePropertyProcessObjectList);
static_assert(SEL_TRANSLATE_PID == kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(SEL_IS_RUNNING_INPUT == kAudioProcessPropertyIsRunningInput);
static_assert(SEL_PROCESS_PID == kAudioProcessPropertyPID);
static_assert(SEL_BUNDLE_ID == kAudioProcessPropertyBundleID);
static_assert(SYSTEM_OBJECT == static_cast<ObjectId>(kAudioObjectSystemObject));

AudioObjectPropertyAddress toCoreAudio(const PropertyAddress& a) { return {a.selector, a.scope, a.element}; }

class CoreAudioHal final : public AudioHal {
public:
    // A command-line program runs no run loop, and the HAL attaches its notification handlers
    // to the main one by default: they would never run, and its cached default device and
    // process list would stay as they were at the first read. Set to NULL, the run loop
    // property makes the HAL deliver them on a thread of its own. Once, before any read. The
    // probe writes nothing to standard error, so a failure goes to the system log.
    CoreAudioHal() {
        const AudioObjectPropertyAddress runLoop = {kAudioHardwarePropertyRunLoop, kAudioObjectPropertyScopeGlobal,
                                                    kAudioObjectPropertyElementMain};
        const CFRunLoopRef none = nullptr;
        const OSStatus status =
            ::AudioObjectSetPropertyData(kAudioObjectSystemObject, &runLoop, 0, nullptr, sizeof none, &none);
        if (status != noErr)
            ::syslog(LOG_WARNING,
                     "vintrel: setting the audio hardware's run loop failed (status %d): its default device and "
                     "process list may stay as they were at the first read",
                     static_cast<int>(status));
    }

    Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                            const void* qualifier, std::uint32_t& data_size) override {
        const AudioObjectPropertyAddress ca = toCoreAudio(address);
        UInt32 size = data_size;
        const OSStatus status = ::AudioObjectGetPropertyDataSize(object, &ca, qualifier_size, qualifier, &size);
        data_size = size;
        return status;
    }

    Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                        const void* qualifier, std::uint32_t& data_size, void* data) override {
        const AudioObjectPropertyAddress ca = toCoreAudio(address);
        UInt32 size = data_size;
        const OSStatus status = ::AudioObjectGetPropertyData(object, &ca, qualifier_size, qualifier, &size, data);
        data_size = size;
        return status;
    }

    // CFStringGetBytes rather than a C string, so a U+0000 inside the text does not cut it. With
    // loss byte 0 a string that UTF-8 cannot hold (a lone surrogate) converts only in part,
    // which reads as no bundle.
    std::string takeString(StringRef ref) override {
        const CfString text(static_cast<CFStringRef>(ref));
        const CFIndex length = ::CFStringGetLength(text.get());
        const CFIndex capacity = ::CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
        if (capacity < 0) return {};  // kCFNotFound: the size overflows
        std::vector<UInt8> utf8(static_cast<std::size_t>(capacity));
        CFIndex used = 0;
        const CFIndex converted = ::CFStringGetBytes(text.get(), ::CFRangeMake(0, length), kCFStringEncodingUTF8, 0,
                                                     false, utf8.data(), capacity, &used);
        if (converted != length || used < 0 || used > capacity) return {};
        return std::string(utf8.begin(), utf8.begin() + used);
    }
};

}  // namespace

AudioHal& liveAudioHal() {
    static CoreAudioHal hal;
    return hal;
}

}  // namespace zelk::probe
