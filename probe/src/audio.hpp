// The probe's audio input queries: the two reads of the audio hardware layer (HAL) that every
// answer goes through, and the operations that combine them into the flag and the entry lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelk::probe {

using ObjectId = std::uint32_t;  // 0 names no object
using Status = std::int32_t;     // 0 success, anything else failure
using StringRef = const void*;   // a string reference handed over by a bundle read

constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr ObjectId OBJECT_UNKNOWN = 0;
inline constexpr ObjectId SYSTEM_OBJECT = 1;
inline constexpr std::uint32_t SCOPE_GLOBAL = fourCC("glob");
inline constexpr std::uint32_t ELEMENT_MAIN = 0;

inline constexpr std::uint32_t SEL_DEFAULT_INPUT_DEVICE = fourCC("dIn ");
inline constexpr std::uint32_t SEL_IS_RUNNING_SOMEWHERE = fourCC("gone");
inline constexpr std::uint32_t SEL_PROCESS_OBJECT_LIST = fourCC("prs#");
inline constexpr std::uint32_t SEL_TRANSLATE_PID = fourCC("id2p");
inline constexpr std::uint32_t SEL_IS_RUNNING_INPUT = fourCC("piri");
inline constexpr std::uint32_t SEL_PROCESS_PID = fourCC("ppid");
inline constexpr std::uint32_t SEL_BUNDLE_ID = fourCC("pbid");

// Failure statuses the non-macOS sources answer with (the HAL's own codes for the same cases).
inline constexpr Status STATUS_UNKNOWN_PROPERTY = static_cast<Status>(fourCC("who?"));
inline constexpr Status STATUS_BAD_OBJECT = static_cast<Status>(fourCC("!obj"));
inline constexpr Status STATUS_BAD_SIZE = static_cast<Status>(fourCC("!siz"));

struct PropertyAddress {
    std::uint32_t selector;
    std::uint32_t scope;
    std::uint32_t element;
};

// What the probe asks of the audio hardware layer. Values cross in host byte order, exactly as
// the HAL's property data does.
class AudioHal {
public:
    virtual ~AudioHal() = default;
    // The byte size of a property's current data.
    virtual Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                                    const void* qualifier, std::uint32_t& data_size) = 0;
    // Reads a property into `data`; `data_size` is the buffer's size in, the bytes used out. A
    // failed read may leave the buffer as it was.
    virtual Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                                const void* qualifier, std::uint32_t& data_size, void* data) = 0;
    // The UTF-8 text of a non-null string reference that a successful bundle read handed over;
    // releases the reference. Called once per such reference.
    virtual std::string takeString(StringRef ref) = 0;
    // The reads between these two calls build one output line: a source that has to walk the
    // whole system to answer one process's read may walk it once, at the first such read, and
    // answer the line's other reads from that walk. Outside such a span every read looks afresh.
    virtual void beginLine() {}
    virtual void endLine() {}
};

// Holds one output line's span of reads open, from beginLine to endLine.
class LineReadings {
public:
    explicit LineReadings(AudioHal& hal) : hal_(hal) { hal_.beginLine(); }
    ~LineReadings() { hal_.endLine(); }
    LineReadings(const LineReadings&) = delete;
    LineReadings& operator=(const LineReadings&) = delete;

private:
    AudioHal& hal_;
};

// One process capturing audio input, as reported.
struct InputEntry {
    std::string bundle;  // empty when the process has none
    std::int32_t pid;
    bool operator==(const InputEntry&) const = default;
};

// The audio system object, set once at start before the first query.
extern ObjectId sys;

PropertyAddress prop(std::uint32_t selector);
// The default input device, or OBJECT_UNKNOWN when there is none or the read fails.
ObjectId defaultInputDevice(AudioHal& hal);
bool isRunningSomewhere(AudioHal& hal, ObjectId device);
// The microphone-active flag: the default input device is running for some client and, where
// the HAL's process list names processes, one of them is running input.
bool micActive(AudioHal& hal);
// Capturing processes among all that the HAL lists, in the HAL's order.
std::vector<InputEntry> processInputs(AudioHal& hal);
// Capturing processes among `pids`, in the given order, each reported with its requested pid.
std::vector<InputEntry> pidInputs(AudioHal& hal, const std::vector<std::int32_t>& pids);

// The running system's HAL: CoreAudio on macOS, the ALSA capture substreams on Linux.
AudioHal& liveAudioHal();

}  // namespace zelk::probe
