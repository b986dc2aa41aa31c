// zelk top: the census grouped by agent run, refreshed, in the terminal (curses): sort, filter,
// fold, pause, and ease or restore a process or a whole run through the helper. When standard
// input or output is not a terminal it writes plain frames instead, with no escapes.
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach/mach.h>
#endif

#define NCURSES_NOMACROS  // curses' macros (timeout, erase, move...) would shadow C++ names
#include <curses.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "args.hpp"
#include "census.hpp"
#include "helper_client.hpp"
#include "top_model.hpp"

namespace zelk::tool {
namespace {

using Clock = std::chrono::steady_clock;

// The machine's totals beside the census: processors, load, memory in use.
struct Machine {
    long processors = 0;
    double load[3] = {-1, -1, -1};
    std::uint64_t memory_used = 0;  // 0: not known
    std::uint64_t memory_total = 0;
};

Machine machine_totals(std::uint64_t census_memory_total) {
    Machine m;
    m.processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (::getloadavg(m.load, 3) != 3) m.load[0] = m.load[1] = m.load[2] = -1;
    m.memory_total = census_memory_total;
#ifdef __APPLE__
    // In use as the system's own monitor counts it: app memory (anonymous, less purgeable),
    // wired and compressed pages.
    vm_statistics64_data_t vm{};
    mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
    if (::host_statistics64(::mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&vm), &count) ==
        KERN_SUCCESS) {
        const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        m.memory_used = (std::uint64_t{vm.internal_page_count} - vm.purgeable_count + vm.wire_count +
                         vm.compressor_page_count) * page;
    }
#else
    // In use: what the kernel does not count as available (MemTotal - MemAvailable).
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0, total = 0, available = 0;
    std::string unit;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "MemTotal:") total = kib * 1024;
        if (key == "MemAvailable:") available = kib * 1024;
    }
    if (total > 0 && available <= total) {
        m.memory_total = total;
        m.memory_used = total - available;
    }
#endif
    return m;
}

std::string gib(std::uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(bytes) / (1u << 30));
    return buf;
}

std::string machine_line(const TopData& d, const Machine& m) {
    char load[64] = "load -";
    if (m.load[0] >= 0) std::snprintf(load, sizeof load, "load %.2f %.2f %.2f", m.load[0], m.load[1], m.load[2]);
    char census[48];
    std::snprintf(census, sizeof census, "census %.1f ms", static_cast<double>(d.snap.collect_ns) / 1e6);
    return std::to_string(m.processors) + " processors  " + load + "  memory " +
           (m.memory_used ? gib(m.memory_used) : std::string("?")) + " of " + gib(m.memory_total) + " GiB in use  " +
           census;
}

std::string status_line(const TopData& d, const TopView& v, bool paused) {
    std::string s = std::to_string(d.snap.records.size()) + " processes, " + std::to_string(d.runs.size()) +
                    (d.runs.size() == 1 ? " run" : " runs") + "  sort: " + sort_name(v.key) +
                    (v.reverse ? " (reversed)" : "");
    if (!v.filter.empty()) s += "  filter: " + printable(v.filter);
    if (paused) s += "  PAUSED";
    return s;
}

// One census with its GPU times, runs and user names.
class Collector {
public:
    explicit Collector(Library& lib) : lib_(lib) {}
    // False when the census failed (its message is in `error`).
    bool collect(TopData& out, std::string& error) {
        Taken t;
        if (take(lib_, t, &error) != kExitOk) return false;
        TopData d;
        d.snap = std::move(t.snap);
        d.runs = group_runs(d.snap);
        std::vector<GpuClient> clients;
        if (fetch_clients(lib_, clients) != ZELK_CORE_OK) clients.clear();  // no GPU column then
        d.gpu_by_pid = gpu_time_by_pid(clients);
        for (const auto& r : d.snap.records) d.users[r.uid] = user_name(r.uid);
        out = std::move(d);
        return true;
    }

private:
    std::string user_name(std::uint32_t uid) {
        if (const auto it = names_.find(uid); it != names_.end()) return it->second;
        passwd pw{};
        passwd* found = nullptr;
        char buf[4096];
        std::string name = ::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found ? found->pw_name
                                                                                        : std::to_string(uid);
        return names_[uid] = name;
    }
    Library& lib_;
    std::map<std::uint32_t, std::string> names_;
};

