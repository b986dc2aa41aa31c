// Ease and restore over the tool runner and the process reader: the identity check before the
// tools and the pin checked after them, what ease changed recorded by pid and start time, and the
// record file that carries it over a restart.
#include "taming.hpp"

#include <algorithm>
#include <charconv>

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

bool isBackground(System system, int state) {
    return system == System::Linux ? (state >> IOPRIO_CLASS_SHIFT) == IOPRIO_CLASS_IDLE : state != 0;
}

}  // namespace

std::string encodeRecords(const std::vector<EaseRecord>& records) {
    std::string out;
    for (const auto& r : records)
        out += std::to_string(r.pid) + ' ' + std::to_string(r.start_usec) + ' ' + fieldText(r.nice) + ' ' +
               fieldText(r.background) + '\n';
    return out;
}

std::vector<EaseRecord> decodeRecords(std::string_view text) {
    std::vector<EaseRecord> out;
    while (!text.empty() && out.size() < MAX_RECORDS) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        std::string_view fields[4];
        std::size_t n = 0;
        while (!line.empty() && n < 4) {
            const auto sp = line.find(' ');
            fields[n++] = line.substr(0, sp);
            line = sp == std::string_view::npos ? std::string_view{} : line.substr(sp + 1);
        }
        std::optional<std::int32_t> pid;
        std::optional<std::uint64_t> start;
        EaseRecord r;
        if (n != 4 || !line.empty() || !parseField(fields[0], pid) || !parseField(fields[1], start) || !pid ||
            !start || *pid < 2 || !parseField(fields[2], r.nice) || !parseField(fields[3], r.background) ||
            (!r.nice && !r.background))
            continue;
        r.pid = *pid;
        r.start_usec = *start;
        out.push_back(r);
    }
    return out;
}

Tamer::Tamer(System system, ToolRunner& tools, ProcessControl& processes, std::unique_ptr<RecordStore> store)
    : system_(system), tools_(tools), processes_(processes), store_(std::move(store)) {
    if (!store_) return;
    if (const auto text = store_->load()) records_ = decodeRecords(*text);
    persist();
}

bool Tamer::sameStart(std::uint64_t a, std::uint64_t b) const {
    return (a > b ? a - b : b - a) < processes_.startGranularityUsec();
}

std::optional<std::uint64_t> Tamer::identify(std::int32_t pid, std::optional<std::uint64_t> start) {
    const auto began = processes_.startUsec(pid);
    if (!began || (start && !sameStart(*began, *start))) return std::nullopt;
    return began;
}

bool Tamer::renice(std::int32_t pid, int value) {
    return tools_.runTool(std::string(RENICE), {std::to_string(value), "-p", std::to_string(pid)});
}

bool Tamer::lowerBackground(std::int32_t pid) {
    if (system_ == System::Linux) return tools_.runTool(std::string(IONICE), {"-c", "3", "-p", std::to_string(pid)});
    return tools_.runTool(std::string(TASKPOLICY), {"-b", "-p", std::to_string(pid)});
}

bool Tamer::putBackground(std::int32_t pid, int before) {
    const std::string p = std::to_string(pid);
    if (system_ != System::Linux) return tools_.runTool(std::string(TASKPOLICY), {"-B", "-p", p});
    const int ioClass = before >> IOPRIO_CLASS_SHIFT;
    if (ioClass == 1 || ioClass == 2)
        return tools_.runTool(std::string(IONICE), {"-c", std::to_string(ioClass), "-n", std::to_string(before & 0xff), "-p", p});
    return tools_.runTool(std::string(IONICE), {"-c", std::to_string(ioClass), "-p", p});
}

TameResult Tamer::ease(std::int32_t pid, std::optional<std::uint64_t> start) {
    const TameResult missing = start ? TameResult::Gone : TameResult::Failed;
    const auto pin = processes_.pin(pid);
    if (!pin) return missing;
    const auto began = identify(pid, start);
    const auto nice = processes_.nice(pid);
    if (!began || !nice) return missing;
    const auto background = processes_.background(pid);

    auto it = std::find_if(records_.begin(), records_.end(),
                           [&](const EaseRecord& r) { return r.pid == pid && sameStart(r.start_usec, *began); });
    // What cannot be recorded is not changed: ease is only ever done where restore can undo it.
    if (it == records_.end() && records_.size() >= MAX_RECORDS) return TameResult::Failed;
    EaseRecord record = it != records_.end() ? *it : EaseRecord{pid, *began, std::nullopt, std::nullopt};

    // Only ever lower: a process already in the background, or at or past the ease level, keeps it.
    bool ran = false, changed = false;
    if (background && !isBackground(system_, *background)) {
        ran = true;
        if (lowerBackground(pid)) {
            changed = true;
            if (!record.background) record.background = *background;
        }
    }
    if (*nice < EASE_NICE_VALUE) {
        ran = true;
        if (renice(pid, EASE_NICE_VALUE)) {
            changed = true;
            if (!record.nice) record.nice = *nice;
        }
    }
    const bool same = pin->stillThere();
    if (same && (record.nice || record.background)) {
        if (it != records_.end())
            *it = record;
        else
            records_.push_back(record);
        persist();
    }
    if (!same) return TameResult::Gone;
    return !ran || changed ? TameResult::Ok : TameResult::Failed;
}

TameResult Tamer::restore(std::int32_t pid, std::optional<std::uint64_t> start) {
    const TameResult missing = start ? TameResult::Gone : TameResult::Failed;
    const auto pin = processes_.pin(pid);
    if (!pin) return missing;
    const auto began = identify(pid, start);
    if (!began) return missing;
    auto it = std::find_if(records_.begin(), records_.end(),
                           [&](const EaseRecord& r) { return r.pid == pid && sameStart(r.start_usec, *began); });
    if (it == records_.end()) return TameResult::Ok;  // nothing of ours to undo

    // Each half is put back only while it still holds what ease set: a value someone changed
    // since is theirs, and restoring over it could raise the priority.
    EaseRecord& record = *it;
    bool ran = false, changed = false;
    if (record.background) {
        const auto now = processes_.background(pid);
        if (now && isBackground(system_, *now)) {
            ran = true;
            if (putBackground(pid, *record.background)) {
                changed = true;
                record.background.reset();
            }
        } else {
            record.background.reset();
        }
    }
    if (record.nice) {
        const auto now = processes_.nice(pid);
        if (now && *now == EASE_NICE_VALUE) {
            ran = true;
            if (renice(pid, *record.nice)) {
                changed = true;
                record.nice.reset();
            }
        } else {
            record.nice.reset();
        }
    }
    if (!record.nice && !record.background) records_.erase(it);
    persist();
    if (!pin->stillThere()) return TameResult::Gone;
    return !ran || changed ? TameResult::Ok : TameResult::Failed;
}

void Tamer::persist() {
    std::erase_if(records_, [&](const EaseRecord& r) {
        const auto now = processes_.startUsec(r.pid);
        return !now || !sameStart(*now, r.start_usec);
    });
    if (store_) store_->save(encodeRecords(records_));
}

}  // namespace zelk::helper
