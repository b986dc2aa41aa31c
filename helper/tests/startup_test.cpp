// The pieces of start-up that are plain rules: the socket path from the command line, paths we
// refuse to bind, the executable to watch and its modification time, and audit line text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "audit.hpp"
#include "server.hpp"
#include "watch.hpp"

namespace zelk::helper {
namespace {

const std::string DEFAULT = "/var/run/app.morvitan.zelk.helper.sock";

TEST(CommandLine, SocketHelpVersionAndUsage) {
    using A = CommandLine::Action;
    struct Case {
        std::vector<std::string> args;
        A action;
        std::string path;
    };
    const std::vector<Case> cases = {
        {{"zelk-helper"}, A::Serve, DEFAULT},
        {{"zelk-helper", "--socket", "/tmp/a.sock"}, A::Serve, "/tmp/a.sock"},
        {{"zelk-helper", "--socket", "/tmp/a.sock", "--socket", "/tmp/b.sock"}, A::Serve, "/tmp/a.sock"},
        {{"zelk-helper", "--socket"}, A::Usage, DEFAULT},
        {{"zelk-helper", "-v", "--socket", "rel.sock"}, A::Usage, "rel.sock"},
        {{"zelk-helper", "--socket", "rel.sock", "extra"}, A::Usage, "rel.sock"},
        {{"--socket", "/tmp/first"}, A::Usage, DEFAULT},  // the program name is not an option
        {{"zelk-helper", "--bogus", "--help"}, A::Help, DEFAULT},
        {{"zelk-helper", "--version", "--socket"}, A::Version, DEFAULT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto cli = parseCommandLine(c.args);
        EXPECT_EQ(cli.action, c.action);
        EXPECT_EQ(cli.socketPath, c.path);
        if (c.action == A::Usage) {
            EXPECT_FALSE(cli.problem.empty());
        }
    }
}

TEST(SocketPath, EmptyAndOverlongPathsAreRefused) {
    EXPECT_TRUE(socketPathProblem(""));
    EXPECT_FALSE(socketPathProblem("/"));
    EXPECT_FALSE(socketPathProblem(DEFAULT));
    EXPECT_FALSE(socketPathProblem(std::string(103, 'a')));
    EXPECT_EQ(socketPathProblem(std::string(104, 'a')), "refused socket path of 104 bytes (at most 103)");
}

TEST(AcceptPause, OnlyForLackOfResources) {
    for (const int e : {EMFILE, ENFILE, ENOBUFS, ENOMEM}) EXPECT_TRUE(acceptShouldPause(e)) << e;
    for (const int e : {0, EINTR, ECONNABORTED, EAGAIN, EPROTO, EPERM}) EXPECT_FALSE(acceptShouldPause(e)) << e;
}

TEST(SelfPath, ReportedThenProgramNameThenNothing) {
    const auto resolve = [](const std::string& p) { return "/resolved/" + p; };
    EXPECT_EQ(chooseSelfPath(std::string("/opt/zelk-helper"), {"x"}, resolve), "/opt/zelk-helper");
    EXPECT_EQ(chooseSelfPath(std::string(""), {"x"}, resolve), "");  // reported, but not watchable
    EXPECT_EQ(chooseSelfPath(std::nullopt, {"bin/helper", "--socket"}, resolve), "/resolved/bin/helper");
    EXPECT_EQ(chooseSelfPath(std::nullopt, {}, resolve), "");
    EXPECT_EQ(chooseSelfPath(std::nullopt, {""}, resolve), "");
}

class SelfWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelk-watch-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/zelk-helper";
        std::ofstream(file_) << "binary";
        setTime(1'700'000'000, 250'000'000);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void setTime(long sec, long nsec) {
        const timespec times[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
    }

    std::string dir_;
    std::string file_;
};

TEST_F(SelfWatchTest, ModificationTimeInSeconds) {
    EXPECT_EQ(selfMtime(file_), 1'700'000'000.25);
    EXPECT_EQ(selfMtime(""), std::nullopt);
    EXPECT_EQ(selfMtime(dir_ + "/missing"), std::nullopt);
}

TEST_F(SelfWatchTest, AnyChangeOfTimeIsAReplacement) {
    const SelfWatch watch(file_);
    EXPECT_FALSE(watch.isStale());
    setTime(1'700'000'000, 250'001'000);  // one microsecond later
    EXPECT_TRUE(watch.isStale());
    setTime(1'700'000'000, 250'000'000);
    EXPECT_FALSE(watch.isStale());
    setTime(1'600'000'000, 0);  // set back
    EXPECT_TRUE(watch.isStale());
}

TEST_F(SelfWatchTest, ReplacedByAnotherFile) {
    const SelfWatch watch(file_);
    const std::string fresh = dir_ + "/new";
    std::ofstream(fresh) << "new binary";
    std::filesystem::rename(fresh, file_);
    EXPECT_TRUE(watch.isStale());
}

TEST_F(SelfWatchTest, DeletedOrUnknownNeverEnds) {
    const SelfWatch watch(file_);
    std::filesystem::remove(file_);
    EXPECT_FALSE(watch.isStale());

    // No time at start-up: the watch stays off whatever appears later.
    const SelfWatch blind(file_);
    EXPECT_EQ(blind.launchMtime(), std::nullopt);
    std::ofstream(file_) << "binary";
    EXPECT_FALSE(blind.isStale());

    const SelfWatch none("");
    EXPECT_FALSE(none.isStale());
}

TEST(Audit, LineIsPrefixMessageLineFeed) {
    EXPECT_EQ(auditLine("listening on /x for console uid 0"), "zelk-helper: listening on /x for console uid 0\n");
    EXPECT_EQ(auditLine(""), "zelk-helper: \n");
}

TEST(Audit, RequestTextKeepsOnlyPrintableAscii) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"PING", "PING"},
        {"", ""},
        {"a\nb", "a\\x0ab"},
        {"\r\t", "\\x0d\\x09"},
        {std::string("\0", 1), "\\x00"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"\x1b[31m", "\\x1b[31m"},
        {"caf\xc3\xa9 \xe2\x80\xa8", "caf\\xc3\\xa9 \\xe2\\x80\\xa8"},  // every byte beyond ASCII
        {"back\\slash \"quoted\" ~", "back\\\\slash \\x22quoted\\x22 ~"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(escapeRequestText(c.in), c.out);
    }
}

}  // namespace
}  // namespace zelk::helper