struct Options {
    double interval = 2.0;
    TopView view;
    std::string socket = kHelperSocket;
    std::size_t rows = 0;    // plain frames: rows per frame (0: all)
    std::size_t frames = 0;  // plain frames: how many (0: until interrupted)
    int width = 100;         // plain frames: characters per line
};

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Plain frames: the header, the column titles and the rows, a blank line between frames.
int run_plain(Collector& collector, const Options& o) {
    TopData d;
    std::string error;
    for (std::size_t frame = 0; o.frames == 0 || frame < o.frames; ++frame) {
        // The first frame waits half a second for its usage window (Linux measures between censuses).
        if (frame == 0 && collector.collect(d, error)) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!collector.collect(d, error)) return fail(kExitFailure, "top: " + error);
        if (frame > 0) std::printf("\n");
        const Layout l = layout(d, o.view, o.width);
        std::printf("%s\n%s\n%s\n", machine_line(d, machine_totals(d.snap.mem_total)).c_str(),
                    status_line(d, o.view, false).c_str(), trimmed(column_titles(l)).c_str());
        std::size_t shown = 0;
        for (const auto& row : build_rows(d, o.view)) {
            if (o.rows > 0 && shown++ >= o.rows) break;
            std::printf("%s\n", trimmed(row_text(d, row, l)).c_str());
        }
        flush_out();
        if (o.frames == 0 || frame + 1 < o.frames)
            std::this_thread::sleep_for(std::chrono::duration<double>(o.interval));
    }
    return kExitOk;
}

// The terminal, owned: curses is ended however the screen's scope is left.
struct Terminal {
    SCREEN* screen = nullptr;
    ~Terminal() {
        if (screen != nullptr) {
            ::endwin();
            ::delscreen(screen);
        }
    }
};

enum Pair : short { kRunPair = 1, kTitlePair, kMarkPair, kNotePair };

class Screen {
public:
    Screen(Collector& collector, const Options& o) : collector_(collector), o_(o), view_(o.view) {}

    int run() {
        colour_ = ::has_colors() && !(std::getenv("NO_COLOR") && *std::getenv("NO_COLOR"));
        if (colour_) {
            ::start_color();
            ::use_default_colors();
            ::init_pair(kRunPair, COLOR_YELLOW, -1);
            ::init_pair(kTitlePair, COLOR_BLACK, COLOR_CYAN);
            ::init_pair(kMarkPair, COLOR_CYAN, -1);
            ::init_pair(kNotePair, COLOR_GREEN, -1);
        }
        std::string error;
        if (!collector_.collect(data_, error)) return fail(kExitFailure, "top: " + error);
        machine_ = machine_totals(data_.snap.mem_total);
        auto next = Clock::now() + std::chrono::milliseconds(500);  // the first usage window
        // The rows are rebuilt and drawn after a census or a key only, not at every tick.
        bool changed = true;
        for (;;) {
            if (!paused_ && (Clock::now() >= next || recollect_)) {
                recollect_ = false;
                if (collector_.collect(data_, error))
                    machine_ = machine_totals(data_.snap.mem_total);
                else
                    note_ = error;
                next = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.interval));
                changed = true;
            }
            if (changed) {
                rows_ = build_rows(data_, view_);
                follow_selection();
                draw();
                changed = false;
            }
            const int key = ::wgetch(stdscr);
            if (key == ERR) continue;
            if (key == 'q' || key == 'Q' || key == 27 || key == 3 || key == KEY_F(10)) return kExitOk;
            handle(key);
            changed = true;
        }
    }

