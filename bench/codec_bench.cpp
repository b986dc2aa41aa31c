// Encoding and decoding a 2,000-process snapshot stream, and turning one process's argument
// area into its command text and agent session id: the per-snapshot and per-process costs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib.hpp"
#include "procargs.hpp"
#include "stream.hpp"

namespace {

using namespace std::string_literals;

// Command lengths as a busy desktop shows them: many short fallback names, most commands a
// path and a few flags, some long interpreter command lines, a few very long ones.
std::string command_of_length(std::mt19937& rng) {
    const unsigned pick = rng() % 100;
    std::size_t n = 0;
    if (pick < 30)
        n = 8 + rng() % 12;
    else if (pick < 80)
        n = 40 + rng() % 80;
    else if (pick < 95)
        n = 200 + rng() % 400;
    else
        n = 1000 + rng() % 2000;
    std::string s = "/Applications/Some App.app/Contents/MacOS/helper --type=renderer --lang=en-GB ";
    while (s.size() < n) s += s;
    s.resize(n);
    return s;
}

zelk::Snapshot census(std::size_t count) {
    std::mt19937 rng(7);
    zelk::Snapshot s;
    s.mem_total = 32ull << 30;
    s.wall_sec = 1800000000;
    s.wall_usec = 123456;
    s.collect_ns = 40'000'000;
    for (std::size_t i = 0; i < count; ++i) {
        zelk::ProcessRecord r;
        r.pid = static_cast<std::int32_t>(100 + i);
        r.ppid = 1;
        r.uid = 501;
        r.flags = zelk::FLAG_INFO | zelk::FLAG_ARGV;
        r.cpu_usage = rng() % 1000;
        r.resident_bytes = (rng() % 4096) << 20;
        r.start_sec = 1799990000 + rng() % 10000;
        r.start_usec = rng() % 1000000;
        r.command = command_of_length(rng);
        if (rng() % 20 == 0) {
            r.flags |= zelk::FLAG_SESSION;
            r.session_id.emplace();
            std::memcpy(r.session_id->data(), "0f0e0d0c-0b0a-0908-0706-050403020100", 36);
        }
        s.records.push_back(std::move(r));
    }
    return s;
}

void BM_EncodeSnapshot(benchmark::State& state) {
    const auto snapshot = census(2000);
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto b = zelk::encode_snapshot(snapshot);
        bytes = b.size();
        benchmark::DoNotOptimize(b.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * snapshot.records.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["stream_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeSnapshot);

void BM_DecodeSnapshot(benchmark::State& state) {
    const auto stream = zelk::encode_snapshot(census(2000));
    for (auto _ : state) {
        auto s = zelk::decode_snapshot(stream.bytes());
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2000));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_DecodeSnapshot);

// A 4 KiB KERN_PROCARGS2 area of an agent-started node process: six arguments and a large
// developer environment with the session variable near its end, then the trailing strings
// the kernel adds after the environment.
std::vector<std::uint8_t> agent_area() {
    const std::string exec = "/Users/dev/.nvm/versions/node/v22.3.0/bin/node";
    std::string body = "node\0/Users/dev/.local/lib/agent/cli.js\0--output-format\0stream-json\0--verbose\0"
                       "--permission-mode=acceptEdits\0"s;
    const char* env[] = {
        ("PATH=/Users/dev/.nvm/versions/node/v22.3.0/bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:"
         "/System/Cryptexes/App/usr/bin:/usr/bin:/bin:/usr/sbin:/sbin:/Users/dev/.cargo/bin:/Users/dev/go/bin"),
        "HOME=/Users/dev", "SHELL=/bin/zsh", "TERM=xterm-256color", "TERM_PROGRAM=vscode", "LANG=en_GB.UTF-8",
        "USER=dev", "LOGNAME=dev", "TMPDIR=/var/folders/xy/abcdefgh12345678/T/", "COLORTERM=truecolor",
        "SSH_AUTH_SOCK=/private/tmp/com.apple.launchd.AbCdEf/Listeners", "__CF_USER_TEXT_ENCODING=0x1F5:0x0:0x2",
        "NVM_DIR=/Users/dev/.nvm", "NVM_BIN=/Users/dev/.nvm/versions/node/v22.3.0/bin",
        "GIT_ASKPASS=/Applications/Visual Studio Code.app/Contents/Resources/app/extensions/git/dist/askpass.sh",
        "VSCODE_GIT_IPC_HANDLE=/var/folders/xy/abcdefgh12345678/T/vscode-git-0123456789.sock",
        "EDITOR=code --wait", "PAGER=less", "LESS=-R", "HOMEBREW_PREFIX=/opt/homebrew",
        "HOMEBREW_CELLAR=/opt/homebrew/Cellar", "HOMEBREW_REPOSITORY=/opt/homebrew",
        "MANPATH=/opt/homebrew/share/man:/usr/share/man:/usr/local/share/man",
        "INFOPATH=/opt/homebrew/share/info:", "PYENV_ROOT=/Users/dev/.pyenv", "GOPATH=/Users/dev/go",
        "CARGO_HOME=/Users/dev/.cargo", "RUSTUP_HOME=/Users/dev/.rustup", "JAVA_HOME=/Library/Java/Home",
        "XPC_FLAGS=0x0", "XPC_SERVICE_NAME=0", "OLDPWD=/Users/dev", "PWD=/Users/dev/src/project",
        "SHLVL=2", "_=/Users/dev/.nvm/versions/node/v22.3.0/bin/node", "NODE_OPTIONS=--max-old-space-size=8192",
        "ANTHROPIC_MODEL=large", "DISABLE_AUTOUPDATER=1", "ENABLE_BACKGROUND_TASKS=1", "FORCE_COLOR=1",
        "CLAUDE_CODE_ENTRYPOINT=cli", "CLAUDE_CODE_SESSION_ID=0f0e0d0c-0b0a-0908-0706-050403020100",
        "NO_COLOR=", "CI=false",
    };
    for (const char* e : env) body += std::string(e) + '\0';
    std::string area(4, '\0');
    const std::int32_t argc = 6;
    std::memcpy(area.data(), &argc, 4);
    area += exec + std::string(8, '\0') + body;
    // Pad the environment with further variables, then end it and add the kernel's extras.
    const std::string tail = "\0executable_path=/Users/dev/.nvm/versions/node/v22.3.0/bin/node\0ptr_munge=\0"s;
    for (int i = 0; area.size() + tail.size() + 64 < 4096; ++i)
        area += "EXTRA_SETTING_" + std::to_string(i) + "=some-value-that-is-not-short\0"s;
    area += "PADDING=";
    area.append(4096 - area.size() - tail.size() - 1, 'p');
    area += '\0';
    area += tail;
    return std::vector<std::uint8_t>(area.begin(), area.end());
}

void BM_CommandFromArgArea(benchmark::State& state) {
    const auto area = agent_area();
    for (auto _ : state) {
        const auto args = zelk::parse_procargs(area);
        auto command = zelk::build_command(std::span(args.strings).first(args.argc));
        auto session = zelk::find_session_id(args.strings);
        benchmark::DoNotOptimize(command.data());
        benchmark::DoNotOptimize(session);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * area.size()));
    state.counters["area_bytes"] = static_cast<double>(area.size());
}
BENCHMARK(BM_CommandFromArgArea);

// The escape path of the visible form, over UTF-8 text (every non-ASCII byte escaped).
void BM_VisibleFormUtf8(benchmark::State& state) {
    std::string text;
    while (text.size() < 1024) text += "/Users/dev/Документы/café/";
    for (auto _ : state) {
        auto v = zelk::to_visible(text);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_VisibleFormUtf8);

}  // namespace
