// Linux audio source over ALSA procfs. Layout read, per sound card C and PCM device D:
//   <proc>/asound/card<C>/pcm<D>c/sub<S>/status   capture substreams ("pcm<D>p": playback)
// each status "closed" or "state: <STATE>\nowner_pid   : <tid>\n...". The owner is the thread
// that opened the substream; <proc>/<tid>/status names its process ("Tgid:").
#include "alsa_hal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <optional>
#include <tuple>
#include <vector>

#include "../owned.hpp"
#include "alsa_text.hpp"

namespace zelk::probe {
namespace {

using Fd = Owned<int, ::close, -1>;
using Dir = Owned<DIR*, ::closedir>;

constexpr std::size_t MAX_FILE_BYTES = 64 * 1024;

// A procfs file read whole (up to MAX_FILE_BYTES), or nullopt when it cannot be read.
std::optional<std::string> readFile(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char chunk[4096];
    while (text.size() < MAX_FILE_BYTES) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    const Dir dir(::opendir(path.c_str()));
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
    return names;
}

struct Pcm {
    unsigned card;
    unsigned device;
    bool capture;
    auto key() const { return std::tuple(card, device, !capture); }
};

struct OpenSubstream {
    bool running;
    bool capture;
    std::int32_t tgid;  // 0 when the owner cannot be named
};

template <class T>
Status writeValue(std::uint32_t& data_size, void* data, const T& value) {
    if (data == nullptr || data_size < sizeof(T)) return STATUS_BAD_SIZE;
    std::memcpy(data, &value, sizeof(T));
    data_size = sizeof(T);
    return 0;
}

class AlsaHal final : public AudioHal {
public:
    explicit AlsaHal(std::string proc_root) : root_(std::move(proc_root)) {}

    Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t, const void*,
                            std::uint32_t& data_size) override {
        if (address.scope != SCOPE_GLOBAL || address.element != ELEMENT_MAIN) return STATUS_UNKNOWN_PROPERTY;
        const std::uint32_t selector = address.selector;
        if (object == SYSTEM_OBJECT) {
            if (selector == SEL_PROCESS_OBJECT_LIST) {
                data_size = static_cast<std::uint32_t>(owners().size() * sizeof(ObjectId));
                return 0;
            }
            if (selector == SEL_DEFAULT_INPUT_DEVICE || selector == SEL_TRANSLATE_PID) return fixedSize(data_size, 4);
        } else if (deviceOf(object)) {
            if (selector == SEL_IS_RUNNING_SOMEWHERE) return fixedSize(data_size, 4);
        } else if (tgidOf(object)) {
            if (selector == SEL_IS_RUNNING_INPUT || selector == SEL_PROCESS_PID) return fixedSize(data_size, 4);
            if (selector == SEL_BUNDLE_ID) return fixedSize(data_size, sizeof(StringRef));
        } else {
            return STATUS_BAD_OBJECT;
        }
        return STATUS_UNKNOWN_PROPERTY;
    }

    Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                        const void* qualifier, std::uint32_t& data_size, void* data) override {
        if (address.scope != SCOPE_GLOBAL || address.element != ELEMENT_MAIN) return STATUS_UNKNOWN_PROPERTY;
        const std::uint32_t selector = address.selector;
        if (object == SYSTEM_OBJECT) {
            if (selector == SEL_DEFAULT_INPUT_DEVICE) return defaultInput(data_size, data);
            if (selector == SEL_PROCESS_OBJECT_LIST) return processList(data_size, data);
            if (selector == SEL_TRANSLATE_PID) return translatePid(qualifier_size, qualifier, data_size, data);
        } else if (const auto pcm = deviceOf(object)) {
            if (selector == SEL_IS_RUNNING_SOMEWHERE) return deviceRunning(*pcm, data_size, data);
        } else if (const auto tgid = tgidOf(object)) {
            if (selector == SEL_IS_RUNNING_INPUT) return processRunningInput(*tgid, data_size, data);
            if (selector == SEL_PROCESS_PID) return writeValue(data_size, data, *tgid);
            if (selector == SEL_BUNDLE_ID) return bundle(*tgid, data_size, data);
        } else {
            return STATUS_BAD_OBJECT;
        }
        return STATUS_UNKNOWN_PROPERTY;
    }

