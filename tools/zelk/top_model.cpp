// The rows of `zelk top`: grouping, sort, filter, fold and the text of each row.
#include "top_model.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zelk::tool {

const char* sort_name(SortKey key) {
    switch (key) {
        case SortKey::Cpu: return "CPU";
        case SortKey::Memory: return "memory";
        case SortKey::Pid: return "pid";
        case SortKey::Start: return "start";
        case SortKey::Gpu: return "GPU";
    }
    return "?";
}

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::string& haystack, const std::string& needle_lower) {
    return needle_lower.empty() || lower(haystack).find(needle_lower) != std::string::npos;
}

// A sort figure where bigger comes first (pid: smaller first; start: newest first).
struct Figure {
    std::uint64_t cpu, memory, gpu, start_us;
    std::int64_t pid;
};

bool before(const Figure& a, const Figure& b, SortKey key, bool reverse) {
    auto ordered = [&](auto x, auto y) { return reverse ? y < x : x < y; };
    switch (key) {
        case SortKey::Cpu: if (a.cpu != b.cpu) return ordered(b.cpu, a.cpu); break;
        case SortKey::Memory: if (a.memory != b.memory) return ordered(b.memory, a.memory); break;
        case SortKey::Gpu: if (a.gpu != b.gpu) return ordered(b.gpu, a.gpu); break;
        case SortKey::Start: if (a.start_us != b.start_us) return ordered(b.start_us, a.start_us); break;
        case SortKey::Pid: break;
    }
    return key == SortKey::Pid ? ordered(a.pid, b.pid) : a.pid < b.pid;
}

Figure process_figure(const TopData& d, std::size_t i) {
    const auto& r = d.snap.records[i];
    const auto gpu = d.gpu_by_pid.find(r.pid);
    return {r.cpu_usage, r.resident_bytes, gpu == d.gpu_by_pid.end() ? 0 : gpu->second,
            r.start_sec * 1000000 + r.start_usec, r.pid};
}

std::string fixed(std::string text, int width) {
    text.resize(static_cast<std::size_t>(std::max(width, 0)), ' ');
    return text;
}

std::string mib(std::uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

// One row's cells, in column order; the layout says which are shown.
struct Cells {
    std::string mark, pid, user, nice, cpu, rss, gpu, age, command;
};

// The fixed columns' widths, aligned right except MARK and USER; two spaces before COMMAND.
constexpr int kMarkWidth = 3, kPidWidth = 7, kUserWidth = 9, kNiceWidth = 3, kCpuWidth = 6, kRssWidth = 9,
              kGpuWidth = 8, kAgeWidth = 8, kCommandMin = 16;

std::string columns(const Cells& c, const Layout& l) {
    std::string out;
    const auto cell = [&](bool shown, const std::string& text, int width, bool left) {
        if (!shown) return;
        std::string t = text.substr(0, static_cast<std::size_t>(width));
        const std::string pad(static_cast<std::size_t>(width) - t.size(), ' ');
        out += (left ? t + pad : pad + t) + " ";
    };
    cell(true, c.mark, kMarkWidth, true);
    cell(true, c.pid, kPidWidth, false);
    cell(l.user, c.user, kUserWidth, true);
    cell(l.nice, c.nice, kNiceWidth, false);
    cell(l.cpu, c.cpu, kCpuWidth, false);
    cell(l.rss, c.rss, kRssWidth, false);
    cell(l.gpu, c.gpu, kGpuWidth, false);
    cell(l.age, c.age, kAgeWidth, false);
    return fixed(out + " " + c.command, l.width);
}

std::string percent(std::uint64_t usage) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(usage) / 10.0);
    return buf;
}

}  // namespace

bool parse_sort_key(const std::string& text, SortKey& key) {
    for (const SortKey k : kSortKeys)
        if (lower(text) == lower(sort_name(k))) {
            key = k;
            return true;
        }
    return false;
}

std::string TopData::user(std::uint32_t uid) const {
    const auto it = users.find(uid);
    return it == users.end() ? std::to_string(uid) : it->second;
}

