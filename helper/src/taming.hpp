// Easing and restoring a process: ease only ever lowers the priority of each of its tasks and
// records what it changed, keyed by pid and the kernel's start of the process; restore puts back
// exactly that, and nothing without a record.
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
// Tasks recorded over all records; past either bound ease answers "full".
inline constexpr std::size_t MAX_RECORDED_TASKS = 65536;
// Records whose process is checked for having ended, per ease or restore: the rest wait for
// later requests, so that the cost of a request does not grow with the table.
inline constexpr std::size_t RECORDS_CHECKED_PER_REQUEST = 8;

// What ease changed of one task (thread) of a process. An absent value: ease left that half alone.
struct TaskRecord {
    std::int32_t tid = 0;
    std::optional<int> nice;        // the nice value before ease set EASE_NICE_VALUE
    std::optional<int> background;  // the background state before: macOS the background bits of pbi_flags,
                                    // Linux the I/O priority (class << 13 | level)
    bool operator==(const TaskRecord&) const = default;
};

// What ease changed of one process. `start`: the process's start as the kernel keeps it, which
// no clock step moves (Linux: clock ticks since boot; macOS: the start time it recorded, in
// microseconds). macOS changes a whole process at once: its one task is the pid.
struct EaseRecord {
    std::int32_t pid = 0;
    std::uint64_t start = 0;
    std::vector<TaskRecord> tasks;
    // Read from a file of an older helper, whose start was in microseconds since the epoch.
    bool epochStart = false;
    bool operator==(const EaseRecord&) const = default;
};

// The record file: one line per record, "PID START" then "TID NICE BACKGROUND" for each task, in
// decimal, "-" for an absent value. An older helper's line "PID START NICE BACKGROUND" (start in
// microseconds since the epoch) is read as the record of the pid's own task. A line that does not
// parse, or that the text does not end with a line feed, is skipped and counted in `skipped`; a
// later line for the same pid and start replaces an earlier one.
std::string encodeRecords(const std::vector<EaseRecord>& records);
std::vector<EaseRecord> decodeRecords(std::string_view text, std::size_t* skipped = nullptr);

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
    // The start time as a host computes it from the census: microseconds since the epoch, from
    // the boot time the system reports now.
    virtual std::optional<std::uint64_t> startUsec(std::int32_t pid) = 0;
    // The start as the kernel keeps it, for the records (see EaseRecord).
    virtual std::optional<std::uint64_t> startKey(std::int32_t pid) = 0;
    // A thread of the kernel, not of a program: never eased.
    virtual bool kernelThread(std::int32_t pid) = 0;
    // The tasks whose priorities make up the process's: Linux its threads, macOS the pid alone.
    virtual std::vector<std::int32_t> tasks(std::int32_t pid) = 0;
    virtual std::optional<int> nice(std::int32_t tid) = 0;
    virtual std::optional<int> background(std::int32_t tid) = 0;
    // Two readings of one start time may differ by less than this (the source's clock step).
    virtual std::uint64_t startGranularityUsec() const = 0;
};

// What a record store held at start-up: the text of its records (empty when there are none)
// and why anything there was discarded.
struct StoredRecords {
    std::string text;
    std::vector<std::string> problems;
};

// Where the records survive a restart. save: empty, or why the records could not be written.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    virtual StoredRecords load() = 0;
    virtual std::string save(std::string_view text) = 0;
};

// Refused: the pid is a kernel thread. Full: the table holds no more records.
enum class TameResult { Ok, Failed, Gone, Refused, Full };

class Tamer {
public:
    // `store` may be null: records then live in memory only. `audit` hears of records discarded
    // and of saves that failed.
    Tamer(System system, ToolRunner& tools, ProcessControl& processes, std::unique_ptr<RecordStore> store,
          AuditFn audit = {});

    // `start`: the start time the request names; the process must have started then.
    TameResult ease(std::int32_t pid, std::optional<std::uint64_t> start);
    TameResult restore(std::int32_t pid, std::optional<std::uint64_t> start);

    System system() const { return system_; }
    const std::vector<EaseRecord>& records() const { return records_; }

private:
    // The process's start key, when it is there and started at `start` (if given).
    std::optional<std::uint64_t> identify(std::int32_t pid, std::optional<std::uint64_t> start);
    bool sameStart(std::uint64_t a, std::uint64_t b) const;
    bool lowerBackground(const std::vector<std::int32_t>& tids);
    bool putBackground(const std::vector<std::int32_t>& tids, int before);
    bool renice(const std::vector<std::int32_t>& tids, int value);
    std::vector<EaseRecord>::iterator find(std::int32_t pid, std::uint64_t start);
    // Drops the records of up to `count` processes that are gone, going round the table.
    void dropGone(std::size_t count);
    std::size_t recordedTasks() const;
    // Writes the records; false, after an audit line, when that failed.
    bool persist();
    void report(const std::string& message) const;

    System system_;
    ToolRunner& tools_;
    ProcessControl& processes_;
    std::unique_ptr<RecordStore> store_;
    AuditFn audit_;
    std::vector<EaseRecord> records_;
    std::size_t nextCheck_ = 0;
};

}  // namespace zelk::helper