    void beginLine() override { in_line_ = true; }
    void endLine() override {
        in_line_ = false;
        substreams_.reset();
    }

    std::string takeString(StringRef ref) override {
        const auto it = std::find_if(handed_.begin(), handed_.end(), [&](const std::string& s) { return &s == ref; });
        if (it == handed_.end()) return {};
        std::string text = std::move(*it);
        handed_.erase(it);
        return text;
    }

private:
    static Status fixedSize(std::uint32_t& data_size, std::size_t size) {
        data_size = static_cast<std::uint32_t>(size);
        return 0;
    }

    static std::optional<Pcm> deviceOf(ObjectId object) {
        if ((object & 0xFFFF0000u) != DEVICE_OBJECT_BASE) return std::nullopt;
        return Pcm{(object >> 8) & 0xFFu, object & 0xFFu, true};
    }

    static std::optional<std::int32_t> tgidOf(ObjectId object) {
        if ((object & 0xC0000000u) != PROCESS_OBJECT_BASE || (object & 0x3FFFFFFFu) == 0) return std::nullopt;
        return static_cast<std::int32_t>(object & 0x3FFFFFFFu);
    }

    std::string pcmPath(const Pcm& pcm) const {
        return root_ + "/asound/card" + std::to_string(pcm.card) + "/pcm" + std::to_string(pcm.device) +
               (pcm.capture ? "c" : "p");
    }

    // Every PCM device of every card, in card, device, capture-first order.
    std::vector<Pcm> pcms() const {
        std::vector<Pcm> found;
        const std::string asound = root_ + "/asound";
        for (const auto& card_name : listDir(asound)) {
            const auto card = alsa::parseIndexedName(card_name, "card", "");
            if (!card) continue;
            for (const auto& pcm_name : listDir(asound + "/" + card_name)) {
                if (const auto d = alsa::parseIndexedName(pcm_name, "pcm", "c")) found.push_back({*card, *d, true});
                else if (const auto p = alsa::parseIndexedName(pcm_name, "pcm", "p")) found.push_back({*card, *p, false});
            }
        }
        std::sort(found.begin(), found.end(), [](const Pcm& a, const Pcm& b) { return a.key() < b.key(); });
        return found;
    }

