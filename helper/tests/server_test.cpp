// The server in this process on a real socket in a temporary folder, with a recording tool
// runner and a console user the test sets: start-up, ownership following the console user from
// the accept loop and from the watch thread (running at once), and the end on replacement.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "fakes/recording_runner.hpp"
#include "server.hpp"
#include "support/socket_client.hpp"

namespace zelk::helper {
namespace {

using testing::ClientSocket;
using testing::RecordingRunner;
using testing::TempDir;

class ServerTest : public ::testing::Test {
protected:
    std::unique_ptr<Server> makeServer(const std::string& path, SelfWatch watch = SelfWatch("", std::nullopt)) {
        ServerHooks hooks{tools_};
        hooks.audit = [this](const std::string& m) {
            std::lock_guard lock(auditMutex_);
            audits_.push_back(m);
        };
        hooks.consoleUid = [this] { return console_.load(); };
        hooks.terminate = [this](int status) { exitStatus_ = status; };
        hooks.recvTimeout = std::chrono::milliseconds(500);
        return std::make_unique<Server>(path, std::move(watch), std::move(hooks));
    }
    std::vector<std::string> audits() {
        std::lock_guard lock(auditMutex_);
        return audits_;
    }
    std::size_t count(const std::string& line) {
        const auto all = audits();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }
    // Connects and sends before the server accepts: the kernel queues both.
    std::string pingThrough(Server& server) {
        ClientSocket client(server.sockPath());
        EXPECT_TRUE(client.connected());
        client.write("{\"verb\":\"ping\"}\n");
        server.serveOne();
        return client.readAll().value_or("<read failed>");
    }

    TempDir dir_;
    RecordingRunner tools_;
    std::atomic<std::uint32_t> console_{0};
    std::atomic<int> exitStatus_{-1};
    std::mutex auditMutex_;
    std::vector<std::string> audits_;
};

TEST_F(ServerTest, StartsOwnedByTheConsoleUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket file to another uid needs root";
    console_ = 4321;
    const std::string path = dir_ / "helper.sock";
    auto server = makeServer(path);
    ASSERT_EQ(server->start(), 0);
    EXPECT_EQ(audits(), std::vector<std::string>{"listening on " + path + " for console uid 4321"});
    const auto st = testing::statOf(path);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISSOCK(st->st_mode));
    EXPECT_EQ(st->st_mode & 07777, 0600u);
    EXPECT_EQ(st->st_uid, 4321u);
    EXPECT_EQ(st->st_gid, 0u);
    EXPECT_EQ(pingThrough(*server), "{\"ok\":true}\n");
}

TEST_F(ServerTest, SetupFailuresAreExitStatusOne) {
    const std::string path = dir_ / "missing-folder/helper.sock";
    EXPECT_EQ(makeServer(path)->start(), 1);
    // macOS checks the folder before it binds.
    EXPECT_EQ(audits(), std::vector<std::string>{sys::socketFolderProblem(path).value_or("bind() failed errno=" + std::to_string(ENOENT))});
    // The length limit holds for the path resolved, as bound.
    const std::string longFolder = dir_ / std::string(80, 'f');
    ASSERT_TRUE(::mkdir(longFolder.c_str(), 0700) == 0 && ::symlink(longFolder.c_str(), (dir_ / "l").c_str()) == 0);
    EXPECT_EQ(makeServer(dir_ / "l/helper.sock")->start(), 1);
    const auto bytes = (std::filesystem::canonical(longFolder) / "helper.sock").string().size();
    EXPECT_EQ(audits().back(), "refused socket path of " + std::to_string(bytes) + " bytes (at most 103)");
}

// Records (on macOS the socket too) are kept only in a folder that root alone may change; group
// write counts as root's for the groups root (0) and daemon (1) alone.
TEST_F(ServerTest, RootsFolderMayBeGroupWritableByDaemon) {
    if (::geteuid() != 0) GTEST_SKIP() << "making folders of root's with other groups needs root";
    const std::tuple<std::string, mode_t, gid_t> folders[] = {{"daemon", 0775, 1}, {"group", 0775, 20}, {"others", 0757, 0}};
    for (const auto& [name, mode, group] : folders) {
        const std::string folder = dir_ / name;
        ASSERT_TRUE(::mkdir(folder.c_str(), 0) == 0 && ::chown(folder.c_str(), 0, group) == 0 && ::chmod(folder.c_str(), mode) == 0);
        makeServer(folder + "/helper.sock")->start();
        const auto lines = audits();
        const std::string refusal = "/" + name + " is not root's alone";
        EXPECT_EQ(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find(refusal) != l.npos; }), name != "daemon");
    }
}

