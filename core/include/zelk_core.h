/* zelk_core.h — the C interface of libzelk_core, the metrics library.
 * A host loads the library at run time (dlopen) and calls these seven functions. */

/* Which file to load:
 * - Linux: "libzelk_core.so.1", the library's SONAME (the 1 is the contract version), through
 *   the loader's search or as the installed path ending in that name. Never the fully
 *   versioned file (libzelk_core.so.1.0.0: its name changes with every release) and never
 *   libzelk_core.so (a development link).
 * - macOS: "libzelk_core.dylib", whose install name is "@rpath/libzelk_core.dylib": the
 *   application bundles the file (for example in Contents/Frameworks) and loads it by its
 *   path, or by the install name from code whose run paths include that folder. The file name
 *   carries no version; its compatibility version is the contract version.
 * - From CMake, after find_package(zelk 1): $<TARGET_SONAME_FILE:zelk::core> is the full
 *   path of that file (libzelk_core.so.1 or libzelk_core.dylib), for example as a compile
 *   definition. From pkg-config: `pkg-config --variable=library zelk-core` gives the same
 *   path and `--variable=soname` the name for the loader's search.
 * After loading, a host checks that zelk_core_contract() returns ZELK_CORE_CONTRACT.
 *
 * Unloading with dlclose is supported once every call has returned and every result buffer is
 * released: the library starts no threads and keeps no thread-local data; its state (the
 * census's caches, and on Linux the handle of the NVIDIA management library when it loaded
 * one) is released by its destructors. Loaded again, it starts with empty caches.
 *
 * fork: a child forked while another thread is inside a call may find the library's internal
 * locks held; it must not call the library (POSIX allows only async-signal-safe calls there),
 * only exec. A child forked while no call runs may use the library; what the parent started
 * (a collection, a buffer) is the parent's, and the child releases any buffer it inherited
 * with zelk_core_free as usual. */
#ifndef ZELK_CORE_H
#define ZELK_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of the code-returning exports. No export returns -2 or a code below -4. */
#define ZELK_CORE_OK 0                    /* success; the out-locations were written */
#define ZELK_CORE_NO_SUCH_INTERFACE 1     /* zelk_core_iface_bytes only */
#define ZELK_CORE_PANIC (-1)              /* an internal fault was contained; nothing was done */
#define ZELK_CORE_NULL_POINTER (-3)       /* a pointer argument was null; nothing was done */
#define ZELK_CORE_MEASUREMENT_FAILED (-4) /* a platform query failed or gave nothing usable */

/* After every code the library stays usable: a failed call leaves nothing behind that a later
 * call depends on.
 * - ZELK_CORE_NO_SUCH_INTERFACE: no interface has that name now; a retry helps only once one
 *   appears (if_nameindex(3) lists the current names).
 * - ZELK_CORE_PANIC: a fault was contained: memory ran out, a kernel reply broke a bound the
 *   library checks, or a bug. A retry is safe and may succeed; the same call giving -1 again
 *   and again is a bug to report.
 * - ZELK_CORE_NULL_POINTER: the host passed a null pointer; the same call gives the same code.
 * - ZELK_CORE_MEASUREMENT_FAILED: the system refused or failed a query; retry later (at the
 *   next sample). It happens:
 *     zelk_core_snapshot: when the machine's memory size cannot be read (macOS: sysctl
 *       HW_MEMSIZE; Linux: sysinfo), the process list cannot be read (macOS: proc_listallpids;
 *       Linux: listing /proc) or kept growing through 8 ever larger reads, or not one process
 *       could be read;
 *     zelk_core_gpu_clients, zelk_core_gpu_stats: when the GPUs cannot be listed (macOS:
 *       matching the IOAccelerator services fails; Linux: /sys/class/drm, or for the clients
 *       /sys/class/accel, exists but cannot be read), and for the clients when one GPU's
 *       clients cannot be listed (macOS: its registry children; Linux: /proc cannot be listed);
 *     zelk_core_iface_bytes: when the routing query fails (macOS: sysctl NET_RT_IFLIST2;
 *       Linux: the rtnetlink request) or its reply lacks an interface that still exists. */

/* The contract version these declarations describe. */
#define ZELK_CORE_CONTRACT 1

/* Rules shared by the code-returning exports:
 * - A null pointer argument gives ZELK_CORE_NULL_POINTER before anything else is done.
 * - Out-locations are written only when the code is ZELK_CORE_OK; for any other code they keep
 *   whatever they held.
 * - Any function may be called from any thread, also at the same time.
 * - The library writes no messages: the code is the whole report. */

/* Returns the contract version, 1. Takes no lock, allocates nothing, cannot fail. */
int32_t zelk_core_contract(void);

