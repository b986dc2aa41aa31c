// Another process as ease and restore see it on Linux: its start time from /proc (as the census
// computes it), its nice value, its I/O priority, and a pidfd that tells whether the process
// checked is still the one there after the tools ran.
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>

#include "platform/helper_system.hpp"

namespace zelk::helper::sys {
namespace {

constexpr int IOPRIO_WHO_PROCESS = 1;

std::optional<std::string> readSmall(const std::string& path) {
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    std::array<char, 8192> buf;
    const ssize_t n = ::read(file.get(), buf.data(), buf.size());
    if (n <= 0) return std::nullopt;
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return v;
}

// /proc/stat's "btime SECONDS" line: the boot time in whole seconds of the wall clock.
std::optional<std::uint64_t> bootSeconds() {
    const auto text = readSmall("/proc/stat");
    if (!text) return std::nullopt;
    const auto at = text->find("\nbtime ");
    if (at == std::string::npos) return std::nullopt;
    const auto begin = at + 7;
    return number(std::string_view(*text).substr(begin, text->find('\n', begin) - begin));
}

// /proc/PID/stat: "PID (COMM) S PPID ..."; the command may hold spaces and parentheses, so the
// fields are counted from the last ')'. Field 22 is the start time in clock ticks since boot.
std::optional<std::uint64_t> startTicks(std::int32_t pid) {
    const auto text = readSmall("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    const auto close = text->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*text).substr(close + 1);
    for (int field = 3; field <= 22; ++field) {
        const auto begin = rest.find_first_not_of(' ');
        if (begin == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(begin);
        const auto end = rest.find(' ');
        if (field == 22) return number(rest.substr(0, end));
        if (end == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

// The pidfd refers to the process itself, not its number: it becomes readable when that process
// exits, and its number cannot go to another process before then.
class PidfdPin final : public ProcessPin {
public:
    explicit PidfdPin(Fd pidfd) : pidfd_(std::move(pidfd)) {}
    bool stillThere() override {
        pollfd p{pidfd_.get(), POLLIN, 0};
        int rc;
        do rc = ::poll(&p, 1, 0);
        while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

private:
    Fd pidfd_;
};

class ProcProcesses final : public ProcessControl {
public:
    std::unique_ptr<ProcessPin> pin(std::int32_t pid) override {
        Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
        if (!pidfd) return nullptr;
        return std::make_unique<PidfdPin>(std::move(pidfd));
    }

    std::optional<std::uint64_t> startUsec(std::int32_t pid) override {
        const auto ticks = startTicks(pid);
        const auto boot = bootSeconds();
        if (!ticks || !boot) return std::nullopt;
        const auto tck = static_cast<std::uint64_t>(ticksPerSecond());
        return (*boot + *ticks / tck) * 1'000'000 + (*ticks % tck) * (1'000'000 / tck);
    }

    std::optional<int> nice(std::int32_t pid) override {
        errno = 0;
        const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
        if (value == -1 && errno != 0) return std::nullopt;
        return value;
    }

    std::optional<int> background(std::int32_t pid) override {
        const long value = ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, static_cast<pid_t>(pid));
        if (value < 0) return std::nullopt;
        return static_cast<int>(value);
    }

    std::uint64_t startGranularityUsec() const override {
        return 1'000'000 / static_cast<std::uint64_t>(ticksPerSecond());
    }

private:
    static long ticksPerSecond() {
        static const long tck = [] {
            const long t = ::sysconf(_SC_CLK_TCK);
            return t > 0 && t <= 1'000'000 ? t : 100;
        }();
        return tck;
    }
};

}  // namespace

System thisSystem() { return System::Linux; }

std::unique_ptr<ProcessControl> liveProcesses() { return std::make_unique<ProcProcesses>(); }

}  // namespace zelk::helper::sys
