// Load on the real zelk-helper: 50 clients at once, 2,000 requests of every kind (valid,
// malformed, oversized, refused, and connections closed at once); every reply is the right one,
// the helper stays up and holds no more descriptors than before. Then the rate of pings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/daemon.hpp"
#include "support/socket_client.hpp"

namespace zelk::helper {
namespace {

using testing::ClientSocket;
using testing::Daemon;
using testing::TempDir;

constexpr int CLIENTS = 50;
constexpr int REQUESTS = 2000;

struct Kind {
    std::string request;  // empty: connect and close at once
    std::string reply;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        {"{\"verb\":\"ping\"}\n", "{\"ok\":true}\n"},
        {"{\"verb\":", "{\"ok\":false,\"err\":\"bad-request\"}\n"},
        {"{\"verb\":\"ping\",\"pad\":\"" + std::string(600, 'x') + "\"}", "{\"ok\":false,\"err\":\"bad-request\"}\n"},
        {"{\"verb\":\"restore\",\"pid\":\"abc\"}", "{\"ok\":false,\"err\":\"bad-pid\"}\n"},
        {"{\"verb\":\"PING\"}", "{\"ok\":false,\"err\":\"bad-verb\"}\n"},
        {"", ""},
        {std::string("\x00\x01garbage", 9), "{\"ok\":false,\"err\":\"bad-request\"}\n"},
    };
    return all;
}

// Runs `perClient` exchanges on each of CLIENTS threads; returns the wall time taken.
template <class Body>
std::chrono::duration<double> runClients(int perClient, Body&& body) {
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < CLIENTS; ++c)
        threads.emplace_back([&, c] {
            for (int i = 0; i < perClient; ++i) body(c * perClient + i);
        });
    for (auto& t : threads) t.join();
    return std::chrono::steady_clock::now() - begin;
}

TEST(HelperLoad, ConcurrentClientsGetTheirReplies) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    TempDir dir;
    const std::string sock = dir / "helper.sock";
    Daemon d(ZELK_HELPER_BIN, {"--socket", sock}, dir / "stderr.txt");
    ASSERT_TRUE(d.waitFor("listening on")) << d.stderrText();
    // Counted as at the end: with the helper serving, after a completed request.
    ASSERT_EQ(testing::roundTrip(sock, "{\"verb\":\"ping\"}"), "{\"ok\":true}\n");
    const int descriptors = d.openDescriptors();
    ASSERT_GT(descriptors, 0);

    std::atomic<int> wrong{0};
    std::mutex m;
    std::string firstWrong;
    runClients(REQUESTS / CLIENTS, [&](int n) {
        const Kind& k = kinds()[static_cast<std::size_t>(n) % kinds().size()];
        ClientSocket c(sock);
        std::string got;
        if (!c.connected())
            got = "<no connection>";
        else if (k.request.empty())
            return;  // connect and close
        else if (!c.write(k.request))
            got = "<write failed>";
        else
            got = c.readAll().value_or("<read failed>");
        if (got != k.reply && ++wrong == 1) {
            std::lock_guard lock(m);
            firstWrong = "request " + k.request.substr(0, 40) + " got " + got;
        }
    });
    EXPECT_EQ(wrong.load(), 0) << firstWrong;

    // Still serving, and every connection's descriptor is closed again.
    EXPECT_FALSE(d.waitExit(std::chrono::milliseconds(0)));
    EXPECT_EQ(testing::roundTrip(sock, "{\"verb\":\"ping\"}"), "{\"ok\":true}\n");
    for (int i = 0; i < 200 && d.openDescriptors() != descriptors; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(d.openDescriptors(), descriptors);

    // The ping rate with 50 clients at once.
    std::atomic<int> pings{0};
    const auto took = runClients(REQUESTS / CLIENTS, [&](int) {
        if (testing::roundTrip(sock, "{\"verb\":\"ping\"}") == "{\"ok\":true}\n") ++pings;
    });
    EXPECT_EQ(pings.load(), REQUESTS);
    const double rate = REQUESTS / took.count();
    std::printf("ping: %d requests from %d clients in %.3f s = %.0f requests/s\n", REQUESTS, CLIENTS, took.count(), rate);
    ::testing::Test::RecordProperty("ping_requests_per_second", static_cast<int>(rate));
}

}  // namespace
}  // namespace zelk::helper
