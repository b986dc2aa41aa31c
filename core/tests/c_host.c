/* A host as the application is one: C, the public header only, the library loaded with dlopen.
 * Usage: c_host PATH_TO_LIBRARY. Prints each failed check and exits non-zero if any failed. */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zelk_core.h"
#include "zelk_stream.h"

#ifdef __APPLE__
#define LOOPBACK "lo0"
/* macOS gives programs not its own counters cut to 32 bits, which wrap: compare modulo 2^32. */
#define GREW_BY(before, after, n) ((uint32_t)((after) - (before)) >= (n))
#else
#define LOOPBACK "lo"
#define GREW_BY(before, after, n) ((after) >= (before) + (n))
#endif

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static void *need(void *lib, const char *name) {
    void *p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "missing export %s\n", name);
        ++failures;
    }
    return p;
}

/* Sends `count` UDP datagrams of 1,000 bytes to a socket bound on 127.0.0.1. */
static void loopback_traffic(int count) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    char payload[1000];
    int i;
    memset(&addr, 0, sizeof addr);
    memset(payload, 'x', sizeof payload);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK(bind(rx, (struct sockaddr *)&addr, sizeof addr) == 0);
    CHECK(getsockname(rx, (struct sockaddr *)&addr, &len) == 0);
    for (i = 0; i < count; ++i) sendto(tx, payload, sizeof payload, 0, (struct sockaddr *)&addr, sizeof addr);
    close(tx);
    close(rx);
}

/* A snapshot decoded with the public decoder: well-formed, and this process in it with its
 * arguments read. */
static void snapshot_has_self(zelk_core_snapshot_fn snapshot, zelk_core_free_fn release) {
    uint8_t *buf = NULL;
    size_t len = 0;
    zelk_snapshot_view snap;
    zelk_process_view proc;
    uint32_t i, valid = 0, self = 0;
    CHECK(snapshot(&buf, &len) == ZELK_CORE_OK);
    CHECK(zelk_snapshot_open(&snap, buf, len) == ZELK_STREAM_OK);
    for (i = 0; i < snap.record_count; ++i) {
        CHECK(zelk_snapshot_record(&snap, i, &proc) == ZELK_STREAM_OK);
        if (proc.flags & ZELK_SNP_FLAG_INFO) ++valid;
        if (proc.pid == getpid())
            self += (proc.flags & ZELK_SNP_FLAG_ARGV) && proc.ppid == (uint32_t)getppid() && proc.command_length > 0;
    }
    CHECK(self == 1 && valid == snap.valid_count && snap.mem_total > 0);
    release(buf, len);
}

/* The GPU client stream walks to its end (no GPU: no records). */
static void gpu_stream_walks(zelk_core_gpu_clients_fn gpu_clients, zelk_core_free_fn release) {
    uint8_t *buf = NULL;
    size_t len = 0;
    zelk_gpu_view gpu;
    zelk_gpu_cursor at;
    zelk_gpu_client_view client;
    uint32_t seen = 0;
    CHECK(gpu_clients(&buf, &len) == ZELK_CORE_OK);
    CHECK(zelk_gpu_open(&gpu, buf, len) == ZELK_STREAM_OK);
    zelk_gpu_first(&gpu, &at);
    while (zelk_gpu_next(&at, &client) == 1) ++seen;
    CHECK(seen == gpu.record_count && at.offset == len);
    release(buf, len);
}

int main(int argc, char **argv) {
    void *lib;
    zelk_core_contract_fn contract;
    zelk_core_iface_bytes_fn iface_bytes;
    zelk_core_free_fn release;
    zelk_core_snapshot_fn snapshot;
    zelk_core_gpu_clients_fn gpu_clients;
    uint64_t rx = 11, tx = 22, rx2 = 0, tx2 = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: c_host LIBRARY\n");
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    /* POSIX: dlsym results are stored through an object pointer (ISO C forbids the cast). */
    *(void **)(&contract) = need(lib, "zelk_core_contract");
    *(void **)(&iface_bytes) = need(lib, "zelk_core_iface_bytes");
    *(void **)(&release) = need(lib, "zelk_core_free");
    *(void **)(&snapshot) = need(lib, "zelk_core_snapshot");
    *(void **)(&gpu_clients) = need(lib, "zelk_core_gpu_clients");
    need(lib, "zelk_core_gpu_stats");
    need(lib, "zelk_core_selftest");
    if (failures) return 1;

    CHECK(contract() == ZELK_CORE_CONTRACT);

    /* Null arguments: -3, and the non-null outputs keep their contents. */
    CHECK(iface_bytes(NULL, &rx, &tx) == ZELK_CORE_NULL_POINTER);
    CHECK(iface_bytes(LOOPBACK, NULL, &tx) == ZELK_CORE_NULL_POINTER);
    CHECK(iface_bytes(LOOPBACK, &rx, NULL) == ZELK_CORE_NULL_POINTER);
    CHECK(rx == 11 && tx == 22);

    /* No such interface: 1, outputs untouched. */
    CHECK(iface_bytes("zelk-no-such0", &rx, &tx) == ZELK_CORE_NO_SUCH_INTERFACE);
    CHECK(iface_bytes("", &rx, &tx) == ZELK_CORE_NO_SUCH_INTERFACE);
    CHECK(iface_bytes("lo\xff", &rx, &tx) == ZELK_CORE_NO_SUCH_INTERFACE);
    CHECK(iface_bytes("\xc3(", &rx, &tx) == ZELK_CORE_NO_SUCH_INTERFACE);
    CHECK(rx == 11 && tx == 22);

    /* The loopback interface: counters that grow with loopback traffic. */
    CHECK(iface_bytes(LOOPBACK, &rx, &tx) == ZELK_CORE_OK);
    loopback_traffic(50);
    CHECK(iface_bytes(LOOPBACK, &rx2, &tx2) == ZELK_CORE_OK);
    CHECK(GREW_BY(rx, rx2, 50000));
    CHECK(GREW_BY(tx, tx2, 50000));

    snapshot_has_self(snapshot, release);
    gpu_stream_walks(gpu_clients, release);

    CHECK(contract() == 1);
    dlclose(lib);
    if (failures == 0) printf("c_host: all checks passed\n");
    return failures ? 1 : 0;
}
