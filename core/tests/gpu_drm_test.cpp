// The Linux GPU registry over recorded /proc and /sys trees in a temporary folder: DRM
// clients from fdinfo, their grouping by device, and the sysfs device figures.
#if defined(__linux__)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "iokit_gpu.hpp"
#include "platform/linux/drm_registry.hpp"

namespace zelk {
namespace {

namespace fs = std::filesystem;

class TempTree {
public:
    TempTree() {
        std::string pattern = (fs::temp_directory_path() / "zelk-drm-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~TempTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    fs::path path(const std::string& rel) const { return root_ / rel; }
    void write(const std::string& rel, const std::string& content) const {
        fs::create_directories(path(rel).parent_path());
        std::ofstream(path(rel), std::ios::binary) << content;
    }
    void link(const std::string& rel, const fs::path& target) const {
        fs::create_directories(path(rel).parent_path());
        fs::create_symlink(target, path(rel));
    }
    void mkdir(const std::string& rel) const { fs::create_directories(path(rel)); }
    DrmRoots roots() const { return DrmRoots{path("proc").string(), path("sys").string(), false}; }

private:
    fs::path root_;
};

std::string dev_char(const char* device) {
    struct stat st {};
    if (::stat(device, &st) != 0) throw std::runtime_error(std::string("no ") + device);
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

unsigned dev_major(const char* device) {
    struct stat st {};
    if (::stat(device, &st) != 0) throw std::runtime_error(std::string("no ") + device);
    return major(st.st_rdev);
}

std::string fdinfo(const std::string& drm_lines) {
    return "pos:\t0\nflags:\t02100002\nmnt_id:\t26\nino:\t1037\n" + drm_lines;
}

// Two GPUs as the kernel shows them. Device nodes cannot be made here, so the processes' DRM
// descriptors point at /dev/null (card0) and /dev/zero (card1), and /proc/devices names their
// major "drm"; /dev/full has no DRM device behind it.
void build_two_gpus(const TempTree& t) {
    t.write("proc/devices", "Character devices:\n  4 tty\n" + std::to_string(dev_major("/dev/null")) +
                                " drm\n\nBlock devices:\n  8 sd\n");
    t.mkdir("sys/devices/pci0/0000:01:00.0");
    t.mkdir("sys/devices/pci0/0000:02:00.0");
    t.link("sys/class/drm/card0/device", t.path("sys/devices/pci0/0000:01:00.0"));
    t.link("sys/class/drm/card1/device", t.path("sys/devices/pci0/0000:02:00.0"));
    t.mkdir("sys/class/drm/card0-DP-1");       // a connector, no accelerator
    t.link("sys/class/drm/renderD128", "card0");  // a render node, listed through its card
    t.link("sys/dev/char/" + dev_char("/dev/null") + "/device", t.path("sys/devices/pci0/0000:01:00.0"));
    t.link("sys/dev/char/" + dev_char("/dev/zero") + "/device", t.path("sys/devices/pci0/0000:02:00.0"));

    // pid 100: one client on card0 with several engines, a plain file, the same client id on
    // card1 (another device, so another client), and a descriptor with no DRM device behind it.
    t.write("proc/100/comm", "glxgears\n");
    t.link("proc/100/fd/3", "/dev/null");
    t.write("proc/100/fdinfo/3", fdinfo("drm-driver:\ti915\ndrm-client-id:\t7\ndrm-engine-render:\t1000 ns\n"
                                        "drm-engine-capacity-render:\t2\ndrm-engine-copy:\t20 ns\n"
                                        "drm-engine-video:\t300 ns\ndrm-cycles-render:\t99999\n"
                                        "drm-total-resident-system0:\t4096 KiB\n"));
    t.write("proc/100/somefile", "x");
    t.link("proc/100/fd/4", t.path("proc/100/somefile"));
    t.write("proc/100/fdinfo/4", fdinfo(""));
    t.link("proc/100/fd/10", "/dev/zero");
    t.write("proc/100/fdinfo/10", fdinfo("drm-driver:\tamdgpu\ndrm-client-id:\t7\ndrm-engine-gfx:\t5 ns\n"));
    t.link("proc/100/fd/11", "/dev/full");
    t.write("proc/100/fdinfo/11", fdinfo("drm-client-id:\t99\ndrm-engine-gfx:\t5 ns\n"));
    // pid 150: a DRM descriptor of an older kernel, without a client id.
    t.write("proc/150/comm", "old\n");
    t.link("proc/150/fd/5", "/dev/null");
    t.write("proc/150/fdinfo/5", fdinfo("drm-driver:\ti915\n"));
    // pid 200, forked from 100: the inherited client 7 again, and its own client 9 with no
    // engine keys (a cycles-only driver) and one engine value too big to read.
    t.write("proc/200/comm", "worker\n");
    t.link("proc/200/fd/3", "/dev/null");
    t.write("proc/200/fdinfo/3", fdinfo("drm-driver:\ti915\ndrm-client-id:\t7\ndrm-engine-render:\t1000 ns\n"));
    t.link("proc/200/fd/6", "/dev/null");
    t.write("proc/200/fdinfo/6", fdinfo("drm-driver:\txe\ndrm-client-id:\t9\ndrm-cycles-rcs:\t5\n"
                                        "drm-engine-bogus:\t18446744073709551615 ns\n"));
    // pid 300 has exited between the listing and the read of its name.
    t.link("proc/300/fd/3", "/dev/null");
    t.write("proc/300/fdinfo/3", fdinfo("drm-client-id:\t11\ndrm-engine-render:\t1 ns\n"));
    // pid 400 is not ours: no descriptor folder to read. "self" is no pid.
    t.write("proc/400/comm", "secret\n");
    t.mkdir("proc/self");
}

TEST(DrmRegistry, RecordedTreeGivesOneRecordPerClientInDeviceThenPidOrder) {
    TempTree t;
    build_two_gpus(t);
    const auto registry = make_drm_registry(t.roots());
    const auto got = collect_gpu_clients(*registry);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].creator, "pid 100, glxgears");  // the first holder; 200 inherited it
    EXPECT_EQ(got[0].registry_id, 7u);
    EXPECT_EQ(got[0].gpu_time, 1320u);  // engines summed; capacity and cycles left out
    EXPECT_EQ(got[1].creator, "pid 200, worker");
    EXPECT_EQ(got[1].registry_id, 9u);
    EXPECT_EQ(got[1].gpu_time, 0u);
    EXPECT_EQ(got[2].creator, "pid 100, glxgears");
    EXPECT_EQ(got[2].registry_id, (std::uint64_t{1} << 48) | 7u);
    EXPECT_EQ(got[2].gpu_time, 5u);
}

TEST(DrmRegistry, DeviceFiguresFromSysfsSkipNvidiaCards) {
    TempTree t;
    build_two_gpus(t);
    // card0: an Intel GPU with no figures; card1: NVIDIA's DRM card, which the vendor library
    // answers for; card2: amdgpu with both files.
    t.mkdir("sys/bus/pci/drivers/nvidia");
    t.link("sys/devices/pci0/0000:02:00.0/driver", t.path("sys/bus/pci/drivers/nvidia"));
    t.write("sys/devices/pci0/0000:02:00.0/gpu_busy_percent", "77\n");
    t.write("sys/devices/pci0/0000:03:00.0/gpu_busy_percent", "12\n");
    t.write("sys/devices/pci0/0000:03:00.0/mem_info_vram_used", "268435456\n");
    t.link("sys/class/drm/card2/device", t.path("sys/devices/pci0/0000:03:00.0"));
    const auto registry = make_drm_registry(t.roots());
    const GpuStats s = select_gpu_stats(*registry);
    EXPECT_EQ(s.utilization, 12);
    EXPECT_EQ(s.memory, 268435456);

    t.write("sys/devices/pci0/0000:01:00.0/gpu_busy_percent", "0\n");
    t.write("sys/devices/pci0/0000:01:00.0/mem_info_vram_used", "garbage\n");
    const GpuStats again = select_gpu_stats(*registry);
    EXPECT_EQ(again.utilization, 0);
    EXPECT_EQ(again.memory, 268435456);
}

TEST(DrmRegistry, MissingAndUnreadableTrees) {
    {
        SCOPED_TRACE("no DRM module: no accelerator, no failure");
        TempTree t;
        t.mkdir("proc");
        t.mkdir("sys/class");
        const auto registry = make_drm_registry(t.roots());
        EXPECT_EQ(encode_gpu_clients(collect_gpu_clients(*registry)).size(), 12u);
        const GpuStats s = select_gpu_stats(*registry);
        EXPECT_EQ(s.utilization, -1);
        EXPECT_EQ(s.memory, -1);
    }
    {
        SCOPED_TRACE("the class folder cannot be read");
        TempTree t;
        t.write("sys/class/drm", "not a folder");
        const auto registry = make_drm_registry(t.roots());
        EXPECT_THROW(collect_gpu_clients(*registry), MeasurementFailed);
        EXPECT_THROW(select_gpu_stats(*registry), MeasurementFailed);
    }
    {
        SCOPED_TRACE("a GPU but no process list");
        TempTree t;
        build_two_gpus(t);
        DrmRoots roots = t.roots();
        roots.proc = t.path("nowhere").string();
        EXPECT_THROW(collect_gpu_clients(*make_drm_registry(roots)), MeasurementFailed);
    }
    {
        SCOPED_TRACE("DRM core not loaded: no descriptor is a DRM one");
        TempTree t;
        build_two_gpus(t);
        t.write("proc/devices", "Character devices:\n  4 tty\n");
        EXPECT_TRUE(collect_gpu_clients(*make_drm_registry(t.roots())).empty());
    }
}

}  // namespace
}  // namespace zelk
#endif
