// A recorded route source: scripted index lookups and query answers, and a log of the calls.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/routes.hpp"

namespace zelk::testing {

class FakeRoutes final : public RouteSource {
public:
    struct DataAnswer {
        int err = 0;
        std::vector<std::uint8_t> reply;  // copied into the buffer (cut to its size)
        std::size_t returned = SIZE_MAX;  // SIZE_MAX: the reply's length
    };

    std::deque<std::uint32_t> indexes;  // one per name_to_index call; the last one repeats
    int size_err = 0;
    std::size_t size_needed = 256;
    std::deque<DataAnswer> answers;  // one per data query; the last one repeats

    int size_queries = 0;
    int data_queries = 0;
    std::vector<std::string> names_asked;
    std::vector<std::size_t> buffer_sizes;

    std::uint32_t name_to_index(const char* name) override {
        names_asked.emplace_back(name);
        const auto v = indexes.front();
        if (indexes.size() > 1) indexes.pop_front();
        return v;
    }
    int size_query(std::uint32_t, std::size_t& needed) override {
        ++size_queries;
        needed = size_needed;
        return size_err;
    }
    int data_query(std::uint32_t, std::span<std::uint8_t> buffer, std::size_t& returned) override {
        ++data_queries;
        buffer_sizes.push_back(buffer.size());
        const DataAnswer a = answers.front();
        if (answers.size() > 1) answers.pop_front();
        if (a.err != 0) return a.err;
        const std::size_t n = std::min(a.reply.size(), buffer.size());
        if (n) std::memcpy(buffer.data(), a.reply.data(), n);
        returned = a.returned == SIZE_MAX ? a.reply.size() : a.returned;
        return 0;
    }
};

// One routing message of `length` bytes (at least 4) with the given type and index field.
inline std::vector<std::uint8_t> route_message(std::size_t length, std::uint8_t type, std::uint16_t index,
                                               std::uint64_t rx = 0, std::uint64_t tx = 0) {
    std::vector<std::uint8_t> m(length, 0);
    m[0] = static_cast<std::uint8_t>(length & 0xFF);
    m[1] = static_cast<std::uint8_t>(length >> 8);
    m[2] = 5;
    m[3] = type;
    if (length >= 14) {
        m[12] = static_cast<std::uint8_t>(index & 0xFF);
        m[13] = static_cast<std::uint8_t>(index >> 8);
    }
    for (int i = 0; i < 8 && length >= 112; ++i) {
        m[96 + i] = static_cast<std::uint8_t>(rx >> (8 * i));
        m[104 + i] = static_cast<std::uint8_t>(tx >> (8 * i));
    }
    return m;
}

inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace zelk::testing
