// Ease and restore over the tool runner and the process reader: the identity check before the
// tools and the pin checked after them, what ease changes recorded by pid and start before the
// tools run, and the record file that carries it over a restart or a crash.
#include "taming.hpp"

#include <algorithm>
#include <charconv>
#include <map>

namespace zelk::helper {
namespace {

// "-" or an optional "-" and decimal digits; nothing else.
template <class T>
bool parseField(std::string_view text, std::optional<T>& out) {
    if (text == "-") {
        out.reset();
        return true;
    }
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return false;
    out = value;
    return true;
}

std::string fieldText(const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("-"); }

// The fields of `line`, split at single spaces.
std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const auto sp = line.find(' ');
        fields.push_back(line.substr(0, sp));
        line = sp == std::string_view::npos ? std::string_view{} : line.substr(sp + 1);
    }
    return fields;
}

std::optional<EaseRecord> decodeLine(std::string_view line) {
    const auto fields = splitFields(line);
    const bool older = fields.size() == 4;
    if (fields.size() < 5 && !older) return std::nullopt;
    if (!older && (fields.size() - 2) % 3 != 0) return std::nullopt;
    std::optional<std::int32_t> pid;
    std::optional<std::uint64_t> start;
    if (!parseField(fields[0], pid) || !parseField(fields[1], start) || !pid || !start || *pid < 2) return std::nullopt;
    EaseRecord r{*pid, *start, {}, older};
    // An older line is the pid's own task without its id.
    for (std::size_t i = older ? 1 : 2; i + 2 < fields.size(); i += 3) {
        std::optional<std::int32_t> tid = *pid;
        TaskRecord t;
        if ((!older && (!parseField(fields[i], tid) || !tid || *tid < 1)) || !parseField(fields[i + 1], t.nice) ||
            !parseField(fields[i + 2], t.background))
            return std::nullopt;
        t.tid = *tid;
        if (t.nice || t.background) r.tasks.push_back(t);
    }
    if (r.tasks.empty()) return std::nullopt;
    return r;
}

// The record's entry of task `tid`, or null.
template <class Record>
auto* taskOf(Record& record, std::int32_t tid) {
    const auto it = std::find_if(record.tasks.begin(), record.tasks.end(), [&](const TaskRecord& t) { return t.tid == tid; });
    return it == record.tasks.end() ? nullptr : &*it;
}

bool isBackground(System system, int state) {
    return system == System::Linux ? (state >> IOPRIO_CLASS_SHIFT) == IOPRIO_CLASS_IDLE : state != 0;
}

}  // namespace

std::string encodeRecords(const std::vector<EaseRecord>& records) {
    std::string out;
    for (const auto& r : records) {
        out += std::to_string(r.pid) + ' ' + std::to_string(r.start);
        for (const auto& t : r.tasks)
            out += ' ' + std::to_string(t.tid) + ' ' + fieldText(t.nice) + ' ' + fieldText(t.background);
        out += '\n';
    }
    return out;
}

std::vector<EaseRecord> decodeRecords(std::string_view text, std::size_t* skipped) {
    std::vector<EaseRecord> out;
    std::size_t bad = 0;
    // A line without its line feed is the end of a write that did not finish.
    for (std::size_t eol; (eol = text.find('\n')) != std::string_view::npos; text.remove_prefix(eol + 1)) {
        const auto r = decodeLine(text.substr(0, eol));
        if (!r) {
            ++bad;
            continue;
        }
        const auto same = std::find_if(out.begin(), out.end(), [&](const EaseRecord& o) { return o.pid == r->pid && o.start == r->start; });
        if (same != out.end())
            *same = *r;
        else if (out.size() < MAX_RECORDS)
            out.push_back(*r);
        else
            ++bad;
    }
    if (!text.empty()) ++bad;
    if (skipped) *skipped = bad;
    return out;
}

Tamer::Tamer(System system, ToolRunner& tools, ProcessControl& processes, std::unique_ptr<RecordStore> store,
             AuditFn audit)
    : system_(system), tools_(tools), processes_(processes), store_(std::move(store)), audit_(std::move(audit)) {
    if (!store_) return;
    const StoredRecords stored = store_->load();
    for (const auto& problem : stored.problems) report("records discarded: " + problem);
    std::size_t skipped = 0;
    records_ = decodeRecords(stored.text, &skipped);
    if (skipped > 0) report("records discarded: " + std::to_string(skipped) + " unreadable lines in the record file");
    // An older helper's start, in microseconds since the epoch, names the process that runs at
    // the pid now only if it matches that process's start as computed now.
    std::erase_if(records_, [&](EaseRecord& r) {
        if (!r.epochStart) return false;
        const auto now = processes_.startUsec(r.pid);
        const auto key = processes_.startKey(r.pid);
        if (!now || !key || !sameStart(*now, r.start)) return true;
        r.start = *key;
        r.epochStart = false;
        return false;
    });
    dropGone(records_.size());
    persist();
}

