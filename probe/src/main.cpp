// vintrel: prints whether the microphone is in use, and by which processes, as JSON lines.
// The process services here are POSIX; the audio HAL is the platform's (see platform/).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "cli.hpp"

namespace zelk::probe {
namespace {

class PosixHost final : public ProcessHost {
public:
    void put(std::string_view line) override { std::fwrite(line.data(), 1, line.size(), stdout); }

    bool putAndFlush(std::string_view line) override {
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) return false;
        return std::fflush(stdout) == 0;
    }

    std::int32_t parentId() override { return static_cast<std::int32_t>(::getppid()); }

    void ignoreBrokenPipe() override { ::signal(SIGPIPE, SIG_IGN); }

    // In slices of a day, so any interval fits a timespec; an infinite one never ends.
    void sleepFor(double seconds) override {
        while (seconds > 0) {
            const double slice = std::min(seconds, 86400.0);
            timespec left{};
            left.tv_sec = static_cast<std::time_t>(slice);
            left.tv_nsec = static_cast<long>((slice - std::floor(slice)) * 1e9);
            while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
            seconds -= slice;
        }
    }
};

}  // namespace
}  // namespace zelk::probe

int main(int argc, char** argv) {
    try {
        zelk::probe::PosixHost host;
        return zelk::probe::runProbe(zelk::probe::Args(argv, argv + argc), zelk::probe::liveAudioHal(), host);
    } catch (...) {
        return 0;  // the probe reports nothing but its lines, and always exits with status 0
    }
}
