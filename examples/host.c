/* An example host of libzelk_core: loads the library with dlopen, takes a snapshot and prints
 * its busiest processes as a table, then lists the GPU clients. It uses zelk_core.h for the
 * calls and zelk_stream.h to read both streams, and nothing else of the project.
 * Usage: zelk_example_host [LIBRARY] (default: the library of the tree it was built against). */
#include <dlfcn.h>
#include <inttypes.h>
#include <stdio.h>
#include <time.h>

#include <zelk_core.h>
#include <zelk_stream.h>

#define ROWS 10
#define COMMAND_WIDTH 60

struct api {
    zelk_core_contract_fn contract;
    zelk_core_free_fn release;
    zelk_core_snapshot_fn snapshot;
    zelk_core_gpu_clients_fn gpu_clients;
};

/* POSIX lets a dlsym result be stored through an object pointer; ISO C has no such cast. */
static int load(void *lib, const char *name, void *slot) {
    void *p = dlsym(lib, name);
    if (p == NULL) fprintf(stderr, "the library has no %s\n", name);
    *(void **)slot = p;
    return p != NULL;
}

/* Whether process a sorts before b: more CPU, then more resident memory. */
static int busier(const zelk_process_view *a, const zelk_process_view *b) {
    return a->cpu_usage != b->cpu_usage ? a->cpu_usage > b->cpu_usage : a->resident_bytes > b->resident_bytes;
}

/* The indices of the ROWS busiest processes, busiest first. */
static uint32_t busiest(const zelk_snapshot_view *snap, uint32_t top[ROWS]) {
    zelk_process_view a, b;
    uint32_t n = 0, i, k;
    for (i = 0; i < snap->record_count; ++i) {
        zelk_snapshot_record(snap, i, &a);
        if (!(a.flags & ZELK_SNP_FLAG_INFO)) continue; /* a process that exited meanwhile */
        if (n == ROWS) {
            zelk_snapshot_record(snap, top[ROWS - 1], &b);
            if (!busier(&a, &b)) continue;
            k = ROWS - 1;
        } else {
            k = n++;
        }
        for (; k > 0; --k) {
            zelk_snapshot_record(snap, top[k - 1], &b);
            if (!busier(&a, &b)) break;
            top[k] = top[k - 1];
        }
        top[k] = i;
    }
    return n;
}

static int show_snapshot(const struct api *api) {
    uint8_t *buf = NULL;
    size_t len = 0;
    zelk_snapshot_view snap;
    zelk_process_view p;
    uint32_t top[ROWS], n, i;
    const struct timespec second = {1, 0};
    int32_t code = api->snapshot(&buf, &len);
    int rc;
    /* On Linux CPU usage is measured between two collections: the first one only starts the
     * window, so take it, wait a second and show the next. */
    if (code == ZELK_CORE_OK) {
        api->release(buf, len);
        nanosleep(&second, NULL);
        code = api->snapshot(&buf, &len);
    }
    if (code != ZELK_CORE_OK) {
        fprintf(stderr, "zelk_core_snapshot: code %d\n", (int)code);
        return 0;
    }
    rc = zelk_snapshot_open(&snap, buf, len);
    if (rc != ZELK_STREAM_OK) {
        fprintf(stderr, "not a snapshot stream (rule %d)\n", rc);
        api->release(buf, len);
        return 0;
    }
    printf("snapshot: %" PRIu32 " processes (%" PRIu32 " readable), memory %.1f GiB, collected in %.2f ms\n",
           snap.record_count, snap.valid_count, (double)snap.mem_total / (1024.0 * 1024 * 1024),
           (double)snap.collect_ns / 1e6);
    printf("%7s %7s %6s %4s %6s %9s %8s  %-8s  %s\n", "PID", "PPID", "UID", "NI", "CPU%", "RSS MiB", "AGE s",
           "RUN", "COMMAND");
    n = busiest(&snap, top);
    for (i = 0; i < n; ++i) {
        zelk_snapshot_record(&snap, top[i], &p);
        printf("%7" PRId32 " %7" PRIu32 " %6" PRIu32 " %4" PRId32 " %6.1f %9.1f %8" PRId64 "  %-8.8s  %.*s\n",
               p.pid, p.ppid, p.uid, p.nice, 100.0 * p.cpu_usage / ZELK_CPU_SCALE,
               (double)p.resident_bytes / (1024.0 * 1024), snap.wall_sec - (int64_t)p.start_sec,
               p.session_id ? (const char *)p.session_id : "-",
               (int)(p.command_length < COMMAND_WIDTH ? p.command_length : COMMAND_WIDTH), (const char *)p.command);
    }
    api->release(buf, len); /* every view into it ends here */
    return 1;
}

static int show_gpu_clients(const struct api *api) {
    uint8_t *buf = NULL;
    size_t len = 0;
    zelk_gpu_view gpu;
    zelk_gpu_cursor at;
    zelk_gpu_client_view c;
    int32_t code = api->gpu_clients(&buf, &len);
    int rc;
    if (code != ZELK_CORE_OK) {
        fprintf(stderr, "zelk_core_gpu_clients: code %d\n", (int)code);
        return 0;
    }
    rc = zelk_gpu_open(&gpu, buf, len);
    if (rc != ZELK_STREAM_OK) {
        fprintf(stderr, "not a GPU client stream (rule %d)\n", rc);
        api->release(buf, len);
        return 0;
    }
    printf("GPU clients: %" PRIu32 "\n", gpu.record_count);
    zelk_gpu_first(&gpu, &at);
    while (zelk_gpu_next(&at, &c) == 1)
        printf("  %20" PRIu64 " %20" PRIu64 "  %.*s\n", c.registry_id, c.gpu_time, (int)c.creator_length,
               (const char *)c.creator);
    api->release(buf, len);
    return 1;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : ZELK_LIBRARY;
    struct api api;
    int ok;
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    if (!load(lib, "zelk_core_contract", &api.contract) || !load(lib, "zelk_core_free", &api.release) ||
        !load(lib, "zelk_core_snapshot", &api.snapshot) || !load(lib, "zelk_core_gpu_clients", &api.gpu_clients))
        return 1;
    if (api.contract() != ZELK_CORE_CONTRACT) {
        fprintf(stderr, "%s speaks contract %d, not %d\n", path, (int)api.contract(), ZELK_CORE_CONTRACT);
        return 1;
    }
    printf("%s: contract %d\n", path, ZELK_CORE_CONTRACT);
    ok = show_snapshot(&api);
    ok = show_gpu_clients(&api) && ok;
    dlclose(lib);
    return ok ? 0 : 1;
}
