// The audio input queries over the HAL's two reads: the sizes, initial buffer values and read
// order are fixed here so that every source (CoreAudio, ALSA, recorded) is asked the same way.
#include "audio.hpp"

#include <algorithm>
#include <optional>

namespace zelk::probe {

ObjectId sys = SYSTEM_OBJECT;

namespace {

// A 4-byte number of `object`, read with no qualifier into a value set to 0 beforehand.
template <class T>
Status readNumber(AudioHal& hal, ObjectId object, std::uint32_t selector, T& value) {
    static_assert(sizeof(T) == 4);
    value = 0;
    const PropertyAddress address = prop(selector);
    std::uint32_t size = sizeof(T);
    return hal.propertyData(object, address, 0, nullptr, size, &value);
}

bool isRunningInput(AudioHal& hal, ObjectId process) {
    std::uint32_t running = 0;
    return readNumber(hal, process, SEL_IS_RUNNING_INPUT, running) == 0 && running != 0;
}

// The bundle read hands over one string reference (8 bytes on a 64-bit system), which the
// source turns into text and releases.
std::string bundleOf(AudioHal& hal, ObjectId process) {
    StringRef ref = nullptr;
    const PropertyAddress address = prop(SEL_BUNDLE_ID);
    std::uint32_t size = sizeof(ref);
    if (hal.propertyData(process, address, 0, nullptr, size, &ref) != 0 || ref == nullptr) return {};
    return hal.takeString(ref);
}

// The HAL's process objects; nullopt when the list can't be read. Places a shrunken list leaves
// unfilled stay 0, which names no object and yields nothing.
std::optional<std::vector<ObjectId>> processObjects(AudioHal& hal) {
    const PropertyAddress address = prop(SEL_PROCESS_OBJECT_LIST);
    std::uint32_t size = 0;
    if (hal.propertyDataSize(sys, address, 0, nullptr, size) != 0) return std::nullopt;
    const std::uint32_t count = size / sizeof(ObjectId);
    if (count == 0) return std::vector<ObjectId>{};
    std::vector<ObjectId> objects(count, OBJECT_UNKNOWN);
    std::uint32_t byte_size = count * static_cast<std::uint32_t>(sizeof(ObjectId));
    if (hal.propertyData(sys, address, 0, nullptr, byte_size, objects.data()) != 0) return std::nullopt;
    return objects;
}

}  // namespace

PropertyAddress prop(std::uint32_t selector) { return {selector, SCOPE_GLOBAL, ELEMENT_MAIN}; }

ObjectId defaultInputDevice(AudioHal& hal) {
    ObjectId device = OBJECT_UNKNOWN;
    if (readNumber(hal, sys, SEL_DEFAULT_INPUT_DEVICE, device) != 0) return OBJECT_UNKNOWN;
    return device;
}

bool isRunningSomewhere(AudioHal& hal, ObjectId device) {
    std::uint32_t running = 0;
    return readNumber(hal, device, SEL_IS_RUNNING_SOMEWHERE, running) == 0 && running != 0;
}

// The device's running state ignores direction (a headset that only plays sound runs too), so
// where the process list names the clients, one of them must also be capturing. A list that
// can't be read or names no process can't tell: the running state stands alone.
bool micActive(AudioHal& hal) {
    const ObjectId device = defaultInputDevice(hal);
    if (device == OBJECT_UNKNOWN || !isRunningSomewhere(hal, device)) return false;
    const auto objects = processObjects(hal);
    if (!objects || objects->empty()) return true;
    return std::any_of(objects->begin(), objects->end(), [&](ObjectId o) { return isRunningInput(hal, o); });
}

std::vector<InputEntry> processInputs(AudioHal& hal) {
    std::vector<InputEntry> entries;
    for (const ObjectId object : processObjects(hal).value_or(std::vector<ObjectId>{})) {
        if (!isRunningInput(hal, object)) continue;
        std::int32_t pid = 0;
        readNumber(hal, object, SEL_PROCESS_PID, pid);  // a failed read leaves pid 0
        std::string bundle = bundleOf(hal, object);
        entries.push_back({std::move(bundle), pid});
    }
    return entries;
}

std::vector<InputEntry> pidInputs(AudioHal& hal, const std::vector<std::int32_t>& pids) {
    std::vector<InputEntry> entries;
    const PropertyAddress translate = prop(SEL_TRANSLATE_PID);
    for (const std::int32_t pid : pids) {
        ObjectId object = OBJECT_UNKNOWN;
        std::uint32_t size = sizeof(object);
        const std::int32_t qualifier = pid;
        if (hal.propertyData(sys, translate, sizeof(qualifier), &qualifier, size, &object) != 0) continue;
        if (object == OBJECT_UNKNOWN) continue;
        if (!isRunningInput(hal, object)) continue;
        entries.push_back({bundleOf(hal, object), pid});
    }
    return entries;
}

}  // namespace zelk::probe