private:
    int list_top() const { return 3; }
    int list_height() const { return std::max(LINES - list_top() - 1, 0); }

    // Keeps the selected row (a run, a process, the other processes) selected across refreshes.
    void follow_selection() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const auto& r = rows_[i];
            if (r.kind == selected_kind_ && r.session == selected_session_ &&
                (r.kind != TopRow::Kind::Process || data_.snap.records[r.record].pid == selected_pid_)) {
                selected_ = i;
                break;
            }
        }
        if (selected_ >= rows_.size()) selected_ = rows_.empty() ? 0 : rows_.size() - 1;
        remember();
        const auto height = static_cast<std::size_t>(std::max(list_height(), 1));
        if (selected_ < first_) first_ = selected_;
        if (selected_ >= first_ + height) first_ = selected_ + 1 - height;
        if (first_ > 0 && first_ + height > rows_.size()) first_ = rows_.size() > height ? rows_.size() - height : 0;
    }

    void remember() {
        if (rows_.empty()) return;
        const auto& r = rows_[selected_];
        selected_kind_ = r.kind;
        selected_session_ = r.session;
        selected_pid_ = r.kind == TopRow::Kind::Process ? data_.snap.records[r.record].pid : 0;
    }

    void line(int y, const std::string& text, attr_t attrs) {
        if (y < 0 || y >= LINES) return;
        std::string t = text;
        t.resize(static_cast<std::size_t>(std::max(COLS - (y == LINES - 1 ? 1 : 0), 0)), ' ');
        ::wattrset(stdscr, attrs);
        ::mvwaddnstr(stdscr, y, 0, t.c_str(), static_cast<int>(t.size()));
        ::wattrset(stdscr, A_NORMAL);
    }

    attr_t pair_or(Pair pair, attr_t mono) const { return colour_ ? static_cast<attr_t>(COLOR_PAIR(pair)) : mono; }

    void draw() {
        ::werase(stdscr);
        const Layout l = layout(data_, view_, COLS);
        line(0, machine_line(data_, machine_), A_BOLD);
        line(1, status_line(data_, view_, paused_), A_NORMAL);
        line(2, column_titles(l), pair_or(kTitlePair, A_REVERSE));
        for (int k = 0; k < list_height(); ++k) {
            const std::size_t i = first_ + static_cast<std::size_t>(k);
            if (i >= rows_.size()) break;
            const auto& r = rows_[i];
            attr_t a = r.kind != TopRow::Kind::Process ? pair_or(kRunPair, A_NORMAL) | A_BOLD
                       : eased(data_.snap.records[r.record]) ? pair_or(kMarkPair, A_NORMAL)
                                                             : A_NORMAL;
            if (i == selected_) a = A_REVERSE | (colour_ ? A_NORMAL : A_BOLD);
            line(list_top() + k, row_text(data_, r, l), a);
        }
        if (rows_.empty() && !view_.filter.empty())
            line(list_top(), "nothing matches the filter \"" + printable(view_.filter) + "\" (/ changes it)", A_NORMAL);
        if (prompt_)
            line(LINES - 1, *prompt_, A_BOLD);
        else if (!note_.empty())
            line(LINES - 1, note_, pair_or(kNotePair, A_BOLD));
        else
            line(LINES - 1, "q quit  ? help  / filter  s sort  p pause  Enter fold  e ease  r restore",
                 A_NORMAL);
        ::wrefresh(stdscr);
    }

    // The help screen over the list: every key, until a key is pressed.
    void help() {
        static const char* const kKeys[] = {
            "Up Down, k j        move the selection",
            "PgUp PgDn           move a page",
            "Home End, g G       first, last row",
            "Enter, f            fold or unfold the selected run",
            "Left Right          fold, unfold",
            "+ -                 unfold every run, fold every run",
            "/                   filter as you type (command, user, run); Enter keeps it,",
            "                    Esc the one before; Ctrl-U clears it, Ctrl-W drops a word",
            "s S                 next sort key (CPU, memory, pid, start, GPU), reverse",
            "p, Space            pause, go on",
            "e r                 ease, restore the selected process or run (asks first)",
            "?, h, F1            this help",
            "q, Esc, F10, Ctrl-C quit",
            "",
            "NI nice value, E eased (nice 10 or more), + in its run through an ancestor,",
            "[ ] the sorted column"};
        ::wtimeout(stdscr, -1);
        do {
            draw();
            for (int y = list_top(); y < LINES - 1; ++y) line(y, "", A_NORMAL);
            line(list_top(), "zelk top: keys", A_BOLD);
            for (std::size_t k = 0; k < std::size(kKeys) && list_top() + 1 + static_cast<int>(k) < LINES - 1; ++k)
                line(list_top() + 1 + static_cast<int>(k), std::string("  ") + kKeys[k], A_NORMAL);
            line(LINES - 1, "press a key to go back", pair_or(kNotePair, A_BOLD));
            ::wrefresh(stdscr);
        } while (::wgetch(stdscr) == KEY_RESIZE);
        ::wtimeout(stdscr, kTickMs);
    }

    // The filter, typed at the bottom from empty and applied at each key; Enter keeps it, Esc
    // puts back the one before. Ctrl-U clears the line, Ctrl-W drops its last word.
    void edit_filter() {
        const std::string before = view_.filter;
        const std::string prompt = "filter (Enter keeps, Esc cancels): ";
        std::string text;
        ::wtimeout(stdscr, -1);
        ::curs_set(1);
        for (;;) {
            view_.filter = text;
            rows_ = build_rows(data_, view_);
            follow_selection();
            prompt_ = prompt + printable(text);
            draw();
            ::wmove(stdscr, LINES - 1, std::min(static_cast<int>(prompt_->size()), COLS - 1));
            ::wrefresh(stdscr);
            const int key = ::wgetch(stdscr);
            if (key == 27) view_.filter = before;
            if (key == 27 || key == '\n' || key == '\r' || key == KEY_ENTER) break;
            if ((key == KEY_BACKSPACE || key == 127 || key == 8) && !text.empty()) {
                text.pop_back();
            } else if (key == 21) {  // Ctrl-U
                text.clear();
            } else if (key == 23) {  // Ctrl-W: the blanks before the cursor, then the word
                while (!text.empty() && text.back() == ' ') text.pop_back();
                while (!text.empty() && text.back() != ' ') text.pop_back();
            } else if (key >= 0x20 && key < 0x7F && text.size() < 200) {
                text += static_cast<char>(key);
            }
        }
        prompt_.reset();
        ::curs_set(0);
        ::wtimeout(stdscr, kTickMs);
    }

    // A question answered with y; its " [y/N]" stays in sight, the question is cut before it.
    bool confirm(const std::string& question) {
        const auto room = static_cast<std::size_t>(std::max(COLS - 1 - 6, 3));
        prompt_ = (question.size() > room ? question.substr(0, room - 3) + "..." : question) + " [y/N]";
        ::wtimeout(stdscr, -1);
        int key;
        do draw();
        while ((key = ::wgetch(stdscr)) == KEY_RESIZE);
        prompt_.reset();
        ::wtimeout(stdscr, kTickMs);
        return key == 'y' || key == 'Y';
    }

    // Lines over the list, shown as they come; the last call waits for a key.
    void show_answers(const std::string& title, const std::vector<std::string>& answers, bool done) {
        for (int y = list_top(); y < LINES - 1; ++y) line(y, "", A_NORMAL);
        line(list_top(), title, A_BOLD);
        const int room = LINES - 1 - list_top() - 1;
        const std::size_t skip = answers.size() > static_cast<std::size_t>(std::max(room, 0))
                                     ? answers.size() - static_cast<std::size_t>(std::max(room, 0)) : 0;
        for (std::size_t k = skip; k < answers.size(); ++k)
            line(list_top() + 1 + static_cast<int>(k - skip), "  " + answers[k], A_NORMAL);
        line(LINES - 1, done ? "press a key to go back" : "waiting for the helper...", pair_or(kNotePair, A_BOLD));
        ::wrefresh(stdscr);
        if (done) {
            ::wtimeout(stdscr, -1);
            while (::wgetch(stdscr) == KEY_RESIZE) {
            }
            ::wtimeout(stdscr, kTickMs);
        }
    }

    // e / r: the selected process, or every process of the selected run, through the helper.
    void tame(const std::string& verb) {
        if (rows_.empty()) return;
        const TopRow row = rows_[selected_];
        std::vector<std::size_t> targets;
        std::string what;
        if (row.kind == TopRow::Kind::Run) {
            const Run& run = data_.runs[row.record];
            targets = run.direct;
            targets.insert(targets.end(), run.inherited.begin(), run.inherited.end());
            what = "run " + run.session + " (" + std::to_string(targets.size()) + " processes)";
        } else if (row.kind == TopRow::Kind::Process) {
            targets = {row.record};
            what = "process " + std::to_string(data_.snap.records[row.record].pid);
        } else {
            note_ = "select a process or a run to " + verb;
            return;
        }
        if (!confirm(verb + " " + what + " through the helper?")) {
            note_ = verb + " cancelled";
            return;
        }
        const std::string title = verb + " " + what + ": the helper's answers";
        std::vector<std::string> answers;
        std::size_t ok = 0;
        for (const std::size_t i : targets) {
            const auto& r = data_.snap.records[i];
            show_answers(title, answers, false);
            const std::string request = taming_request(verb, r.pid, r.start_sec * 1'000'000 + r.start_usec);
            std::string reply, error;
            const std::string pid = std::to_string(r.pid);
            if (!helper_exchange(o_.socket, request, reply, error)) {
                if (error.rfind("cannot connect", 0) == 0) {
                    answers.push_back("the helper is not running (" + printable(error) + ")");
                    break;
                }
                answers.push_back(pid + "  " + verb + ": " + printable(error));
            } else if (reply == kHelperOk) {
                ++ok;
                answers.push_back(pid + "  " + verb + " ok  " + printable(r.command));
            } else if (reply == kHelperGone) {
                answers.push_back(pid + "  gone, skipped  " + printable(r.command));
            } else {
                if (!reply.empty() && reply.back() == '\n') reply.pop_back();
                answers.push_back(pid + "  " + verb + " failed: " + printable(reply));
            }
        }
        show_answers(title, answers, true);
        note_ = verb + ": " + std::to_string(ok) + " of " + std::to_string(targets.size()) + " ok";
        recollect_ = true;  // the new nice values show at once
    }

    void fold(bool folded) {
        if (rows_.empty()) return;
        const auto& r = rows_[selected_];
        if (folded)
            view_.folded.insert(r.session);
        else
            view_.folded.erase(r.session);
        // The group's header keeps the selection when its processes go.
        selected_kind_ = r.session.empty() ? TopRow::Kind::Others : TopRow::Kind::Run;
        if (r.kind != TopRow::Kind::Process) return;
        for (std::size_t i = selected_; i-- > 0;)
            if (rows_[i].kind != TopRow::Kind::Process) {
                selected_ = i;
                break;
            }
    }

    void move_by(long delta) {
        if (rows_.empty()) return;
        const long last = static_cast<long>(rows_.size()) - 1;
        selected_ = static_cast<std::size_t>(std::clamp(static_cast<long>(selected_) + delta, 0L, last));
        remember();
    }

    void handle(int key) {
        note_.clear();
        const long page = std::max(list_height() - 1, 1);
        switch (key) {
            case KEY_UP: case 'k': move_by(-1); break;
            case KEY_DOWN: case 'j': move_by(1); break;
            case KEY_PPAGE: move_by(-page); break;
            case KEY_NPAGE: move_by(page); break;
            case KEY_HOME: case 'g': move_by(-static_cast<long>(rows_.size())); break;
            case KEY_END: case 'G': move_by(static_cast<long>(rows_.size())); break;
            case '\n': case '\r': case KEY_ENTER: case 'f':
                if (!rows_.empty()) fold(view_.folded.count(rows_[selected_].session) == 0);
                break;
            case KEY_LEFT: fold(true); break;
            case KEY_RIGHT: fold(false); break;
            case '+': view_.folded.clear(); break;
            case '-':
                for (const auto& run : data_.runs) view_.folded.insert(run.session);
                view_.folded.insert("");
                break;
            case 's': {
                const auto* it = std::find(std::begin(kSortKeys), std::end(kSortKeys), view_.key);
                view_.key = ++it == std::end(kSortKeys) ? kSortKeys[0] : *it;
                break;
            }
            case 'S': view_.reverse = !view_.reverse; break;
            case 'p': case ' ': paused_ = !paused_; break;
            case '/': edit_filter(); break;
            case '?': case 'h': case KEY_F(1): help(); break;
            case 'e': tame("ease"); break;
            case 'r': tame("restore"); break;
            case KEY_RESIZE: break;  // the next draw uses the new size
            default: break;
        }
    }

    static constexpr int kTickMs = 100;
    Collector& collector_;
    const Options& o_;
    TopView view_;
    TopData data_;
    Machine machine_;
    std::vector<TopRow> rows_;
    std::size_t selected_ = 0, first_ = 0;
    TopRow::Kind selected_kind_ = TopRow::Kind::Run;
    std::string selected_session_;
    std::int32_t selected_pid_ = 0;
    bool paused_ = false;
    bool colour_ = false;
    bool recollect_ = false;              // take a census now (after an ease or restore)
    std::optional<std::string> prompt_;  // a question or typed line in place of the key line
    std::string note_;

