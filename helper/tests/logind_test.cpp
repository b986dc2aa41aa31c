// The console user from logind's state files: the active session of seat0 counts only when it
// is a user's session; anything unusable falls back to the owner of /dev/console.
#include <gtest/gtest.h>

#include <map>

#include "platform/linux/logind.hpp"

namespace zelk::helper::sys {
namespace {

TEST(Logind, KeyValueLines) {
    const std::string text = "# This is private data. Do not parse.\nACTIVE=c2\nACTIVE_UID=1000\nACTIVE=3\nX==y\nEMPTY=\n";
    EXPECT_EQ(keyValue(text, "ACTIVE"), "3");
    EXPECT_EQ(keyValue(text, "ACTIVE_UID"), "1000");
    EXPECT_EQ(keyValue(text, "X"), "=y");
    EXPECT_EQ(keyValue(text, "EMPTY"), "");
    EXPECT_EQ(keyValue(text, "ACT"), std::nullopt);
    EXPECT_EQ(keyValue("", "ACTIVE"), std::nullopt);
}

TEST(Logind, ActiveSeatUser) {
    const std::map<std::string, std::string> sessions = {
        {"2", "UID=1000\nCLASS=user\n"},
        {"c1", "UID=990\nCLASS=greeter\n"},
        {"7", "UID=1001\nCLASS=user\n"},
    };
    const auto reader = [&](const std::string& id) -> std::optional<std::string> {
        const auto it = sessions.find(id);
        if (it == sessions.end()) return std::nullopt;
        return it->second;
    };
    struct Case {
        std::string seat;
        std::optional<std::uint32_t> uid;
    };
    const std::vector<Case> cases = {
        {"IS_SEAT0=1\nACTIVE=2\nACTIVE_UID=1000\n", 1000u},
        {"ACTIVE=c1\nACTIVE_UID=990\n", 0u},        // the login screen: nobody
        {"ACTIVE=7\n", 1001u},                      // uid from the session when the seat lacks it
        {"IS_SEAT0=1\n", std::nullopt},             // no active session
        {"ACTIVE=9\nACTIVE_UID=5\n", std::nullopt}, // session file missing
        {"ACTIVE=../../etc/passwd\n", std::nullopt},
        {"ACTIVE=2\nACTIVE_UID=-1\n", std::nullopt},
        {"ACTIVE=2\nACTIVE_UID=4294967295\n", std::nullopt},
        {"ACTIVE=2\nACTIVE_UID=10x\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seat);
        EXPECT_EQ(activeSeatUid(c.seat, reader), c.uid);
    }
}

}  // namespace
}  // namespace zelk::helper::sys