void Tamer::report(const std::string& message) const {
    if (audit_) audit_(message);
}

bool Tamer::sameStart(std::uint64_t a, std::uint64_t b) const {
    return (a > b ? a - b : b - a) < processes_.startGranularityUsec();
}

std::optional<std::uint64_t> Tamer::identify(std::int32_t pid, std::optional<std::uint64_t> start) {
    if (start) {
        const auto began = processes_.startUsec(pid);
        if (!began || !sameStart(*began, *start)) return std::nullopt;
    }
    return processes_.startKey(pid);
}

std::vector<EaseRecord>::iterator Tamer::find(std::int32_t pid, std::uint64_t start) {
    return std::find_if(records_.begin(), records_.end(), [&](const EaseRecord& r) { return r.pid == pid && r.start == start; });
}

namespace {

std::vector<std::string> withIds(std::vector<std::string> args, const std::vector<std::int32_t>& tids) {
    for (const auto tid : tids) args.push_back(std::to_string(tid));
    return args;
}

}  // namespace

bool Tamer::renice(const std::vector<std::int32_t>& tids, int value) {
    return tools_.runTool(std::string(RENICE), withIds({std::to_string(value), "-p"}, tids));
}

bool Tamer::lowerBackground(const std::vector<std::int32_t>& tids) {
    if (system_ == System::Linux) return tools_.runTool(std::string(IONICE), withIds({"-c", "3", "-p"}, tids));
    return tools_.runTool(std::string(TASKPOLICY), withIds({"-b", "-p"}, tids));
}

bool Tamer::putBackground(const std::vector<std::int32_t>& tids, int before) {
    if (system_ != System::Linux) return tools_.runTool(std::string(TASKPOLICY), withIds({"-B", "-p"}, tids));
    const int ioClass = before >> IOPRIO_CLASS_SHIFT;
    if (ioClass == 1 || ioClass == 2)
        return tools_.runTool(std::string(IONICE), withIds({"-c", std::to_string(ioClass), "-n", std::to_string(before & 0xff), "-p"}, tids));
    return tools_.runTool(std::string(IONICE), withIds({"-c", std::to_string(ioClass), "-p"}, tids));
}

std::size_t Tamer::recordedTasks() const {
    std::size_t n = 0;
    for (const auto& r : records_) n += r.tasks.size();
    return n;
}

TameResult Tamer::ease(std::int32_t pid, std::optional<std::uint64_t> start) {
    const TameResult missing = start ? TameResult::Gone : TameResult::Failed;
    const auto pin = processes_.pin(pid);
    if (!pin) return missing;
    const auto began = identify(pid, start);
    if (!began) return missing;
    if (processes_.kernelThread(pid)) return TameResult::Refused;
    const auto tids = processes_.tasks(pid);
    if (tids.empty()) return missing;
    dropGone(RECORDS_CHECKED_PER_REQUEST);

    auto it = find(pid, *began);
    const EaseRecord before = it != records_.end() ? *it : EaseRecord{pid, *began, {}, false};
    EaseRecord record = before;
    // Only ever lower: a task already in the background, or at or past the ease level, keeps it.
    std::vector<std::int32_t> toBackground, toNice;
    for (const auto tid : tids) {
        const auto background = processes_.background(tid);
        const auto nice = processes_.nice(tid);
        const bool lower = background && !isBackground(system_, *background);
        if (lower) toBackground.push_back(tid);
        if (nice && *nice < EASE_NICE_VALUE) toNice.push_back(tid);
        if (!lower && !(nice && *nice < EASE_NICE_VALUE)) continue;
        TaskRecord* task = taskOf(record, tid);
        if (!task) task = &record.tasks.emplace_back(TaskRecord{tid, std::nullopt, std::nullopt});
        if (lower && !task->background) task->background = *background;
        if (nice && *nice < EASE_NICE_VALUE && !task->nice) task->nice = *nice;
    }
    if (toBackground.empty() && toNice.empty()) return pin->stillThere() ? TameResult::Ok : TameResult::Gone;

    // What cannot be recorded is not changed, and the record is on disk before the tools run: a
    // helper that dies while they run leaves a record that restore can act on.
    const std::size_t added = record.tasks.size() - before.tasks.size();
    const auto fits = [&] {
        return (it != records_.end() || records_.size() < MAX_RECORDS) && recordedTasks() + added <= MAX_RECORDED_TASKS;
    };
    if (!fits()) {
        dropGone(records_.size());  // only when full: records of processes gone may make room
        it = find(pid, *began);
        if (!fits()) return TameResult::Full;
    }
    const bool existed = it != records_.end();
    if (existed)
        *it = record;
    else
        records_.push_back(record);
    if (!persist()) {
        if (existed)
            *find(pid, *began) = before;
        else
            records_.pop_back();
        return TameResult::Failed;
    }

    const bool backgroundOk = toBackground.empty() || lowerBackground(toBackground);
    const bool niceOk = toNice.empty() || renice(toNice, EASE_NICE_VALUE);
    // A half whose tool failed keeps what the record held before.
    for (auto& task : record.tasks) {
        const TaskRecord* old = taskOf(before, task.tid);
        if (!backgroundOk) task.background = old ? old->background : std::nullopt;
        if (!niceOk) task.nice = old ? old->nice : std::nullopt;
    }
    std::erase_if(record.tasks, [](const TaskRecord& t) { return !t.nice && !t.background; });
    const bool same = pin->stillThere();
    it = find(pid, *began);
    if (!same || record.tasks.empty())
        records_.erase(it);
    else
        *it = record;
    if (!same || !backgroundOk || !niceOk) persist();
    if (!same) return TameResult::Gone;
    return (!toBackground.empty() && backgroundOk) || (!toNice.empty() && niceOk) ? TameResult::Ok : TameResult::Failed;
}