public:
    static int tick_ms() { return kTickMs; }
};

const CommandSpec top_spec{
    "zelk top [SECONDS] [--interval SECONDS] [--sort KEY] [--filter TEXT] [--socket PATH] [--rows N] [--count N] "
    "[--width N]",
    "The census grouped by agent run, refreshed every SECONDS (default 2). In a terminal: arrows move, Enter\n"
    "folds a run, / filters as you type (command, user, run), s sorts (CPU, memory, pid, start, GPU), S reverses,\n"
    "p pauses, e eases and r restores the selected process or run through the helper (asking first), ? shows\n"
    "every key, q, Esc or F10 quits.\n"
    "Colour unless NO_COLOR is set. Not in a terminal, it writes plain frames, a blank line between them.",
    {{"--interval", "SECONDS", "seconds between censuses, 0.1 to 3600 (also the first argument)"},
     {"--sort", "KEY", "CPU, memory, pid, start or GPU (default CPU)"},
     {"--filter", "TEXT", "only processes whose command, user or run contains TEXT"},
     {"--socket", "PATH", "the helper's socket, for e and r"},
     {"--rows", "N", "plain frames: at most N rows each"},
     {"--count", "N", "plain frames: stop after N frames"},
     {"--width", "N", "plain frames: characters per line (default: the terminal's, else 100)"}},
    1,
    "SECONDS"};