    // The open substreams of one PCM device; nullopt when the device is not there.
    std::optional<std::vector<OpenSubstream>> openSubstreams(const Pcm& pcm) const {
        const std::string path = pcmPath(pcm);
        const Dir dir(::opendir(path.c_str()));
        if (!dir) return std::nullopt;
        std::vector<OpenSubstream> open;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (!alsa::parseIndexedName(entry->d_name, "sub", "")) continue;
            const auto text = readFile(path + "/" + entry->d_name + "/status");
            if (!text) continue;
            const auto status = alsa::parseSubstreamStatus(*text);
            if (!status || !status->open) continue;
            open.push_back({status->running, pcm.capture, tgidOfThread(status->owner_tid)});
        }
        return open;
    }

    // The owner is a thread id; a thread that has since ended names no process.
    std::int32_t tgidOfThread(std::int32_t tid) const {
        if (tid <= 0) return 0;
        const auto text = readFile(root_ + "/" + std::to_string(tid) + "/status");
        if (!text) return 0;
        return alsa::parseTgid(*text).value_or(0);
    }

    // Every open substream of every card. The process list and each process's running state
    // need all of them: within one output line they are walked once, at the first read that
    // needs them (hundreds of substreams, walked per process, made a line take seconds).
    const std::vector<OpenSubstream>& allOpenSubstreams() {
        if (in_line_ && substreams_) return *substreams_;
        std::vector<OpenSubstream> all;
        for (const auto& pcm : pcms())
            if (auto open = openSubstreams(pcm)) all.insert(all.end(), open->begin(), open->end());
        substreams_ = std::move(all);
        return *substreams_;
    }

    // Processes holding any open substream, capture or playback, ascending.
    std::vector<std::int32_t> owners() {
        std::vector<std::int32_t> tgids;
        for (const auto& sub : allOpenSubstreams())
            if (sub.tgid > 0 && static_cast<ObjectId>(sub.tgid) <= 0x3FFFFFFFu) tgids.push_back(sub.tgid);
        std::sort(tgids.begin(), tgids.end());
        tgids.erase(std::unique(tgids.begin(), tgids.end()), tgids.end());
        return tgids;
    }

    // Card 0 device 0 when it captures, else the lowest capture device (what ALSA's library
    // opens as "default" without configuration); none is a failure.
    Status defaultInput(std::uint32_t& data_size, void* data) const {
        for (const auto& pcm : pcms())
            if (pcm.capture) return writeValue(data_size, data, DEVICE_OBJECT_BASE | pcm.card << 8 | pcm.device);
        return STATUS_BAD_OBJECT;
    }

    Status deviceRunning(const Pcm& pcm, std::uint32_t& data_size, void* data) const {
        const auto open = openSubstreams(pcm);
        if (!open) return STATUS_BAD_OBJECT;
        const bool running = std::any_of(open->begin(), open->end(), [](const OpenSubstream& s) { return s.running; });
        return writeValue(data_size, data, static_cast<std::uint32_t>(running));
    }

    // Fills as many identifiers as the buffer holds and reports the bytes used.
    Status processList(std::uint32_t& data_size, void* data) {
        if (data == nullptr) return STATUS_BAD_SIZE;
        const auto tgids = owners();
        const std::size_t count = std::min<std::size_t>(tgids.size(), data_size / sizeof(ObjectId));
        auto* out = static_cast<unsigned char*>(data);
        for (std::size_t i = 0; i < count; ++i) {
            const ObjectId id = PROCESS_OBJECT_BASE | static_cast<ObjectId>(tgids[i]);
            std::memcpy(out + i * sizeof(ObjectId), &id, sizeof id);
        }
        data_size = static_cast<std::uint32_t>(count * sizeof(ObjectId));
        return 0;
    }

    // A pid that holds no substream has no process object: 0, with success, as the HAL answers.
    Status translatePid(std::uint32_t qualifier_size, const void* qualifier, std::uint32_t& data_size,
                        void* data) {
        if (qualifier == nullptr || qualifier_size != sizeof(std::int32_t)) return STATUS_BAD_SIZE;
        std::int32_t pid = 0;
        std::memcpy(&pid, qualifier, sizeof pid);
        const auto tgids = owners();
        const bool known = std::binary_search(tgids.begin(), tgids.end(), pid);
        return writeValue(data_size, data, known ? PROCESS_OBJECT_BASE | static_cast<ObjectId>(pid) : OBJECT_UNKNOWN);
    }

    Status processRunningInput(std::int32_t tgid, std::uint32_t& data_size, void* data) {
        bool holds_any = false;
        bool capturing = false;
        for (const auto& sub : allOpenSubstreams()) {
            if (sub.tgid != tgid) continue;
            holds_any = true;
            capturing = capturing || (sub.capture && sub.running);
        }
        if (!holds_any) return STATUS_BAD_OBJECT;  // the process object has gone
        return writeValue(data_size, data, static_cast<std::uint32_t>(capturing));
    }

    // Linux has no bundle identifier; an application id stands in: Flatpak's, else that of a
    // systemd desktop-app unit, else none (a null reference).
    Status bundle(std::int32_t tgid, std::uint32_t& data_size, void* data) {
        const std::string proc = root_ + "/" + std::to_string(tgid);
        std::string app_id;
        if (const auto info = readFile(proc + "/root/.flatpak-info")) app_id = alsa::appIdFromFlatpakInfo(*info);
        if (app_id.empty())
            if (const auto cgroup = readFile(proc + "/cgroup")) app_id = alsa::appIdFromCgroup(*cgroup);
        if (app_id.empty()) return writeValue(data_size, data, StringRef{nullptr});
        if (data == nullptr || data_size < sizeof(StringRef)) return STATUS_BAD_SIZE;
        handed_.push_back(std::move(app_id));
        return writeValue(data_size, data, StringRef{&handed_.back()});
    }

    std::string root_;
    std::list<std::string> handed_;  // texts of references not yet taken
    bool in_line_ = false;
    std::optional<std::vector<OpenSubstream>> substreams_;  // the last walk; reused only within a line
};

}  // namespace

std::unique_ptr<AudioHal> makeAlsaHal(std::string proc_root) { return std::make_unique<AlsaHal>(std::move(proc_root)); }

AudioHal& liveAudioHal() {
    static const std::unique_ptr<AudioHal> hal = makeAlsaHal("/proc");
    return *hal;
}

}  // namespace zelk::probe
