// Easing and restoring a process: ease only ever lowers its priority and records what it
// changed, keyed by pid and start time; restore puts back exactly that, and nothing without a record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit.hpp"
#include "profiles.hpp"

namespace zelk::helper {

inline constexpr std::string_view IONICE = "/usr/bin/ionice";
inline constexpr int EASE_NICE_VALUE = 10;
// Linux I/O priority: class in bits 13 and up, level below; class 3 is idle.
inline constexpr int IOPRIO_CLASS_SHIFT = 13;
inline constexpr int IOPRIO_CLASS_IDLE = 3;
inline constexpr std::size_t MAX_RECORDS = 4096;

// What ease changed of one process. An absent value: ease left that half alone.
struct EaseRecord {
    std::int32_t pid = 0;
    std::uint64_t start_usec = 0;    // start time, microseconds since the epoch
    std::optional<int> nice;         // the nice value before ease set EASE_NICE_VALUE
    std::optional<int> background;   // the background state before: macOS the background bits of pbi_flags,
                                     // Linux the I/O priority (class << 13 | level)
    bool operator==(const EaseRecord&) const = default;
};

// The record file: one line per record, "PID START NICE BACKGROUND" in decimal, "-" for an
// absent value. Lines that do not parse are skipped.
std::string encodeRecords(const std::vector<EaseRecord>& records);
std::vector<EaseRecord> decodeRecords(std::string_view text);

// Still the process that was checked, after the tools ran.
class ProcessPin {
public:
    virtual ~ProcessPin() = default;
    virtual bool stillThere() = 0;
};

// What taming asks of the kernel about one process. nullopt: gone (or unreadable).
class ProcessControl {
public:
    virtual ~ProcessControl() = default;
    // Taken before the identity check; nullptr when the process is gone.
    virtual std::unique_ptr<ProcessPin> pin(std::int32_t pid) = 0;
    virtual std::optional<std::uint64_t> startUsec(std::int32_t pid) = 0;
    virtual std::optional<int> nice(std::int32_t pid) = 0;
    virtual std::optional<int> background(std::int32_t pid) = 0;
    // Two readings of one start time may differ by less than this (the source's clock step).
    virtual std::uint64_t startGranularityUsec() const = 0;
};

// Where the records survive a restart. load: nullopt when there is no file yet.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    virtual std::optional<std::string> load() = 0;
    virtual bool save(std::string_view text) = 0;
};

enum class TameResult { Ok, Failed, Gone };

class Tamer {
public:
    // `store` may be null: records then live in memory only.
    Tamer(System system, ToolRunner& tools, ProcessControl& processes, std::unique_ptr<RecordStore> store);

    // `start`: the start time the request names; the process must have started then.
    TameResult ease(std::int32_t pid, std::optional<std::uint64_t> start);
    TameResult restore(std::int32_t pid, std::optional<std::uint64_t> start);

    System system() const { return system_; }
    const std::vector<EaseRecord>& records() const { return records_; }

private:
    // The process's start time, when it is there and started at `start` (if given).
    std::optional<std::uint64_t> identify(std::int32_t pid, std::optional<std::uint64_t> start);
    bool sameStart(std::uint64_t a, std::uint64_t b) const;
    bool lowerBackground(std::int32_t pid);
    bool putBackground(std::int32_t pid, int before);
    bool renice(std::int32_t pid, int value);
    // Drops the records of processes that are gone, then writes the file.
    void persist();

    System system_;
    ToolRunner& tools_;
    ProcessControl& processes_;
    std::unique_ptr<RecordStore> store_;
    std::vector<EaseRecord> records_;
};

}  // namespace zelk::helper