int run_top(Context& ctx) {
    const Parsed args = parse_args(top_spec, ctx.args);
    Options o;
    if (!args.positional.empty()) o.interval = parse_number("SECONDS", args.positional[0], 0.1, 3600);
    o.interval = args.number("--interval", o.interval, 0.1, 3600);
    if (const std::string* key = args.value("--sort"); key && !parse_sort_key(*key, o.view.key))
        throw UsageError("--sort: unknown key \"" + *key + "\" (CPU, memory, pid, start, GPU)");
    if (const std::string* filter = args.value("--filter")) o.view.filter = *filter;
    if (const std::string* socket = args.value("--socket")) o.socket = *socket;
    o.rows = static_cast<std::size_t>(args.whole("--rows", 0, 1, 1000000));
    o.frames = static_cast<std::size_t>(args.whole("--count", 0, 1, 1000000));
    // Plain frames fill a terminal's width when they go to one (a dumb terminal, input redirected).
    winsize size{};
    const bool sized = ::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40;
    o.width = static_cast<int>(args.whole("--width", sized ? size.ws_col : 100, 40, 1000));
    Collector collector(ctx.library());

    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) return run_plain(collector, o);
    Terminal term;
    term.screen = ::newterm(nullptr, stdout, stdin);
    // A terminal that cannot place the cursor (TERM=dumb) gets plain frames too.
    char cursor_address[] = "cup";
    const char* cup = term.screen != nullptr ? ::tigetstr(cursor_address) : nullptr;
    if (term.screen != nullptr && (cup == nullptr || cup == reinterpret_cast<char*>(-1))) {
        ::endwin();
        ::delscreen(term.screen);
        term.screen = nullptr;
    }
    if (term.screen == nullptr) {
        const char* t = std::getenv("TERM");
        std::fprintf(stderr, "zelk top: cannot drive the terminal (TERM=%s): plain frames follow\n", t ? t : "");
        return run_plain(collector, o);
    }
    ::set_escdelay(25);
    ::raw();  // Ctrl-C arrives as a key and quits like q, leaving the terminal as it was
    ::noecho();
    ::nonl();
    ::keypad(stdscr, TRUE);
    ::curs_set(0);
    ::wtimeout(stdscr, Screen::tick_ms());
    return Screen(collector, o).run();
}

const Registration reg({"top",
                        "top [SECONDS] [--sort KEY] [--filter TEXT] [--socket PATH]   runs and processes, refreshed: "
                        "sort, filter, fold, ease and restore (q quits)",
                        run_top});

}  // namespace
}  // namespace zelk::tool
