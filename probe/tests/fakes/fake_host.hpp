// A process host for tests: keeps the lines written and the calls made, in order, and lets a
// test change the world (parent id, failing writes, the HAL) at each sleep.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"

namespace zelk::probe::testing {

class FakeHost final : public ProcessHost {
public:
    std::vector<std::string> events;  // "put <line>", "flush <line>", "ignore-pipe", "sleep <s>"
    std::vector<std::string> lines;   // every line written, with its line feed
    std::int32_t parent = 4242;
    int writes_before_failure = -1;   // negative: writes never fail
    std::function<void(FakeHost&)> on_sleep;
    int sleeps = 0;

    void put(std::string_view line) override {
        events.push_back("put");
        lines.emplace_back(line);
    }
    bool putAndFlush(std::string_view line) override {
        if (writes_before_failure == 0) {
            events.push_back("write-fails");
            return false;
        }
        if (writes_before_failure > 0) --writes_before_failure;
        events.push_back("flush");
        lines.emplace_back(line);
        return true;
    }
    std::int32_t parentId() override { return parent; }
    void ignoreBrokenPipe() override { events.push_back("ignore-pipe"); }
    void sleepFor(double seconds) override {
        events.push_back("sleep " + std::to_string(seconds));
        ++sleeps;
        if (on_sleep) on_sleep(*this);
        // A loop that never ends is a failed test, not a hung one.
        if (sleeps > 100) writes_before_failure = 0;
    }
};

}  // namespace zelk::probe::testing
