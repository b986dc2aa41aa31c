// The Linux audio source: its procfs parsers, and the probe's queries over a prepared procfs
// tree (sound cards, substream states, owner threads, application ids).
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "audio.hpp"
#include "cli.hpp"
#include "platform/linux/alsa_hal.hpp"
#include "platform/linux/alsa_text.hpp"

namespace zelk::probe {
namespace {

namespace fs = std::filesystem;

TEST(AlsaText, SubstreamStatus) {
    using alsa::SubstreamStatus;
    const struct {
        const char* text;
        std::optional<SubstreamStatus> status;
    } cases[] = {
        {"closed\n", SubstreamStatus{false, false, 0}},
        {"state: RUNNING\nowner_pid   : 4242\ntrigger_time: 1.5\n-----\nhw_ptr      : 1\n",
         SubstreamStatus{true, true, 4242}},
        {"state: PREPARED\nowner_pid   : 17\n", SubstreamStatus{true, false, 17}},
        {"state: XRUN\nowner_pid   : 17\n", SubstreamStatus{true, false, 17}},
        {"state: RUNNING\n", SubstreamStatus{true, true, 0}},  // kernels before owner_pid
        {"state: RUNNING\nowner_pid   : -3\n", SubstreamStatus{true, true, 0}},
        {"state: RUNNING\nowner_pid   : 99999999999\n", SubstreamStatus{true, true, 0}},
        {"state: RUNNING", SubstreamStatus{true, true, 0}},
        {"", std::nullopt},
        {"garbage\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = alsa::parseSubstreamStatus(c.text);
        ASSERT_EQ(got.has_value(), c.status.has_value());
        if (!got) continue;
        EXPECT_EQ(got->open, c.status->open);
        EXPECT_EQ(got->running, c.status->running);
        EXPECT_EQ(got->owner_tid, c.status->owner_tid);
    }
}

TEST(AlsaText, TgidAndNames) {
    EXPECT_EQ(alsa::parseTgid("Name:\tx\nUmask:\t0022\nState:\tS\nTgid:\t1234\nNgid:\t0\nPid:\t1240\n"), 1234);
    EXPECT_EQ(alsa::parseTgid("Name:\tTgid:\t5\nPid:\t1\n"), std::nullopt);
    EXPECT_EQ(alsa::parseTgid("Tgid:\tx\n"), std::nullopt);
    EXPECT_EQ(alsa::parseTgid(""), std::nullopt);

    const struct {
        const char* name;
        const char* prefix;
        const char* suffix;
        std::optional<unsigned> index;
    } cases[] = {
        {"card0", "card", "", 0u},       {"card31", "card", "", 31u},    {"card255", "card", "", 255u},
        {"card256", "card", "", std::nullopt}, {"card", "card", "", std::nullopt}, {"cardx", "card", "", std::nullopt},
        {"PCH", "card", "", std::nullopt}, {"card-1", "card", "", std::nullopt}, {"pcm0c", "pcm", "c", 0u},
        {"pcm10c", "pcm", "c", 10u},     {"pcm0p", "pcm", "c", std::nullopt}, {"pcmc", "pcm", "c", std::nullopt},
        {"sub3", "sub", "", 3u},         {"info", "sub", "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(alsa::parseIndexedName(c.name, c.prefix, c.suffix), c.index);
    }
}

TEST(AlsaText, ApplicationIds) {
    const struct {
        const char* unit;
        const char* app_id;
    } units[] = {
        {"app-gnome-org.gnome.Terminal-92142.scope", "org.gnome.Terminal"},
        {"app-org.gnome.Terminal-92142.scope", "org.gnome.Terminal"},
        {"app-gnome-org.gnome.Evince@12345.service", "org.gnome.Evince"},
        {"app-org.gnome.Evince.service", "org.gnome.Evince"},
        {"app-kde-org.example.my\\x2dapp-77.scope", "org.example.my-app"},
        {"app-gnome-firefox-1234.scope", "firefox"},
        {"app-gnome-org.gnome.Terminal-.scope", ""},
        {"app.slice", ""},
        {"app-gnome\\x2dsession\\x2dmanager.slice", ""},
        {"session-3.scope", ""},
        {"user@1000.service", ""},
        {"", ""},
    };
    for (const auto& c : units) {
        SCOPED_TRACE(c.unit);
        EXPECT_EQ(alsa::appIdFromUnit(c.unit), c.app_id);
    }

    EXPECT_EQ(alsa::appIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-gnome-org.example.Recorder-4411.scope\n"),
              "org.example.Recorder");
    // A process in a sub-cgroup of its application's scope.
    EXPECT_EQ(alsa::appIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-org.example.Browser-1.scope/tab-7\n"),
              "org.example.Browser");
    // Hybrid hierarchy: the unified line wins over the named one.
    EXPECT_EQ(alsa::appIdFromCgroup("1:name=systemd:/user.slice/app-a.legacy-1.scope\n"
                                    "0::/user.slice/app-b.unified-2.scope\n"),
              "b.unified");
    EXPECT_EQ(alsa::appIdFromCgroup("1:name=systemd:/user.slice/app-a.legacy-1.scope\n0::/\n"), "a.legacy");
    EXPECT_EQ(alsa::appIdFromCgroup("0::/system.slice/pipewire.service\n"), "");
    EXPECT_EQ(alsa::appIdFromCgroup("garbage"), "");

    EXPECT_EQ(alsa::appIdFromFlatpakInfo("[Application]\nname=org.example.Flat\nruntime=runtime/x\n"),
              "org.example.Flat");
    EXPECT_EQ(alsa::appIdFromFlatpakInfo("[Instance]\nname=wrong\n[Application]\n  name = org.example.Flat  \n"),
              "org.example.Flat");
    EXPECT_EQ(alsa::appIdFromFlatpakInfo("[Runtime]\nname=org.example.Platform\n"), "");
}

// A procfs tree in a fresh temporary directory, removed afterwards.
class ProcTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "probe-proc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void file(const std::string& path, const std::string& text) {
        const fs::path p = root_ / path;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    void substream(const std::string& pcm_path, int sub, const std::string& state, int owner_tid) {
        file("asound/" + pcm_path + "/sub" + std::to_string(sub) + "/status",
             state == "closed" ? "closed\n"
                               : "state: " + state + "\nowner_pid   : " + std::to_string(owner_tid) +
                                     "\ntrigger_time: 1.0\n");
        file("asound/" + pcm_path + "/info", "card: 0\n");
    }
    void thread(int tid, int tgid) {
        file(std::to_string(tid) + "/status", "Name:\tx\nTgid:\t" + std::to_string(tgid) + "\nPid:\t" +
                                                   std::to_string(tid) + "\n");
    }
    std::unique_ptr<AudioHal> hal() { return makeAlsaHal(root_.string()); }

    fs::path root_;
};

TEST_F(ProcTree, NoSoundCardsAnswersLikeNoInputDevice) {
    auto h = hal();
    EXPECT_EQ(defaultInputDevice(*h), OBJECT_UNKNOWN);
    EXPECT_FALSE(micActive(*h));
    EXPECT_TRUE(processInputs(*h).empty());
    EXPECT_TRUE(pidInputs(*h, {1, 2}).empty());
}

TEST_F(ProcTree, CapturingProcessesWithApplicationIds) {
    // card0: capture pcm0c (a recorder, running) and playback pcm0p (a player, running).
    substream("card0/pcm0c", 0, "RUNNING", 501);
    substream("card0/pcm0c", 1, "closed", 0);
    substream("card0/pcm0p", 0, "RUNNING", 600);
    // card1: a second capture device, prepared but not running, held by a Flatpak app.
    substream("card1/pcm0c", 0, "PREPARED", 700);
    file("asound/PCH/placeholder", "");  // the card-id links beside card<N> are not cards
    thread(501, 500);                    // the owner is a thread of process 500
    thread(500, 500);
    thread(600, 600);
    thread(700, 700);
    file("500/cgroup", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                       "app-gnome-org.example.Recorder-4411.scope\n");
    file("700/root/.flatpak-info", "[Application]\nname=org.example.Flat\n");
    file("700/cgroup", "0::/user.slice/app-flatpak-org.example.Other-1.scope\n");

    auto h = hal();
    EXPECT_EQ(defaultInputDevice(*h), DEVICE_OBJECT_BASE);
    EXPECT_TRUE(micActive(*h));
    EXPECT_EQ(processInputs(*h), (std::vector<InputEntry>{{"org.example.Recorder", 500}}));
    // By pid: a thread id is not a process; a player is not capturing; an unknown pid is left out.
    EXPECT_EQ(pidInputs(*h, {500, 501, 600, 700, 12345, 500}),
              (std::vector<InputEntry>{{"org.example.Recorder", 500}, {"org.example.Recorder", 500}}));

    // The Flatpak app starts capturing: its id comes from .flatpak-info, before its cgroup.
    substream("card1/pcm0c", 0, "RUNNING", 700);
    EXPECT_EQ(processInputs(*h),
              (std::vector<InputEntry>{{"org.example.Recorder", 500}, {"org.example.Flat", 700}}));

    // The recorder stops: the default device (card 0) is idle although card 1 still runs.
    substream("card0/pcm0c", 0, "closed", 0);
    EXPECT_FALSE(micActive(*h));
    EXPECT_EQ(processInputs(*h), (std::vector<InputEntry>{{"org.example.Flat", 700}}));
}

TEST_F(ProcTree, DefaultDeviceIsTheLowestCaptureDevice) {
    substream("card0/pcm0p", 0, "closed", 0);
    substream("card0/pcm3c", 0, "closed", 0);
    substream("card0/pcm12c", 0, "RUNNING", 42);
    substream("card2/pcm0c", 0, "closed", 0);
    auto h = hal();
    EXPECT_EQ(defaultInputDevice(*h), DEVICE_OBJECT_BASE | 3u);
    EXPECT_FALSE(micActive(*h));
    substream("card0/pcm3c", 0, "RUNNING", 42);
    EXPECT_TRUE(micActive(*h));
}

TEST_F(ProcTree, OwnersThatCannotBeNamedAreLeftOut) {
    substream("card0/pcm0c", 0, "RUNNING", 901);  // its thread has ended: no /proc/901
    substream("card0/pcm0c", 1, "RUNNING", 0);    // no owner given
    substream("card0/pcm0c", 2, "RUNNING", 950);
    thread(950, 950);                             // no cgroup, no flatpak-info: no bundle
    auto h = hal();
    EXPECT_TRUE(micActive(*h));
    EXPECT_EQ(processInputs(*h), (std::vector<InputEntry>{{"", 950}}));
}

TEST_F(ProcTree, ReadsAnswerLikeTheHal) {
    substream("card0/pcm0c", 0, "RUNNING", 10);
    substream("card0/pcm0p", 0, "RUNNING", 20);
    substream("card0/pcm0p", 1, "RUNNING", 30);
    thread(10, 10);
    thread(20, 20);
    thread(30, 30);
    auto h = hal();
    const auto list = prop(SEL_PROCESS_OBJECT_LIST);
    std::uint32_t size = 0;
    ASSERT_EQ(h->propertyDataSize(SYSTEM_OBJECT, list, 0, nullptr, size), 0);
    EXPECT_EQ(size, 12u);  // every holder of an open substream, capture or playback

    // A buffer smaller than the list gets as many identifiers as fit, in ascending pid order.
    std::uint32_t ids[2] = {};
    size = sizeof ids;
    ASSERT_EQ(h->propertyData(SYSTEM_OBJECT, list, 0, nullptr, size, ids), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(ids[0], PROCESS_OBJECT_BASE | 10u);
    EXPECT_EQ(ids[1], PROCESS_OBJECT_BASE | 20u);

    // Translating a pid: an owner's object, else 0 with success; the qualifier is required.
    const auto translate = prop(SEL_TRANSLATE_PID);
    for (const std::int32_t pid : {30, 31, -1, 0}) {
        SCOPED_TRACE(pid);
        ObjectId object = 99;
        size = sizeof object;
        ASSERT_EQ(h->propertyData(SYSTEM_OBJECT, translate, sizeof pid, &pid, size, &object), 0);
        EXPECT_EQ(object, pid == 30 ? PROCESS_OBJECT_BASE | 30u : OBJECT_UNKNOWN);
    }
    ObjectId object = 0;
    size = sizeof object;
    EXPECT_NE(h->propertyData(SYSTEM_OBJECT, translate, 0, nullptr, size, &object), 0);

    // Too small a buffer, an unknown object, an unknown selector, a process gone: failures.
    std::uint16_t small = 0;
    size = sizeof small;
    const auto dIn = prop(SEL_DEFAULT_INPUT_DEVICE);
    EXPECT_NE(h->propertyData(SYSTEM_OBJECT, dIn, 0, nullptr, size, &small), 0);
    std::uint32_t value = 0;
    size = sizeof value;
    EXPECT_NE(h->propertyData(0, prop(SEL_IS_RUNNING_INPUT), 0, nullptr, size, &value), 0);
    size = sizeof value;
    EXPECT_NE(h->propertyData(SYSTEM_OBJECT, prop(fourCC("zzzz")), 0, nullptr, size, &value), 0);
    size = sizeof value;
    EXPECT_NE(h->propertyData(PROCESS_OBJECT_BASE | 31u, prop(SEL_IS_RUNNING_INPUT), 0, nullptr, size, &value), 0);
    size = sizeof value;
    EXPECT_NE(h->propertyData(DEVICE_OBJECT_BASE | 0x0100u, prop(SEL_IS_RUNNING_SOMEWHERE), 0, nullptr, size, &value),
              0);
}

// Every capturing process's running state needs all substreams; one apps line walks them once,
// so per substream a line over 512 of them costs about what a line over 8 does.
TEST_F(ProcTree, OneLineWalksTheSubstreamsOnce) {
    // Two trees side by side: 8 and 512 running capture substreams, eight to a device, each held
    // by a process of its own. A sample is this thread's CPU time for 512 substreams' worth of
    // lines (64 small lines, or one large), the two kinds in turns: like with like over the same
    // span, so a loaded machine slows neither more. The fastest sample of each, compared.
    const fs::path top = root_;
    const auto tree = [&](const std::string& name, int count) {
        root_ = top / name;
        for (int made = 0; made < count; ++made) {
            substream("card0/pcm" + std::to_string(made / 8) + "c", made % 8, "RUNNING", 1000 + made);
            thread(1000 + made, 1000 + made);
        }
        return hal();
    };
    const auto small = tree("small", 8);
    const auto large = tree("large", 512);
    root_ = top;
    const auto cpuSeconds = [] {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    };
    const auto sample = [&](AudioHal& h, int count, int lines, double& best_s) {
        const double start = cpuSeconds();
        for (int n = 0; n < lines; ++n) {
            const std::string line = appsLine(h, {"vintrel", "--apps"});
            std::size_t entries = 0;
            for (auto at = line.find("\"pid\""); at != std::string::npos; at = line.find("\"pid\"", at + 1)) ++entries;
            EXPECT_EQ(entries, static_cast<std::size_t>(count));
        }
        best_s = std::min(best_s, cpuSeconds() - start);
    };
    double small_s = 1e9;
    double large_s = 1e9;
    for (int n = 0; n < 5; ++n) {
        sample(*small, 8, 64, small_s);
        sample(*large, 512, 1, large_s);
    }
    std::cout << "    CPU time for 512 substreams' lines: 64 lines of 8 " << small_s * 1e3 << " ms, one line of 512 "
              << large_s * 1e3 << " ms, ratio " << large_s / small_s << "\n";
    EXPECT_LT(large_s / small_s, 4.0);
}

TEST(AlsaLive, AnswersWithoutFailing) {
    // Whatever this machine has: the queries complete and every reference is taken.
    auto& h = liveAudioHal();
    (void)micActive(h);
    for (const auto& entry : processInputs(h)) EXPECT_GE(entry.pid, 0);
}

}  // namespace
}  // namespace zelk::probe
