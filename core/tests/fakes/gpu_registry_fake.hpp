// A recorded GPU registry: accelerators with their children and statistics as typed values,
// and a log of every property the walk asked for.
#pragma once

#include <string>
#include <vector>

#include "platform/gpu_registry.hpp"

namespace zelk::testing {

struct FakeChild {
    bool conforms = true;
    std::uint64_t id = 0;
    RegistryValue creator;
    RegistryValue app_usage;
};

struct FakeAccelerator {
    bool listing_fails = false;
    std::vector<FakeChild> children;
    RegistryValue statistics;
};

inline RegistryValue text(std::string s) { return RegistryValue::make_text(std::move(s)); }
inline RegistryValue integer(std::int64_t n) { return RegistryValue::make_integer(n); }
inline RegistryValue floating() { return RegistryValue::of_kind(RegistryValue::Kind::floating); }
inline RegistryValue other() { return RegistryValue::of_kind(RegistryValue::Kind::other); }
inline RegistryValue array(std::vector<RegistryValue> items) { return RegistryValue::make_array(std::move(items)); }
inline RegistryValue dict(std::vector<RegistryEntry> entries) {
    return RegistryValue::make_dictionary(std::move(entries));
}
// One AppUsage entry carrying only an accumulatedGPUTime value.
inline RegistryValue usage(RegistryValue time) { return dict({{kGpuTimeKey, std::move(time)}}); }

class FakeGpuRegistry final : public GpuRegistry {
public:
    bool matching_fails = false;
    std::vector<FakeAccelerator> accelerators_;

    // "a<i> children", "a<i>c<j> class|id|creator|app_usage", "a<i> statistics", in call order.
    std::vector<std::string> log;
    int lists_made = 0;
    int lists_released = 0;

    std::unique_ptr<AcceleratorList> accelerators(GpuQuery) override {
        if (matching_fails) return nullptr;
        ++lists_made;
        return std::make_unique<List>(*this);
    }

    // The log entries that read a property of one child.
    std::vector<std::string> reads_of(std::size_t a, std::size_t c) const {
        const std::string prefix = "a" + std::to_string(a) + "c" + std::to_string(c) + " ";
        std::vector<std::string> out;
        for (const auto& e : log)
            if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
        return out;
    }

private:
    class Child final : public RegistryChild {
    public:
        Child(FakeGpuRegistry& r, const FakeChild& c, std::string name) : r_(r), c_(c), name_(std::move(name)) {}
        bool conforms_to_user_client() override {
            r_.log.push_back(name_ + " class");
            return c_.conforms;
        }
        std::uint64_t registry_id() override {
            r_.log.push_back(name_ + " id");
            return c_.id;
        }
        RegistryValue creator() override {
            r_.log.push_back(name_ + " creator");
            return c_.creator;
        }
        RegistryValue app_usage() override {
            r_.log.push_back(name_ + " app_usage");
            return c_.app_usage;
        }

    private:
        FakeGpuRegistry& r_;
        const FakeChild& c_;
        std::string name_;
    };

    class List final : public AcceleratorList {
    public:
        explicit List(FakeGpuRegistry& r) : r_(r) {}
        ~List() override { ++r_.lists_released; }
        std::size_t size() override { return r_.accelerators_.size(); }
        bool for_each_child(std::size_t index, const std::function<void(RegistryChild&)>& visit) override {
            r_.log.push_back("a" + std::to_string(index) + " children");
            const auto& a = r_.accelerators_.at(index);
            if (a.listing_fails) return false;
            for (std::size_t j = 0; j < a.children.size(); ++j) {
                Child child(r_, a.children[j], "a" + std::to_string(index) + "c" + std::to_string(j));
                visit(child);
            }
            return true;
        }
        RegistryValue performance_statistics(std::size_t index) override {
            r_.log.push_back("a" + std::to_string(index) + " statistics");
            return r_.accelerators_.at(index).statistics;
        }

    private:
        FakeGpuRegistry& r_;
    };
};

}  // namespace zelk::testing