/* Releases a result buffer handed out by zelk_core_snapshot or zelk_core_gpu_clients, given the
 * address and the length the export stored. Call it exactly once per buffer, from any thread.
 * A null buffer or a zero length does nothing. */
void zelk_core_free(uint8_t *buffer, size_t length);

/* A census of every process, as one "ZELKSNP1" stream (little-endian, self-describing; its
 * layout, what a reader must reject, and a decoder are in zelk_stream.h).
 * On ZELK_CORE_OK, *out_len holds the stream's length and *out_ptr a buffer of exactly that
 * length, which the caller owns and releases with zelk_core_free(*out_ptr, *out_len).
 * Codes: 0, -1, -3, -4.
 *
 * Notes on what the records show:
 * - A process whose task information the kernel refuses (on macOS, another user's process when
 *   the host is not root) is shown from the process table: flags 1, its ids, nice value, start
 *   time, terminal and "(name)" as command, with resident size and CPU usage 0. Only a process
 *   that has exited gets a placeholder (flags 0, empty command).
 * - On macOS the kernel's argument area cannot tell arguments wiped with NULs (or empty
 *   arguments at the front) from the padding before the first argument, so such a process's
 *   first environment strings may show as its command there, with flags 3. On Linux such a
 *   process shows "(name)" with flags 1, and empty arguments at the front are left out.
 * - A process that replaces its program or changes its effective uid shows the change by the
 *   next collection, also when it used no CPU time. */
int32_t zelk_core_snapshot(uint8_t **out_ptr, size_t *out_len);

/* GPU time per GPU client connection, as one "ZELKGPU1" stream (layout and decoder in
 * zelk_stream.h); ownership as for
 * zelk_core_snapshot. A machine without a GPU gives a stream with no records and code 0.
 * Codes: 0, -1, -3, -4. */
int32_t zelk_core_gpu_clients(uint8_t **out_ptr, size_t *out_len);

/* GPU device figures: utilisation in percent and GPU memory in use in bytes, each -1 when the
 * machine does not report it. Codes: 0, -1, -3, -4. */
/* With several GPUs, each figure comes from the first GPU that reports it (so the two may come
 * from different GPUs): on macOS the IOAccelerator services in the registry's matching order;
 * on Linux the devices of the NVIDIA management library (libnvidia-ml.so.1, when it loads) in
 * its order, then the DRM cards of other drivers (/sys/class/drm/cardN) by number. */
int32_t zelk_core_gpu_stats(int64_t *out_utilization, int64_t *out_memory);

/* The kernel's byte counters of the network interface named `name` (NUL-terminated UTF-8, used
 * unchanged): total bytes received and sent since the interface came up.
 * Codes: 0; ZELK_CORE_NO_SUCH_INTERFACE when no interface has that name (also for an empty name
 * or one that is not valid UTF-8); -1, -3, -4.
 *
 * On macOS the kernel gives programs that are not Apple's own these counters rounded down to a
 * multiple of 1 KiB and cut to 32 bits: they wrap at 4 GiB. A host that turns two readings into
 * traffic must compute the difference modulo 2^32 ((uint32_t)(now - before)) there, and sample
 * often enough that an interface cannot move 4 GiB between two readings. On Linux the counters
 * are the kernel's full 64-bit byte counts. */
/* Interface names are the system's own, as if_nameindex(3) lists them (en0, lo0, utun3 on
 * macOS; lo, eth0 on Linux): the library looks the name up with if_nametoindex(3). */
int32_t zelk_core_iface_bytes(const char *name, uint64_t *out_received, uint64_t *out_sent);

/* Checks the stream codec, the session scan, the visible form and a live snapshot of the
 * calling process. Returns 1 when every check passes, otherwise 0 (also after a contained
 * internal fault). */
/* The live check takes a full census of the machine, like zelk_core_snapshot: about 20 us per
 * process, 95 ms with 5,300 processes. Call it from a background thread, not a UI thread. */
int32_t zelk_core_selftest(void);

/* Function pointer types, for hosts that look the exports up with dlsym. */
typedef int32_t (*zelk_core_contract_fn)(void);
typedef void (*zelk_core_free_fn)(uint8_t *, size_t);
typedef int32_t (*zelk_core_snapshot_fn)(uint8_t **, size_t *);
typedef int32_t (*zelk_core_gpu_clients_fn)(uint8_t **, size_t *);
typedef int32_t (*zelk_core_gpu_stats_fn)(int64_t *, int64_t *);
typedef int32_t (*zelk_core_iface_bytes_fn)(const char *, uint64_t *, uint64_t *);
typedef int32_t (*zelk_core_selftest_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* ZELK_CORE_H */
