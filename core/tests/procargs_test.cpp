// Command texts and agent sessions: the visible form, the session scan and the argument area,
// each case written out byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lib.hpp"
#include "procargs.hpp"

namespace zelk {
namespace {

using namespace std::string_literals;

TEST(VisibleForm, RendersEveryByteClass) {
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"plain /path with space", "plain /path with space"},
        {"t\tn\nb\\", "t\\011n\\012b\\"},
        {"x\x01y\x7f\x1b", "x^Ay^?^["},
        {"caf\xc3\xa9", "cafM-CM-)"},
        {"\xc2\xa0\xff\x80\x9f", "M-B\\240M^?M^@M^_"},
        {"", ""},
        {"\0"s, "^@"},
        {"\x1f^", "^_^"},
        {"\x89\x8a\xe1", "M^IM^JM-a"},  // high tab and line feed take the meta form, not octal
        {"\xfe~ ", "M-~~ "},
        {"ok\x7f", "ok^?"},  // printable run, then the odd byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(to_visible(c.in), c.want);
        std::string appended = "keep|";
        push_visible(appended, c.in);
        EXPECT_EQ(appended, "keep|" + c.want);
    }
}

TEST(FallbackCommand, NameUpToTheFirstNul) {
    auto comm = [](std::string_view name) {
        std::array<char, 16> c{};
        std::memcpy(c.data(), name.data(), name.size());
        return c;
    };
    struct Case {
        std::array<char, 16> comm;
        std::string want;
    };
    const Case cases[] = {
        {comm(""), "()"},
        {comm("launchd"), "(launchd)"},
        {comm("abcdefghijklmnop"), "(abcdefghijklmnop)"},  // 16 bytes, no NUL at all
        {comm("a\x01\xc3"), "(a^AM-C)"},
        {comm("ab\0cd"s), "(ab)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(fallback_command(c.comm), c.want);
    }
}

constexpr std::string_view kId = "0f0e0d0c-0b0a-0908-0706-050403020100";

TEST(SessionScan, FirstAcceptableValueInListOrder) {
    struct Case {
        const char* name;
        std::vector<std::string_view> strings;
        std::optional<std::string_view> want;
    };
    const std::string_view key = "CLAUDE_CODE_SESSION_ID=";
    const std::string keyed = std::string(key) + std::string(kId);
    const std::string hyphens = std::string(key) + std::string(36, '-');
    const std::string trailing = keyed + "trailing text";
    const std::string mid = "env: " + keyed;
    const std::string short_value = std::string(key) + std::string(kId.substr(0, 35));
    const std::string bad_then_short = std::string(key) + "zz " + short_value;
    const std::string upper = std::string(key) + "ABCDEF01-2345-6789-ABCD-EF0123456789";
    const Case cases[] = {
        {"after an argument", {"/usr/bin/node", keyed}, kId},
        {"split across two strings", {"CLAUDE_CODE_SESSION_ID=0f0e", "0d0c-0b0a-0908-0706-050403020100xxxxxxxx"}, {}},
        {"scan goes on after a rejected occurrence",
         {"CLAUDE_CODE_SESSION_ID=zz CLAUDE_CODE_SESSION_ID=0f0e0d0c-0b0a-0908-0706-050403020100"},
         kId},
        {"first of two values", {keyed, "CLAUDE_CODE_SESSION_ID=ffffffff-ffff-ffff-ffff-ffffffffffff"}, kId},
        {"no key", {"no session here"}, {}},
        {"no strings", {}, {}},
        {"bytes after the 36 are ignored", {trailing}, kId},
        {"36 hyphens", {hyphens}, std::string_view(hyphens).substr(23)},
        {"key in the middle of a string", {mid}, kId},
        {"case kept", {upper}, std::string_view(upper).substr(23)},
        {"35 bytes after the key", {short_value}, {}},
        {"the key alone", {key}, {}},
        {"rejected, then too short", {bad_then_short}, {}},
        {"a rejected string does not stop the list", {short_value, "x", keyed}, kId},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = find_session_id(c.strings);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(std::string_view(got->data(), got->size()), *c.want);
        }
    }
}