TameResult Tamer::restore(std::int32_t pid, std::optional<std::uint64_t> start) {
    const TameResult missing = start ? TameResult::Gone : TameResult::Failed;
    const auto pin = processes_.pin(pid);
    if (!pin) return missing;
    const auto began = identify(pid, start);
    if (!began) return missing;
    dropGone(RECORDS_CHECKED_PER_REQUEST);
    auto it = find(pid, *began);
    if (it == records_.end()) return TameResult::Ok;  // nothing of ours to undo

    // Each half of a task is put back only while it still holds what ease set: a value someone
    // changed since is theirs, and restoring over it could raise the priority. A task started
    // since ease inherited its state: it goes back as the process's own task was.
    EaseRecord& record = *it;
    std::map<int, std::vector<std::int32_t>> backgrounds, nices;
    for (const auto tid : processes_.tasks(pid)) {
        const TaskRecord* task = taskOf(record, tid);
        if (!task) task = taskOf(record, pid);
        if (!task) continue;
        if (task->background) {
            const auto now = processes_.background(tid);
            if (now && isBackground(system_, *now)) backgrounds[*task->background].push_back(tid);
        }
        if (task->nice && processes_.nice(tid) == EASE_NICE_VALUE) nices[*task->nice].push_back(tid);
    }
    bool ran = false, changed = false;
    // The halves whose tool failed stay recorded, for another try.
    std::vector<std::pair<std::int32_t, bool>> keep;  // tid, background half (else nice)
    for (const auto& [value, tids] : backgrounds) {
        ran = true;
        if (putBackground(tids, value)) changed = true;
        else for (const auto tid : tids) keep.emplace_back(tid, true);
    }
    for (const auto& [value, tids] : nices) {
        ran = true;
        if (renice(tids, value)) changed = true;
        else for (const auto tid : tids) keep.emplace_back(tid, false);
    }
    for (auto& task : record.tasks) {
        const auto kept = [&](bool half) { return std::find(keep.begin(), keep.end(), std::pair{task.tid, half}) != keep.end(); };
        if (!kept(true)) task.background.reset();
        if (!kept(false)) task.nice.reset();
    }
    std::erase_if(record.tasks, [](const TaskRecord& t) { return !t.nice && !t.background; });
    if (record.tasks.empty()) records_.erase(it);
    persist();
    if (!pin->stillThere()) return TameResult::Gone;
    return !ran || changed ? TameResult::Ok : TameResult::Failed;
}

void Tamer::dropGone(std::size_t count) {
    for (std::size_t i = 0; i < count && !records_.empty(); ++i) {
        if (nextCheck_ >= records_.size()) nextCheck_ = 0;
        const auto& r = records_[nextCheck_];
        if (processes_.startKey(r.pid) != r.start)
            records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(nextCheck_));
        else
            ++nextCheck_;
    }
}

bool Tamer::persist() {
    if (!store_) return true;
    const std::string problem = store_->save(encodeRecords(records_));
    if (!problem.empty()) report("records of eased processes could not be saved: " + problem);
    return problem.empty();
}

}  // namespace zelk::helper