TEST_F(ServerTest, AcceptLoopReownsSilently) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket file to another uid needs root";
    const std::string path = dir_ / "helper.sock";
    auto server = makeServer(path);
    ASSERT_EQ(server->start(), 0);
    console_ = 1000;
    EXPECT_EQ(pingThrough(*server), "{\"ok\":true}\n");
    EXPECT_EQ(server->sockOwner(), 1000u);
    EXPECT_EQ(testing::statOf(path)->st_uid, 1000u);
    // The watch thread then sees no change and writes nothing.
    EXPECT_TRUE(server->watchCycle());
    EXPECT_EQ(audits().size(), 1u);
    EXPECT_EQ(testing::statOf(path)->st_mode & 07777, 0600u);
}

TEST_F(ServerTest, WatchThreadReownsWithOneLine) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket file to another uid needs root";
    const std::string path = dir_ / "helper.sock";
    auto server = makeServer(path);
    ASSERT_EQ(server->start(), 0);
    WatchStop stop;
    std::thread watch([&] { server->watchLoop(std::chrono::milliseconds(5), stop); });
    console_ = 501;
    const std::string line = "console user changed 0 -> 501; socket re-owned";
    for (int i = 0; i < 400 && count(line) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // several more cycles
    stop.request();
    watch.join();
    EXPECT_EQ(count(line), 1u);
    EXPECT_EQ(audits().size(), 2u);
    EXPECT_EQ(testing::statOf(path)->st_uid, 501u);
}

// The accept loop and the watch thread follow a console user that keeps changing, at once;
// when it settles, the file, sockOwner and the last line agree. (Run under ThreadSanitizer.)
TEST_F(ServerTest, AcceptLoopAndWatchThreadShareTheOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket file to another uid needs root";
    const std::string path = dir_ / "helper.sock";
    auto server = makeServer(path);
    ASSERT_EQ(server->start(), 0);
    WatchStop stop;
    std::thread watch([&] { server->watchLoop(std::chrono::milliseconds(1), stop); });
    // No ASSERT while the thread runs: returning would leave it joinable.
    for (std::uint32_t i = 0; i < 200; ++i) {
        console_ = 1000 + i % 3;
        const std::string reply = pingThrough(*server);
        EXPECT_EQ(reply, "{\"ok\":true}\n");
        if (reply != "{\"ok\":true}\n") break;
    }
    console_ = 2000;
    for (int i = 0; i < 400 && server->sockOwner() != 2000u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.request();
    watch.join();
    EXPECT_EQ(server->sockOwner(), 2000u);
    EXPECT_EQ(testing::statOf(path)->st_uid, 2000u);
    for (const auto& line : audits()) {
        if (line.rfind("console user changed", 0) != 0) continue;
        EXPECT_TRUE(line.ends_with("; socket re-owned")) << line;
    }
}

TEST_F(ServerTest, ReplacedExecutableEndsTheHelper) {
    if (const auto refused = sys::socketFolderProblem(dir_ / "helper.sock")) GTEST_SKIP() << *refused;
    const std::string exe = dir_ / "zelk-helper";
    std::ofstream(exe) << "binary";
    const timespec old[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, exe.c_str(), old, 0), 0);
    const std::string path = dir_ / "helper.sock";

    // From the watch thread's cycle.
    {
        auto server = makeServer(path, SelfWatch(exe));
        ASSERT_EQ(server->start(), 0);
        EXPECT_TRUE(server->watchCycle());
        ::utimensat(AT_FDCWD, exe.c_str(), nullptr, 0);  // touch
        EXPECT_FALSE(server->watchCycle());
        EXPECT_EQ(exitStatus_.load(), 0);
        EXPECT_EQ(audits().back(), std::string(REPLACED_MESSAGE));
        EXPECT_FALSE(testing::statOf(path));
    }
    // From the start of a connection, which then gets no reply.
    exitStatus_ = -1;
    {
        auto server = makeServer(path, SelfWatch(exe));
        ASSERT_EQ(server->start(), 0);
        ASSERT_EQ(::utimensat(AT_FDCWD, exe.c_str(), old, 0), 0);
        ClientSocket client(path);
        client.write("{\"verb\":\"ping\"}");
        server->serveOne();
        EXPECT_EQ(client.readAll(), "");
        EXPECT_EQ(exitStatus_.load(), 0);
        EXPECT_EQ(audits().back(), std::string(REPLACED_MESSAGE));
        EXPECT_FALSE(testing::statOf(path));
    }
}

TEST_F(ServerTest, SilentPeerIsDroppedAfterTheReceiveTimeout) {
    if (const auto refused = sys::socketFolderProblem(dir_ / "helper.sock")) GTEST_SKIP() << *refused;
    console_ = ::geteuid();  // this process, the peer, may send (root or not): its request is awaited
    auto server = makeServer(dir_ / "helper.sock");
    ASSERT_EQ(server->start(), 0);
    // As root the start writes one line; more where it could not re-own the file or keep records.
    const auto startLines = audits().size();
    ClientSocket silent(server->sockPath());
    const auto begin = std::chrono::steady_clock::now();
    server->serveOne();
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(400));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(silent.readAll(), "");
    EXPECT_EQ(audits().size(), startLines);  // a silent peer leaves no line
}

}  // namespace
}  // namespace zelk::helper
