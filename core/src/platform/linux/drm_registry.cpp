// Linux GPU registry: DRM clients from /proc/PID/fdinfo (kernel DRM usage statistics) and
// device figures from libnvidia-ml (loaded at run time) or amdgpu's sysfs files.
#include "drm_registry.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string_view>

#include "../owned.hpp"

namespace zelk {
namespace {

using Fd = Owned<int, ::close, -1>;
using Dir = Owned<DIR*, ::closedir>;
using Library = Owned<void*, ::dlclose>;

constexpr std::size_t kMaxSmallFile = 64 * 1024;  // fdinfo, comm, sysfs values, /proc/devices
constexpr unsigned kDrmMajorDefault = 226;
constexpr std::uint64_t kClientIdMask = (std::uint64_t{1} << 48) - 1;

// A whole small file, or nullopt when it cannot be opened or read.
std::optional<std::string> read_small_file(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    std::array<char, 4096> chunk{};
    while (out.size() < kMaxSmallFile) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(chunk.data(), static_cast<std::size_t>(n));
    }
    return out;
}

// The names in a folder, or nullopt with errno set when it cannot be opened.
std::optional<std::vector<std::string>> list_dir(const std::string& path) {
    Dir dir(::opendir(path.c_str()));
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view name(e->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    return names;
}

std::string real_path(const std::string& path) {
    std::array<char, PATH_MAX> buf{};
    if (::realpath(path.c_str(), buf.data()) == nullptr) return {};
    return std::string(buf.data());
}

template <class T>
std::optional<T> parse_decimal(std::string_view s) {
    T v{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end == s.data()) return std::nullopt;
    if (end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// Entries of `dir` named <prefix><N>, sorted by N ("card0", "card1", ... not "card0-DP-1").
std::vector<std::string> numbered_entries(const std::vector<std::string>& names, std::string_view prefix) {
    std::vector<std::pair<unsigned long, std::string>> found;
    for (const auto& name : names) {
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (const auto n = parse_decimal<unsigned long>(std::string_view(name).substr(prefix.size())))
            found.emplace_back(*n, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

// What one DRM file descriptor's fdinfo says, as `key:<whitespace>value` lines:
//   drm-driver:        i915
//   drm-client-id:     7              one per open DRM file; shared by dup'ed and inherited fds
//   drm-engine-render: 2345678 ns     busy time per engine; drm-engine-capacity-* are counts
struct FdInfo {
    std::optional<std::uint64_t> client_id;
    std::vector<RegistryValue> engines;  // one AppUsage-like entry per engine
};

FdInfo parse_fdinfo(std::string_view text) {
    FdInfo info;
    constexpr std::string_view kEngine = "drm-engine-";
    constexpr std::string_view kCapacity = "capacity-";
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (key == "drm-client-id") {
            if (!info.client_id) info.client_id = parse_decimal<std::uint64_t>(value);
        } else if (key.size() > kEngine.size() && key.substr(0, kEngine.size()) == kEngine &&
                   key.substr(kEngine.size(), kCapacity.size()) != kCapacity) {
            // "<N> ns"; a value past 2^63 - 1 cannot be read as signed and adds nothing.
            std::string_view digits = value;
            if (digits.size() >= 2 && digits.substr(digits.size() - 2) == "ns")
                digits = trim(digits.substr(0, digits.size() - 2));
            const auto ns = parse_decimal<std::uint64_t>(digits);
            const bool fits = ns && *ns <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            info.engines.push_back(RegistryValue::make_dictionary(
                {{kGpuTimeKey, RegistryValue::make_integer(fits ? static_cast<std::int64_t>(*ns) : 0, fits)}}));
        }
    }
    return info;
}

// Character device majors from /proc/devices ("Character devices:" then "<major> <name>").
struct Majors {
    unsigned drm = kDrmMajorDefault;
    std::optional<unsigned> accel;
};

Majors read_majors(const std::string& proc) {
    Majors m;
    const auto text = read_small_file(proc + "/devices");
    if (!text) return m;
    std::string_view rest(*text);
    bool in_char = false;
    bool saw_drm = false;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        const std::string_view line = trim(rest.substr(0, eol));
        rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
        if (line == "Character devices:") {
            in_char = true;
            continue;
        }
        if (line.empty() || line.back() == ':') {
            in_char = false;
            continue;
        }
        if (!in_char) continue;
        const auto space = line.find(' ');
        if (space == std::string_view::npos) continue;
        const auto major = parse_decimal<unsigned>(line.substr(0, space));
        const auto name = trim(line.substr(space + 1));
        if (!major) continue;
        if (name == "drm") {
            m.drm = *major;
            saw_drm = true;
        } else if (name == "accel") {
            m.accel = *major;
        }
    }
    // No "drm" line: the DRM core is not loaded, so no open file can be a DRM device.
    if (!saw_drm) m.drm = 0;
    return m;
}

// libnvidia-ml, loaded once per process on first use: its initialisation can take seconds
// when the driver is not kept in persistence mode. Own prototypes; no build dependency.
class Nvml {
    struct Key {  // only load() makes one
        explicit Key() = default;
    };

public:
    static const Nvml* get() {
        static const std::unique_ptr<Nvml> instance = load();
        return instance.get();
    }

    explicit Nvml(Key) {}
    ~Nvml() {
        if (shutdown_) shutdown_();
    }
    Nvml(const Nvml&) = delete;
    Nvml& operator=(const Nvml&) = delete;

    std::uint32_t device_count() const {
        unsigned int n = 0;
        return count_(&n) == 0 ? n : 0;
    }

    // {"Device Utilization %": busy percent, "In use system memory": bytes used}; a figure the
    // driver refuses (not supported under MIG, no permission, GPU lost) is left out.
    RegistryValue statistics(std::uint32_t index) const {
        Device device = nullptr;
        if (handle_(index, &device) != 0) return {};
        std::vector<RegistryEntry> entries;
        Utilization util{};
        if (utilization_(device, &util) == 0)
            entries.emplace_back(kUtilizationKey, RegistryValue::make_integer(util.gpu));
        Memory mem{};
        if (memory_(device, &mem) == 0) {
            const bool fits = mem.used <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
            entries.emplace_back(kMemoryKey,
                                 RegistryValue::make_integer(fits ? static_cast<std::int64_t>(mem.used) : 0, fits));
        }
        return RegistryValue::make_dictionary(std::move(entries));
    }

private:
    struct DeviceOpaque;
    using Device = DeviceOpaque*;
    struct Utilization {
        unsigned int gpu;
        unsigned int memory;
    };
    struct Memory {
        unsigned long long total;
        unsigned long long free;
        unsigned long long used;
    };
    using InitFn = int (*)();
    using CountFn = int (*)(unsigned int*);
    using HandleFn = int (*)(unsigned int, Device*);
    using UtilizationFn = int (*)(Device, Utilization*);
    using MemoryFn = int (*)(Device, Memory*);

    template <class F>
    static F symbol(void* lib, const char* name) {
        return reinterpret_cast<F>(::dlsym(lib, name));
    }

    static std::unique_ptr<Nvml> load() {
        Library lib(::dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL));
        if (!lib) return nullptr;
        auto n = std::make_unique<Nvml>(Key{});
        const auto init = symbol<InitFn>(lib.get(), "nvmlInit_v2");
        n->count_ = symbol<CountFn>(lib.get(), "nvmlDeviceGetCount_v2");
        n->handle_ = symbol<HandleFn>(lib.get(), "nvmlDeviceGetHandleByIndex_v2");
        n->utilization_ = symbol<UtilizationFn>(lib.get(), "nvmlDeviceGetUtilizationRates");
        n->memory_ = symbol<MemoryFn>(lib.get(), "nvmlDeviceGetMemoryInfo");
        const auto shutdown = symbol<InitFn>(lib.get(), "nvmlShutdown");
        if (!init || !n->count_ || !n->handle_ || !n->utilization_ || !n->memory_ || !shutdown) return nullptr;
        if (init() != 0) return nullptr;
        n->shutdown_ = shutdown;
        n->lib_ = std::move(lib);
        return n;
    }

    // Declared first so that it is destroyed last, after the shutdown call.
    Library lib_;
    InitFn shutdown_ = nullptr;
    CountFn count_ = nullptr;
    HandleFn handle_ = nullptr;
    UtilizationFn utilization_ = nullptr;
    MemoryFn memory_ = nullptr;
};

struct Accelerator {
    enum class Kind : std::uint8_t { vendor, drm_card, accel } kind = Kind::drm_card;
    std::uint32_t vendor_index = 0;
    std::string dir;     // <sys>/class/drm/cardN or <sys>/class/accel/accelN
    std::string device;  // the real path of dir/device: what card and render nodes share
};

// One DRM file descriptor of one process, below the accelerator it belongs to.
struct DrmFile {
    int pid = 0;
    std::uint64_t registry_id = 0;
    bool has_client_id = false;
    std::vector<RegistryValue> engines;
};

class DrmChild final : public RegistryChild {
public:
    DrmChild(const DrmFile& file, const std::string& proc) : file_(file), proc_(proc) {}
    bool conforms_to_user_client() override { return file_.has_client_id; }
    std::uint64_t registry_id() override { return file_.registry_id; }
    // "pid N, comm", the platform's own form; read now, so a holder that has exited is absent.
    RegistryValue creator() override {
        auto comm = read_small_file(proc_ + "/" + std::to_string(file_.pid) + "/comm");
        if (!comm) return {};
        if (!comm->empty() && comm->back() == '\n') comm->pop_back();
        return RegistryValue::make_text("pid " + std::to_string(file_.pid) + ", " + *comm);
    }
    RegistryValue app_usage() override { return RegistryValue::make_array(file_.engines); }

private:
    const DrmFile& file_;
    const std::string& proc_;
};

class DrmList final : public AcceleratorList {
public:
    DrmList(const DrmRoots& roots, std::vector<Accelerator> accelerators)
        : roots_(roots), accelerators_(std::move(accelerators)) {}

    std::size_t size() override { return accelerators_.size(); }

    bool for_each_child(std::size_t index, const std::function<void(RegistryChild&)>& visit) override {
        if (!scanned_) {
            scan_ok_ = scan();
            scanned_ = true;
        }
        if (!scan_ok_) return false;
        const auto it = files_.find(index);
        if (it == files_.end()) return true;
        for (const auto& file : it->second) {
            DrmChild child(file, roots_.proc);
            visit(child);
        }
        return true;
    }

    RegistryValue performance_statistics(std::size_t index) override {
        const Accelerator& a = accelerators_.at(index);
        if (a.kind == Accelerator::Kind::vendor) {
            const Nvml* nvml = Nvml::get();
            return nvml ? nvml->statistics(a.vendor_index) : RegistryValue{};
        }
        // amdgpu publishes both figures in sysfs; other drivers have no stateless figure.
        std::vector<RegistryEntry> entries;
        const auto figure = [&](const char* file, const char* key) {
            const auto text = read_small_file(a.dir + "/device/" + file);
            if (!text) return;
            const auto v = parse_decimal<std::int64_t>(trim(*text));
            entries.emplace_back(key, RegistryValue::make_integer(v.value_or(0), v.has_value()));
        };
        figure("gpu_busy_percent", kUtilizationKey);
        figure("mem_info_vram_used", kMemoryKey);
        return RegistryValue::make_dictionary(std::move(entries));
    }

private:
    // Every process's DRM files, grouped by accelerator in pid then fd order. False when the
    // process list itself cannot be read; a process that is gone or not ours is skipped.
    bool scan() {
        auto names = list_dir(roots_.proc);
        if (!names) return false;
        std::vector<int> pids;
        for (const auto& n : *names)
            if (const auto pid = parse_decimal<int>(n); pid && *pid > 0) pids.push_back(*pid);
        std::sort(pids.begin(), pids.end());

        const Majors majors = read_majors(roots_.proc);
        std::map<dev_t, std::optional<std::size_t>> owner_of;  // device number -> accelerator
        for (const int pid : pids) {
            const std::string base = roots_.proc + "/" + std::to_string(pid);
            const auto fd_names = list_dir(base + "/fd");
            if (!fd_names) continue;
            std::vector<int> fds;
            for (const auto& n : *fd_names)
                if (const auto fd = parse_decimal<int>(n); fd && *fd >= 0) fds.push_back(*fd);
            std::sort(fds.begin(), fds.end());
            for (const int fd : fds) {
                const std::string name = std::to_string(fd);
                const std::string link = base + "/fd/" + name;
                // Device nodes live under /dev: sockets, pipes and files (perhaps on a hung
                // network mount) are passed over without a stat.
                std::array<char, 5> target{};
                if (::readlink(link.c_str(), target.data(), target.size()) < 5 ||
                    std::string_view(target.data(), 5) != "/dev/")
                    continue;
                struct stat st {};
                if (::stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
                const unsigned major_number = major(st.st_rdev);
                const bool drm = majors.drm != 0 && major_number == majors.drm;
                const bool accel = majors.accel && major_number == *majors.accel;
                if (!drm && !accel) continue;
                auto [slot, fresh] = owner_of.try_emplace(st.st_rdev);
                if (fresh) slot->second = accelerator_of(st.st_rdev, drm);
                if (!slot->second) continue;
                const auto text = read_small_file(base + "/fdinfo/" + name);
                if (!text) continue;
                FdInfo info = parse_fdinfo(*text);
                DrmFile file;
                file.pid = pid;
                file.has_client_id = info.client_id.has_value();
                // Client IDs are global on recent kernels and per device on older ones: the
                // accelerator's index in the top 16 bits keeps them apart either way.
                if (info.client_id)
                    file.registry_id = (static_cast<std::uint64_t>(*slot->second & 0xFFFFu) << 48) |
                                       (*info.client_id & kClientIdMask);
                file.engines = std::move(info.engines);
                files_[*slot->second].push_back(std::move(file));
            }
        }
        return true;
    }

    // Card N and renderD(128+N) are different minors of one device: /sys/dev/char/M:m/device
    // resolves to the same folder as /sys/class/drm/cardN/device.
    std::optional<std::size_t> accelerator_of(dev_t rdev, bool drm) const {
        const std::string node = roots_.sys + "/dev/char/" + std::to_string(major(rdev)) + ":" +
                                 std::to_string(minor(rdev)) + "/device";
        const std::string device = real_path(node);
        if (device.empty()) return std::nullopt;
        const auto kind = drm ? Accelerator::Kind::drm_card : Accelerator::Kind::accel;
        for (std::size_t i = 0; i < accelerators_.size(); ++i)
            if (accelerators_[i].kind == kind && accelerators_[i].device == device) return i;
        return std::nullopt;
    }

    const DrmRoots& roots_;
    std::vector<Accelerator> accelerators_;
    bool scanned_ = false;
    bool scan_ok_ = false;
    std::map<std::size_t, std::vector<DrmFile>> files_;
};

// The device nodes of one class folder, in number order. A missing folder means the module is
// not loaded: no devices. Any other failure to read it fails the listing.
bool add_class_devices(const std::string& folder, std::string_view prefix, Accelerator::Kind kind,
                       std::vector<Accelerator>& out) {
    const auto names = list_dir(folder);
    if (!names) return errno == ENOENT;
    for (const auto& name : numbered_entries(*names, prefix)) {
        Accelerator a;
        a.kind = kind;
        a.dir = folder + "/" + name;
        a.device = real_path(a.dir + "/device");
        out.push_back(std::move(a));
    }
    return true;
}

std::string driver_of(const Accelerator& a) {
    const std::string driver = real_path(a.dir + "/device/driver");
    const auto slash = driver.rfind('/');
    return slash == std::string::npos ? driver : driver.substr(slash + 1);
}

class DrmRegistry final : public GpuRegistry {
public:
    explicit DrmRegistry(DrmRoots roots) : roots_(std::move(roots)) {}

    std::unique_ptr<AcceleratorList> accelerators(GpuQuery query) override {
        std::vector<Accelerator> cards;
        if (!add_class_devices(roots_.sys + "/class/drm", "card", Accelerator::Kind::drm_card, cards)) return nullptr;
        std::vector<Accelerator> list;
        if (query == GpuQuery::clients) {
            list = std::move(cards);
            if (!add_class_devices(roots_.sys + "/class/accel", "accel", Accelerator::Kind::accel, list))
                return nullptr;
        } else {
            // The vendor library's devices first; their DRM cards would only repeat them.
            const Nvml* nvml = roots_.vendor_library ? Nvml::get() : nullptr;
            const std::uint32_t n = nvml ? nvml->device_count() : 0;
            for (std::uint32_t i = 0; i < n; ++i) {
                Accelerator a;
                a.kind = Accelerator::Kind::vendor;
                a.vendor_index = i;
                list.push_back(std::move(a));
            }
            for (auto& card : cards)
                if (driver_of(card) != "nvidia") list.push_back(std::move(card));
        }
        return std::make_unique<DrmList>(roots_, std::move(list));
    }

private:
    DrmRoots roots_;
};

}  // namespace

std::unique_ptr<GpuRegistry> make_drm_registry(DrmRoots roots) { return std::make_unique<DrmRegistry>(std::move(roots)); }

GpuRegistry& live_gpu_registry() {
    static DrmRegistry registry{DrmRoots{}};
    return registry;
}

}  // namespace zelk
