// A scripted connection for the request handler: the peer's uid, what each read returns, and a
// record of every read, send and close.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "protocol.hpp"

namespace zelk::helper::testing {

class FakeConnection final : public Connection {
public:
    FakeConnection() = default;
    explicit FakeConnection(std::vector<std::string> reads) : chunks(std::move(reads)) {}

    std::optional<std::uint32_t> uid = 0;  // nullopt: credentials unreadable
    std::vector<std::string> chunks;       // one per read; past the last one a read gives 0

    int peerChecks = 0;
    int reads = 0;
    std::string sent;
    int sends = 0;
    int closes = 0;

    std::optional<std::uint32_t> peerUid() override {
        ++peerChecks;
        return uid;
    }
    std::ptrdiff_t read(std::span<char> buffer) override {
        const auto i = static_cast<std::size_t>(reads++);
        if (i >= chunks.size()) return 0;
        const std::size_t n = std::min(chunks[i].size(), buffer.size());
        if (n > 0) std::memcpy(buffer.data(), chunks[i].data(), n);
        return static_cast<std::ptrdiff_t>(n);
    }
    void send(std::string_view bytes) override {
        ++sends;
        sent.append(bytes);
    }
    void close() override { ++closes; }
};

}  // namespace zelk::helper::testing
