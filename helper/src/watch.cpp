// The self-replacement check: one stat of the executable per connection and per watch cycle,
// compared exactly with the value taken at start-up; nothing is cached between checks.
#include "watch.hpp"

#include "platform/helper_system.hpp"

namespace zelk::helper {

std::optional<double> selfMtime(const std::string& path) {
    if (path.empty()) return std::nullopt;
    const auto t = sys::modificationTime(path);
    if (!t) return std::nullopt;
    return static_cast<double>(t->nanoseconds) / 1000000000.0 + static_cast<double>(t->seconds);
}

SelfWatch::SelfWatch(std::string selfPath) : selfPath_(std::move(selfPath)), launchMtime_(selfMtime(selfPath_)) {}

bool SelfWatch::isStale() const {
    if (!launchMtime_ || selfPath_.empty()) return false;
    const auto now = selfMtime(selfPath_);
    if (!now) return false;
    return *now != *launchMtime_;
}

}  // namespace zelk::helper
