// What `zelk top` shows, apart from the terminal: the rows of a census grouped by agent run
// (a run's header, then its processes; the other processes last under their own header),
// sorted, filtered and folded as the user chose, and each row's text for a given width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runs.hpp"

namespace zelk::tool {

enum class SortKey { Cpu, Memory, Pid, Start, Gpu };
inline constexpr SortKey kSortKeys[] = {SortKey::Cpu, SortKey::Memory, SortKey::Pid, SortKey::Start, SortKey::Gpu};
const char* sort_name(SortKey key);             // "CPU", "memory", "pid", "start", "GPU"
bool parse_sort_key(const std::string& text, SortKey& key);  // accepts the names above, any case

// One census with what top adds to it.
struct TopData {
    Snapshot snap;
    std::vector<Run> runs;
    std::map<std::int32_t, std::uint64_t> gpu_by_pid;  // nanoseconds
    std::map<std::uint32_t, std::string> users;        // uid -> name
    std::string user(std::uint32_t uid) const;
};

// The user's choices, which outlive each census.
struct TopView {
    SortKey key = SortKey::Cpu;
    bool reverse = false;
    std::string filter;              // matched, ignoring case, against command, user and run
    std::set<std::string> folded;    // the runs folded, by session ("" names the other processes)
};

struct TopRow {
    enum class Kind { Run, Process, Others } kind = Kind::Process;
    std::string session;     // the group: a run's session, "" for the other processes
    std::size_t record = 0;  // Process: the census record; Run: the run's index in TopData::runs
    bool inherited = false;  // Process: in its run through an ancestor
    bool folded = false;     // Run, Others: its processes are hidden
    std::size_t shown = 0;   // Run, Others: its processes that pass the filter
};

// The rows in display order.
std::vector<TopRow> build_rows(const TopData& data, const TopView& view);

// Printable ASCII only: anything else in a command (control bytes, escapes) becomes '?'.
std::string printable(const std::string& text);

// A process counts as eased at the nice value the helper's ease sets, or above: it runs when
// the machine has nothing else to do.
inline constexpr std::int32_t kEasedNice = 10;
bool eased(const ProcessRecord& record);

// The columns a width holds: MARK PID USER NI CPU% RSS GPU AGE COMMAND. COMMAND is the last to go:
// GPU, AGE, USER, RSS, NI and CPU% are dropped, in that order, to leave it room. GPU is also
// left out while no process has GPU time. The sorted column's title is in brackets.
struct Layout {
    int width = 0;
    bool user = true, nice = true, cpu = true, rss = true, gpu = true, age = true;
    SortKey key = SortKey::Cpu;
};
Layout layout(const TopData& data, const TopView& view, int width);

// The column titles and a row, both exactly `width` characters (cut or padded).
std::string column_titles(const Layout& layout);
std::string row_text(const TopData& data, const TopRow& row, const Layout& layout);

}  // namespace zelk::tool
