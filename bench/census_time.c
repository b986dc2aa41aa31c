/* Times one census method repeatedly and prints one line of milliseconds per sample.
 * Usage: census_time snapshot LIBRARY COUNT [stat]
 *                                             first line: the cold call, then COUNT warm calls;
 *                                             with "stat", each warm line also times a stat-only
 *                                             floor pass right after the call (same load for both)
 *        census_time stat COUNT               /proc/PID/stat of every pid (the kernel floor)
 *        census_time full COUNT               stat, cmdline, environ and the exe link */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static char big[1 << 20];

static void read_file(int dir, const char *name) {
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (read(fd, big, sizeof big) < 0) { /* ignored: the floor only pays the cost */ }
    close(fd);
}

static int floor_pass(int full) {
    DIR *proc = opendir("/proc");
    struct dirent *d;
    int n = 0;
    char path[64];
    if (!proc) return -1;
    while ((d = readdir(proc)) != NULL) {
        if (d->d_name[0] < '1' || d->d_name[0] > '9') continue;
        snprintf(path, sizeof path, "%s/stat", d->d_name);
        read_file(dirfd(proc), path);
        if (full) {
            snprintf(path, sizeof path, "%s/cmdline", d->d_name);
            read_file(dirfd(proc), path);
            snprintf(path, sizeof path, "%s/environ", d->d_name);
            read_file(dirfd(proc), path);
            snprintf(path, sizeof path, "%s/exe", d->d_name);
            if (readlinkat(dirfd(proc), path, big, 4096) < 0) { /* ignored */ }
        }
        ++n;
    }
    closedir(proc);
    return n;
}

int main(int argc, char **argv) {
    if (argc >= 4 && strcmp(argv[1], "snapshot") == 0) {
        void *lib = dlopen(argv[2], RTLD_NOW);
        int32_t (*snap)(uint8_t **, size_t *);
        void (*release)(uint8_t *, size_t);
        int count = atoi(argv[3]), i;
        int paired = argc >= 5 && strcmp(argv[4], "stat") == 0;
        if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 1; }
        *(void **)&snap = dlsym(lib, "zelk_core_snapshot");
        *(void **)&release = dlsym(lib, "zelk_core_free");
        for (i = 0; i <= count; ++i) {
            uint8_t *p; size_t n;
            double t0 = now_ms();
            if (snap(&p, &n) != 0) return 1;
            double t1 = now_ms();
            release(p, n);
            if (paired && i > 0) {
                floor_pass(0);
                printf("%.3f %.3f\n", t1 - t0, now_ms() - t1);
            } else {
                printf("%.3f\n", t1 - t0);
            }
        }
        return 0;
    }
    if (argc >= 3 && (strcmp(argv[1], "stat") == 0 || strcmp(argv[1], "full") == 0)) {
        int full = argv[1][0] == 'f', count = atoi(argv[2]), i;
        for (i = 0; i < count; ++i) {
            double t0 = now_ms();
            floor_pass(full);
            printf("%.3f\n", now_ms() - t0);
        }
        return 0;
    }
    fprintf(stderr, "usage: census_time snapshot LIB COUNT [stat] | stat COUNT | full COUNT\n");
    return 2;
}