// An argument area: argc, the executable path and its NUL, `pad` more NULs, then `rest` as is.
std::vector<std::uint8_t> area(std::int32_t argc, std::string_view exec, std::size_t pad, std::string_view rest) {
    std::vector<std::uint8_t> out(4);
    std::memcpy(out.data(), &argc, 4);
    out.insert(out.end(), exec.begin(), exec.end());
    out.push_back(0);
    out.insert(out.end(), pad, 0);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

TEST(ArgumentArea, SplitsArgumentsFromEnvironment) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::vector<std::string_view> args;
        std::vector<std::string_view> env;
    };
    std::vector<std::uint8_t> exec_to_end(4, 0);
    exec_to_end[0] = 1;
    const std::string_view path = "/bin/x";
    exec_to_end.insert(exec_to_end.end(), path.begin(), path.end());
    const Case cases[] = {
        {"only argc", {1, 0, 0, 0}, {}, {}},
        {"executable path runs to the end", exec_to_end, {}, {}},
        {"path, padding and nothing more", area(1, "/bin/x", 7, ""), {}, {}},
        {"empty argument, then environment up to the empty string",
         area(2, "/bin/a", 3, "a\0\0X=1\0\0more\0"s),
         {"a", ""},
         {"X=1"}},
        {"area ends before argc strings", area(5, "/bin/a", 0, "one\0two\0"s), {"one", "two"}, {}},
        {"last string runs to the end", area(1, "/bin/a", 0, "arg\0HOME=/h"s), {"arg"}, {"HOME=/h"}},
        {"environment with no ending empty string", area(1, "/bin/a", 2, "arg\0A=1\0B=2\0"s), {"arg"}, {"A=1", "B=2"}},
        {"no environment", area(2, "/bin/a", 0, "a\0b\0\0junk\0"s), {"a", "b"}, {}},
        // The NULs after the path cannot be told from empty leading arguments: they are skipped
        // as padding, and the argument count is filled from the strings that follow.
        {"leading empty argument read as padding", area(2, "/bin/e", 0, "\0b\0E=1\0\0"s), {"b", "E=1"}, {}},
        {"apple strings after the end are ignored",
         area(1, "/bin/a", 0, "a\0E=1\0\0executable_path=/bin/a\0"s),
         {"a"},
         {"E=1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcArgs p = parse_procargs(c.bytes);
        ASSERT_LE(p.argc, p.strings.size());
        const std::vector<std::string_view> args(p.strings.begin(), p.strings.begin() + p.argc);
        const std::vector<std::string_view> env(p.strings.begin() + p.argc, p.strings.end());
        EXPECT_EQ(args, c.args);
        EXPECT_EQ(env, c.env);
        for (const auto s : p.strings) {  // views into the caller's buffer, not copies
            EXPECT_GE(reinterpret_cast<const std::uint8_t*>(s.data()), c.bytes.data());
            EXPECT_LE(reinterpret_cast<const std::uint8_t*>(s.data() + s.size()), c.bytes.data() + c.bytes.size());
        }
    }
}

TEST(ArgumentArea, CommandAndSessionFromOneArea) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string command;
        std::optional<std::string_view> session;
    };
    const std::string env_key = "CLAUDE_CODE_SESSION_ID=" + std::string(kId);
    const Case cases[] = {
        {"empty second argument", area(2, "/bin/a", 3, "a\0\0X=1\0\0more\0"s), "a ", {}},
        {"session only in the environment",
         area(2, "/usr/bin/node", 5, "node\0cli.js\0HOME=/Users/u\0"s + env_key + "\0\0"s),
         "node cli.js",
         kId},
        {"session in an argument", area(2, "/bin/sh", 0, "sh\0"s + env_key + "\0"s), "sh " + env_key, kId},
        {"escaped argument", area(2, "/bin/e", 0, "echo\0tab\there\0"s), "echo tab\\011here", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcArgs p = parse_procargs(c.bytes);
        ASSERT_GE(p.argc, 1u);
        EXPECT_EQ(build_command(std::span(p.strings).first(p.argc)), c.command);
        const auto id = find_session_id(p.strings);
        ASSERT_EQ(id.has_value(), c.session.has_value());
        if (id) {
            EXPECT_EQ(std::string_view(id->data(), id->size()), *c.session);
        }
    }
}

}  // namespace
}  // namespace zelk