std::vector<TopRow> build_rows(const TopData& d, const TopView& view) {
    const std::string needle = lower(view.filter);
    const auto& records = d.snap.records;
    const auto matches = [&](std::size_t i) {
        return contains(records[i].command, needle) || contains(d.user(records[i].uid), needle);
    };
    std::vector<bool> in_run(records.size());
    struct Group {
        TopRow header;
        Figure figure;
        std::vector<TopRow> members;
    };
    std::vector<Group> groups;
    for (std::size_t k = 0; k < d.runs.size(); ++k) {
        const Run& run = d.runs[k];
        const bool run_matches = contains(run.session, needle);
        Group g;
        g.header = {TopRow::Kind::Run, run.session, k, false, view.folded.count(run.session) != 0, 0};
        std::uint64_t gpu = 0;
        for (const auto* members : {&run.direct, &run.inherited})
            for (const std::size_t i : *members) {
                in_run[i] = true;
                gpu += process_figure(d, i).gpu;
                if (run_matches || matches(i))
                    g.members.push_back({TopRow::Kind::Process, run.session, i, members == &run.inherited, false, 0});
            }
        if (g.members.empty()) continue;
        g.figure = {run.cpu_usage, run.resident_bytes, gpu,
                    run.start_sec * 1000000 + run.start_usec, records[run.root].pid};
        groups.push_back(std::move(g));
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [&](const Group& a, const Group& b) { return before(a.figure, b.figure, view.key, view.reverse); });
    Group others;
    others.header = {TopRow::Kind::Others, "", 0, false, view.folded.count("") != 0, 0};
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!in_run[i] && matches(i)) others.members.push_back({TopRow::Kind::Process, "", i, false, false, 0});
    if (!others.members.empty()) groups.push_back(std::move(others));

    std::vector<TopRow> rows;
    for (auto& g : groups) {
        std::stable_sort(g.members.begin(), g.members.end(), [&](const TopRow& a, const TopRow& b) {
            return before(process_figure(d, a.record), process_figure(d, b.record), view.key, view.reverse);
        });
        g.header.shown = g.members.size();
        rows.push_back(g.header);
        if (!g.header.folded) rows.insert(rows.end(), g.members.begin(), g.members.end());
    }
    return rows;
}

std::string printable(const std::string& text) {
    std::string out = text;
    for (auto& c : out)
        if (c < 0x20 || c >= 0x7F) c = '?';
    return out;
}

bool eased(const ProcessRecord& record) { return record.nice >= kEasedNice; }

Layout layout(const TopData& d, const TopView& view, int width) {
    Layout l;
    l.width = width;
    l.key = view.key;
    l.gpu = std::any_of(d.gpu_by_pid.begin(), d.gpu_by_pid.end(), [](const auto& p) { return p.second > 0; });
    const auto fixed_width = [&] {
        return kMarkWidth + 1 + kPidWidth + 1 + (l.user ? kUserWidth + 1 : 0) + (l.nice ? kNiceWidth + 1 : 0) +
               (l.cpu ? kCpuWidth + 1 : 0) + (l.rss ? kRssWidth + 1 : 0) + (l.gpu ? kGpuWidth + 1 : 0) +
               (l.age ? kAgeWidth + 1 : 0) + 1;
    };
    for (bool* column : {&l.gpu, &l.age, &l.user, &l.rss, &l.nice, &l.cpu})
        if (fixed_width() + kCommandMin > width) *column = false;
    return l;
}

std::string column_titles(const Layout& l) {
    const auto title = [&](const char* text, SortKey key) {
        return l.key == key ? "[" + std::string(text) + "]" : std::string(text);
    };
    return columns({"", title("PID", SortKey::Pid), "USER", "NI", title("CPU%", SortKey::Cpu),
                    title("RSS MiB", SortKey::Memory), title("GPU ms", SortKey::Gpu), title("AGE", SortKey::Start),
                    "COMMAND"},
                   l);
}

std::string row_text(const TopData& d, const TopRow& row, const Layout& l) {
    const auto gpu_ms = [](std::uint64_t ns) { return std::to_string(ns / 1000000); };
    const char* fold = row.folded ? "[+]" : "[-]";
    if (row.kind == TopRow::Kind::Others)
        return columns({fold, "", "", "", "", "", "", "", "other processes (" + std::to_string(row.shown) + ")"}, l);
    if (row.kind == TopRow::Kind::Run) {
        const Run& run = d.runs[row.record];
        std::uint64_t gpu = 0;
        std::size_t eased_count = 0;
        for (const auto* members : {&run.direct, &run.inherited})
            for (const std::size_t i : *members) {
                if (const auto it = d.gpu_by_pid.find(d.snap.records[i].pid); it != d.gpu_by_pid.end()) gpu += it->second;
                eased_count += eased(d.snap.records[i]);
            }
        const std::string count = std::to_string(run.processes()) + (run.processes() == 1 ? " process" : " processes");
        // The eased count comes first, where a narrow COMMAND column still shows it.
        return columns({fold, "", "run", "", percent(run.cpu_usage), mib(run.resident_bytes), gpu_ms(gpu),
                        duration_text(d.snap.wall_sec - static_cast<std::int64_t>(run.start_sec)),
                        (eased_count > 0 ? std::to_string(eased_count) + " eased, " : "") + run.session + " (" +
                            count + "): " + printable(d.snap.records[run.root].command)},
                       l);
    }
    const auto& r = d.snap.records[row.record];
    const auto gpu = d.gpu_by_pid.find(r.pid);
    // E: eased; +: in its run through an ancestor.
    const std::string mark = std::string(eased(r) ? "E" : " ") + (row.inherited ? "+" : "");
    return columns({mark, std::to_string(r.pid), d.user(r.uid), std::to_string(r.nice), percent(r.cpu_usage),
                    mib(r.resident_bytes), gpu_ms(gpu == d.gpu_by_pid.end() ? 0 : gpu->second),
                    duration_text(d.snap.wall_sec - static_cast<std::int64_t>(r.start_sec)), printable(r.command)},
                   l);
}

}  // namespace zelk::tool
