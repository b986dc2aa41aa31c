/* zelk_stream.h — the two byte streams of libzelk_core, byte for byte, and a decoder for them.
 *
 * zelk_core_snapshot returns a "ZELKSNP1" stream (a census of every process) and
 * zelk_core_gpu_clients a "ZELKGPU1" stream (GPU time per GPU client connection); see
 * zelk_core.h for the calls, the return codes and the buffer ownership. This header documents
 * both layouts completely and holds a decoder for each: header-only C99 (it also compiles as
 * C++), no allocation, no global state, no library call; it reads the stream where it lies,
 * checks every offset and length against the buffer before it reads, and never reads outside
 * it. It accepts exactly the streams the library's own decoders accept and reads the same
 * values from them. A host in another language can port it field for field.
 *
 * ============================================================================================
 * Conventions shared by both streams
 * ============================================================================================
 * - Integers are little-endian, fixed-width and unaligned: a field may start at any byte, so
 *   read it byte by byte (or with an unaligned load), never through a cast pointer.
 * - There is no padding anywhere: between fields, records or texts.
 * - An 8-byte ASCII magic comes first. It names the format and its version together.
 * - Texts are raw bytes with an explicit unsigned 32-bit length and no terminator (no NUL
 *   follows them; copy them out before using them as C strings).
 * - The result buffer is exactly one stream long: its length, as the export stored it, is the
 *   stream's length.
 * - Signed fields are two's complement.
 *
 * ============================================================================================
 * The snapshot stream, "ZELKSNP1" (one process census)
 * ============================================================================================
 * Three parts: a 64-byte header, N records of 60 bytes, a string area.
 *
 * Header, 64 bytes at offset 0:
 *   offset size type  field               meaning
 *        0    8 ASCII magic               "ZELKSNP1" (5A 45 4C 4B 53 4E 50 31)
 *        8    4 u32   version             1
 *       12    4 u32   record count N      number of process records
 *       16    4 u32   record size         60
 *       20    4 u32   string area offset  64 + 60*N: where the string area starts
 *       24    8 u64   mem_total           physical memory of the machine, bytes
 *       32    8 i64   wall_sec            wall-clock time at the end of the collection, whole
 *                                         seconds since the Unix epoch (1970-01-01 00:00 UTC)
 *       40    4 u32   wall_usec           microseconds part of the same time, 0 to 999999
 *       44    4 u32   valid_count         records whose flags have ZELK_SNP_FLAG_INFO
 *       48    8 u64   collect_ns          how long the collection took, nanoseconds of a
 *                                         monotonic clock
 *       56    8 u64   reserved            0
 *
 * Record i, 60 bytes at offset 64 + 60*i (i from 0 to N-1), one per process, in the order the
 * collection found them (not sorted):
 *   offset size type  field               meaning
 *        0    4 i32   pid                 process id
 *        4    4 u32   ppid                parent process id
 *        8    4 u32   uid                 user id (effective) of the process
 *       12    4 i32   nice                nice value: -20 (highest priority) to 19 or 20
 *       16    4 u32   flags               bit set, below
 *       20    4 u32   cpu_usage           current CPU usage summed over the process's threads,
 *                                         in thousandths of one processor: 1000 = one fully
 *                                         busy processor (ZELK_CPU_SCALE), 2500 = two and a
 *                                         half; saturates at 0xFFFFFFFF. On both systems the
 *                                         process's CPU time over the last window between
 *                                         collections (see cpu_usage below).
 *       24    8 u64   resident_bytes      resident memory, bytes
 *       32    8 u64   start_sec           process start time, whole seconds since the Unix
 *                                         epoch (wall clock)
 *       40    4 u32   start_usec          microseconds part of the start time
 *       44    4 u32   command offset      where the command starts, counted from the string
 *                                         area's start (not from the stream's)
 *       48    4 u32   command length      bytes; 0 for an empty command
 *       52    4 u32   session offset      where the 36-byte session id starts, counted from the
 *                                         string area's start; 0xFFFFFFFF (ZELK_SNP_NO_SESSION)
 *                                         when the process has none
 *       56    4 u32   tty                 device number of the controlling terminal (macOS:
 *                                         its dev_t; Linux: tty_nr of /proc/PID/stat);
 *                                         0xFFFFFFFF (ZELK_SNP_NO_TTY) when there is none
 *
 * What the figures are (both systems unless one is named):
 *   cpu_usage: the CPU time of all the process's threads, those that ended included, over the
 *     latest window of at least 100 ms between collections (macOS: pti_total_user +
 *     pti_total_system over mach_absolute_time; Linux: the process's CPU clock). A process seen
 *     for the first time has no window until about 100 ms later: meanwhile it reads 0 on Linux
 *     and the sum of its live threads' scheduler estimates on macOS. The windows are kept per
 *     process and shared by every caller in the host process: fast or overlapping callers all
 *     see the latest window, not one of their own.
 *   resident_bytes: on macOS the task's resident size, not the footprint that the system's
 *     activity monitor shows.
 *   start_sec/start_usec: on Linux exact to the clock tick, but counted from the kernel's boot
 *     time, which it gives cut to the whole second, so a start time can read up to 1 s early.
 *     A step of the wall clock moves that boot time; the next collection counts from the new one.
 *   Linux kernel threads appear with flags 1 and their name, cut to 15 bytes, as "(name)".
 *
 * flags (bits 3 to 31 are 0; a reader ignores them):
 *   bit 0, value 1, ZELK_SNP_FLAG_INFO: the process's task information was read. Without it
 *     the record is a placeholder for a process that exited during the collection: pid set,
 *     tty 0xFFFFFFFF, every other number 0, empty command, no session id.
 *   bit 1, value 2, ZELK_SNP_FLAG_ARGV: the command was built from the process's argument
 *     vector. When clear, the command is the fallback "(" + process name + ")", or empty in a
 *     placeholder.
 *   bit 2, value 4, ZELK_SNP_FLAG_SESSION: the record carries an agent session id.
 *   The library writes only the combinations 0, 1, 3 and 7.
 *
 * String area: from the string area offset to the end of the stream. For each record in record
 * order it holds the command bytes, then, when the record has a session id, its 36 bytes. So
 * the first command offset is 0, a session offset equals its record's command offset plus
 * command length, and each command starts where the previous record's texts ended. The total
 * length is 64 + 60*N + the sum of (command length, + 36 with a session id). A reader finds
 * texts through the offsets only and must not assume this packing.
 *
 * The command: printable ASCII only (0x20 to 0x7E), one line. It is the process's arguments,
 * each in its visible form, joined by single spaces. The visible form of a byte string is the
 * string itself when every byte is printable; otherwise each byte b becomes:
 *   0x20 to 0x7E            b itself (a backslash or caret too, unescaped)
 *   0x09, 0x0A, 0xA0        a backslash and three octal digits: \011, \012, \240
 *   0x00 to 0x1F (others)   "^" and b + 0x40: ^@ for 0x00, ^A for 0x01, ^[ for 0x1B
 *   0x7F                    ^?
 *   0x80 to 0xFF (not A0)   "M", then for c = b - 0x80: "-" and c when c is 0x21 to 0x7E,
 *                           "^" and c + 0x40 when c is below 0x20, "^?" when c is 0x7F;
 *                           so 0xC3 0xA9 ("e" with an acute accent in UTF-8) becomes M-CM-)
 * The form is for showing, not for recovering arguments: a backslash or caret in an argument
 * is not escaped, and a space inside an argument looks like the space between two. A process
 * whose arguments cannot be read shows "(" + its visible short name + ")" (flags without
 * ZELK_SNP_FLAG_ARGV). The length has no limit.
 *
 * The session id: exactly 36 bytes, each an ASCII hexadecimal digit (0-9, a-f, A-F, case kept
 * as found) or a hyphen, usually a UUID such as 0f0e0d0c-0b0a-4908-8706-050403020100 (the
 * hyphen positions are not checked). It is the value of CLAUDE_CODE_SESSION_ID found in the
 * process's arguments or environment: the process belongs to that agent run.
 *
 * Time bases: wall_sec/wall_usec and start_sec/start_usec are the wall clock (Unix epoch), so a
 * process's age is wall - start; collect_ns is a duration on a monotonic clock.
 *
 * What a reader must reject (in this order; the first rule broken rejects the whole stream):
 *   1. fewer than 8 bytes, or a magic other than "ZELKSNP1";
 *   2. fewer than 12 bytes, or a version other than 1;
 *   3. fewer than 20 bytes, or a record size other than 60;
 *   4. fewer than 24 bytes, or a string area offset other than 64 + 60*N (computed in 64 bits:
 *      in 32 bits it can wrap), or a stream shorter than the string area offset;
 *   5. any record whose command offset + command length exceeds the string area's size
 *      (stream length - string area offset);
 *   6. any record whose session offset is not 0xFFFFFFFF and whose session offset + 36
 *      exceeds the string area's size.
 * A reader must not reject a stream for anything else: valid_count and reserved are not
 * checked; the flags are not compared with the session offset (the session offset alone says
 * whether a session id is present); bytes of the string area that no record references, texts
 * that overlap or are out of order, and non-printable bytes in texts are all accepted.
 * Compatibility: a different layout comes with a different version or magic, which a reader
 * of this one rejects (rules 1 and 2).
 *
 * ============================================================================================
 * The GPU client stream, "ZELKGPU1" (GPU time per GPU client connection)
 * ============================================================================================
 * Header, 12 bytes at offset 0:
 *   offset size type  field       meaning
 *        0    8 ASCII magic       "ZELKGPU1" (5A 45 4C 4B 47 50 55 31)
 *        8    4 u32   count N     number of records
 * Then N records back to back, each 20 + L bytes:
 *   offset size type  field        meaning
 *        0    8 u64   registry_id  identifies the client, unique in the stream (macOS: its
 *                                  IOKit registry entry ID; Linux: the GPU's index in the top
 *                                  16 bits and the DRM client id below); 0 when the platform
 *                                  gave none
 *        8    8 u64   gpu_time     GPU time the client has used since it was opened, a
 *                                  counter saturating at 2^64-1. Unit: nanoseconds on Linux
 *                                  (DRM engine busy time, summed over engines); on macOS the
 *                                  sum of the client's accumulatedGPUTime figures in the
 *                                  platform's own unit, passed on unconverted. For a rate the
 *                                  host takes the difference between two calls, per
 *                                  registry_id.
 *       16    4 u32   L            byte length of the creator text
 *       20    L bytes creator      the client's creator text, UTF-8, no terminator, may be
 *                                  empty; the platform's form, typically "pid 1234, name"
 *                                  (the pid of the process that opened the client)
 * There is no version field, no record size and no trailer: a reader walks the records by their
 * length fields. Records come in discovery order (per GPU, then per client), not sorted. The
 * total length is 12 + the sum of (20 + L).
 *
 * What a reader must reject:
 *   1. fewer than 12 bytes, or a magic other than "ZELKGPU1";
 *   2. a count N that the rest could not hold even with empty texts: N > (length - 12) / 20;
 *   3. a record whose 20 fixed bytes, or whose L text bytes, run past the end;
 *   4. any bytes after the N-th record (a stream is exactly one stream long).
 *
 * ============================================================================================
 * The decoder
 * ============================================================================================
 * Snapshot:
 *     zelk_snapshot_view snap;
 *     zelk_process_view proc;
 *     uint32_t i;
 *     if (zelk_snapshot_open(&snap, buffer, length) != ZELK_STREAM_OK) { ... not a stream ... }
 *     for (i = 0; i < snap.record_count; ++i) {
 *         zelk_snapshot_record(&snap, i, &proc);
 *         printf("%d %.*s\n", proc.pid, (int)proc.command_length, (const char *)proc.command);
 *     }
 * GPU clients:
 *     zelk_gpu_view gpu;
 *     zelk_gpu_cursor at;
 *     zelk_gpu_client_view client;
 *     if (zelk_gpu_open(&gpu, buffer, length) != ZELK_STREAM_OK) { ... }
 *     zelk_gpu_first(&gpu, &at);
 *     while (zelk_gpu_next(&at, &client) == 1) { ... }
 * The open functions check the whole stream against the rules above, so after a successful
 * open every record reads without failure; the record functions check their offsets again all
 * the same. Views point into the caller's buffer: they are valid while it is, so read
 * everything before zelk_core_free. The functions are pure and thread-safe. */
#ifndef ZELK_STREAM_H
#define ZELK_STREAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELK_SNP_MAGIC "ZELKSNP1"
#define ZELK_SNP_VERSION 1u
#define ZELK_SNP_HEADER_SIZE 64u
#define ZELK_SNP_RECORD_SIZE 60u
#define ZELK_SNP_SESSION_SIZE 36u
#define ZELK_SNP_NO_SESSION 0xFFFFFFFFu
#define ZELK_SNP_NO_TTY 0xFFFFFFFFu
#define ZELK_SNP_FLAG_INFO 1u
#define ZELK_SNP_FLAG_ARGV 2u
#define ZELK_SNP_FLAG_SESSION 4u
#define ZELK_CPU_SCALE 1000u /* cpu_usage of one fully busy processor */

#define ZELK_GPU_MAGIC "ZELKGPU1"
#define ZELK_GPU_HEADER_SIZE 12u
#define ZELK_GPU_RECORD_FIXED_SIZE 20u

/* Results of the decoder. Every negative value means "not a well-formed stream"; the value
 * says which rule the stream broke first. */
#define ZELK_STREAM_OK 0
#define ZELK_STREAM_TRUNCATED (-1)       /* shorter than its header or its records need */
#define ZELK_STREAM_BAD_MAGIC (-2)       /* another magic: another format or version */
#define ZELK_STREAM_BAD_VERSION (-3)     /* snapshot version other than 1 */
#define ZELK_STREAM_BAD_RECORD_SIZE (-4) /* snapshot record size other than 60 */
#define ZELK_STREAM_BAD_LAYOUT (-5)      /* string area offset other than 64 + 60*N */
#define ZELK_STREAM_BAD_TEXT (-6)        /* a command or session id outside the string area */
#define ZELK_STREAM_BAD_COUNT (-7)       /* GPU record count larger than the stream can hold */
#define ZELK_STREAM_TRAILING_BYTES (-8)  /* GPU stream longer than its records */
#define ZELK_STREAM_BAD_INDEX (-9)       /* record index past the count, or a view not opened */

/* Notes for hosts (the library's return codes, loading, unloading and fork: zelk_core.h):
 * - One snapshot stream names a pid at most once: the census reads the kernel's process list
 *   once, and that list names each process once (macOS: proc_listallpids walks the process
 *   lists under one lock; Linux: /proc is listed in rising pid order). Across streams a pid
 *   may be reused: pid and start time together name one process.
 * - pid is signed as pid_t is (kill and waitpid give negative values a meaning); in a stream it
 *   is always 1 or more. ppid is unsigned because the kernel reports it so (macOS:
 *   proc_bsdinfo.pbi_ppid is a uint32_t), with 0 for a process without a parent; it is below
 *   2^31 in practice, so a host may convert it to its pid type.
 * - The GPU creator text is the platform's bytes, passed on unfiltered: any byte but NUL can
 *   occur, control characters and terminal escape sequences included, and it need not be
 *   UTF-8. A host escapes it before printing it (the command's visible form above is one way).
 * - Conformance vectors: share/zelk/vectors/ in the installed tree holds streams made by the
 *   library's own encoders, each NAME.bin with its expected reading NAME.jsonl, and one stream
 *   per reject rule with the code above that this decoder gives for it. Its README gives the
 *   form of the lines. A port in another language reads every .bin and compares what it read
 *   with the .jsonl beside it; this decoder and the library's own pass them all. */

/* A validated snapshot stream: its header fields and where it lies. */
typedef struct zelk_snapshot_view {
    const uint8_t *data;
    size_t length;
    uint32_t record_count;
    uint32_t string_area_offset;
    uint64_t mem_total;
    int64_t wall_sec;
    uint32_t wall_usec;
    uint32_t valid_count; /* as written; not checked */
    uint64_t collect_ns;
} zelk_snapshot_view;

/* One process record; texts point into the stream. */
typedef struct zelk_process_view {
    int32_t pid;
    uint32_t ppid;
    uint32_t uid;
    int32_t nice;
    uint32_t flags;
    uint32_t cpu_usage;
    uint64_t resident_bytes;
    uint64_t start_sec;
    uint32_t start_usec;
    uint32_t tty;
    const uint8_t *command; /* command_length bytes, no terminator */
    uint32_t command_length;
    const uint8_t *session_id; /* ZELK_SNP_SESSION_SIZE bytes, or NULL when none */
} zelk_process_view;

/* A validated GPU client stream. */
typedef struct zelk_gpu_view {
    const uint8_t *data;
    size_t length;
    uint32_t record_count;
} zelk_gpu_view;

/* A cursor points at its view (`stream`), not just at the buffer: the view must stay where it
 * is and outlive the cursor. Start a walk on a view that is not about to go out of scope. */
/* Where a walk over a GPU client stream stands. */
typedef struct zelk_gpu_cursor {
    const zelk_gpu_view *stream;
    size_t offset;
    uint32_t index;
} zelk_gpu_cursor;

/* One GPU client; the creator points into the stream. */
typedef struct zelk_gpu_client_view {
    uint64_t registry_id;
    uint64_t gpu_time;
    const uint8_t *creator; /* creator_length bytes, no terminator */
    uint32_t creator_length;
} zelk_gpu_client_view;

/* ---- little-endian reads at any byte offset ---- */

static inline uint32_t zelk_stream_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline uint64_t zelk_stream_u64(const uint8_t *p) {
    return (uint64_t)zelk_stream_u32(p) | ((uint64_t)zelk_stream_u32(p + 4) << 32);
}

/* Two's complement without relying on the implementation's conversion of large values. */
static inline int32_t zelk_stream_i32(const uint8_t *p) {
    const uint32_t u = zelk_stream_u32(p);
    return u <= 0x7FFFFFFFu ? (int32_t)u : -(int32_t)(~u) - 1;
}

static inline int64_t zelk_stream_i64(const uint8_t *p) {
    const uint64_t u = zelk_stream_u64(p);
    return u <= 0x7FFFFFFFFFFFFFFFu ? (int64_t)u : -(int64_t)(~u) - 1;
}

/* True when [offset, offset + length) lies inside `size` bytes, without overflow. */
static inline int zelk_stream_fits(uint64_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

static inline int zelk_stream_magic_is(const uint8_t *p, const char *magic) {
    int i;
    for (i = 0; i < 8; ++i)
        if (p[i] != (uint8_t)magic[i]) return 0;
    return 1;
}

/* ---- snapshot stream ---- */

/* Reads record `index` of a stream whose header passed rules 1 to 4: the numbers, then the
 * texts, each checked against the string area (rules 5 and 6). */
static inline int zelk_snapshot_read_record(const zelk_snapshot_view *s, uint32_t index, zelk_process_view *out) {
    const uint64_t record_at = (uint64_t)ZELK_SNP_HEADER_SIZE + (uint64_t)ZELK_SNP_RECORD_SIZE * index;
    const uint8_t *r;
    const uint8_t *strings;
    uint64_t strings_size;
    uint32_t command_offset, session_offset;
    if (index >= s->record_count || !zelk_stream_fits(s->string_area_offset, record_at, ZELK_SNP_RECORD_SIZE) ||
        s->string_area_offset > s->length)
        return ZELK_STREAM_BAD_INDEX;
    r = s->data + record_at;
    strings = s->data + s->string_area_offset;
    strings_size = (uint64_t)(s->length - s->string_area_offset);
    out->pid = zelk_stream_i32(r);
    out->ppid = zelk_stream_u32(r + 4);
    out->uid = zelk_stream_u32(r + 8);
    out->nice = zelk_stream_i32(r + 12);
    out->flags = zelk_stream_u32(r + 16);
    out->cpu_usage = zelk_stream_u32(r + 20);
    out->resident_bytes = zelk_stream_u64(r + 24);
    out->start_sec = zelk_stream_u64(r + 32);
    out->start_usec = zelk_stream_u32(r + 40);
    command_offset = zelk_stream_u32(r + 44);
    out->command_length = zelk_stream_u32(r + 48);
    session_offset = zelk_stream_u32(r + 52);
    out->tty = zelk_stream_u32(r + 56);
    if (!zelk_stream_fits(strings_size, command_offset, out->command_length)) return ZELK_STREAM_BAD_TEXT;
    out->command = strings + command_offset;
    out->session_id = NULL;
    if (session_offset != ZELK_SNP_NO_SESSION) {
        if (!zelk_stream_fits(strings_size, session_offset, ZELK_SNP_SESSION_SIZE)) return ZELK_STREAM_BAD_TEXT;
        out->session_id = strings + session_offset;
    }
    return ZELK_STREAM_OK;
}

/* Checks a whole snapshot stream (header and every record) and fills `out` with its header.
 * Returns ZELK_STREAM_OK, or the first broken rule's code, with `out` then zeroed. */
static inline int zelk_snapshot_open(zelk_snapshot_view *out, const uint8_t *data, size_t length) {
    zelk_snapshot_view s;
    zelk_process_view record;
    uint64_t expected_offset;
    uint32_t i;
    int rc = ZELK_STREAM_OK;
    s.data = NULL;
    s.length = 0;
    s.record_count = 0;
    s.string_area_offset = 0;
    s.mem_total = 0;
    s.wall_sec = 0;
    s.wall_usec = 0;
    s.valid_count = 0;
    s.collect_ns = 0;
    *out = s;
    if (data == NULL || length < 8) return ZELK_STREAM_TRUNCATED;
    if (!zelk_stream_magic_is(data, ZELK_SNP_MAGIC)) return ZELK_STREAM_BAD_MAGIC;
    if (length < 12) return ZELK_STREAM_TRUNCATED;
    if (zelk_stream_u32(data + 8) != ZELK_SNP_VERSION) return ZELK_STREAM_BAD_VERSION;
    if (length < 20) return ZELK_STREAM_TRUNCATED;
    if (zelk_stream_u32(data + 16) != ZELK_SNP_RECORD_SIZE) return ZELK_STREAM_BAD_RECORD_SIZE;
    if (length < 24) return ZELK_STREAM_TRUNCATED;
    s.record_count = zelk_stream_u32(data + 12);
    s.string_area_offset = zelk_stream_u32(data + 20);
    expected_offset = (uint64_t)ZELK_SNP_HEADER_SIZE + (uint64_t)ZELK_SNP_RECORD_SIZE * s.record_count;
    if (s.string_area_offset != expected_offset) return ZELK_STREAM_BAD_LAYOUT;
    if (length < s.string_area_offset) return ZELK_STREAM_TRUNCATED;
    /* From here the 64-byte header and all N records lie inside the buffer. */
    s.data = data;
    s.length = length;
    s.mem_total = zelk_stream_u64(data + 24);
    s.wall_sec = zelk_stream_i64(data + 32);
    s.wall_usec = zelk_stream_u32(data + 40);
    s.valid_count = zelk_stream_u32(data + 44);
    s.collect_ns = zelk_stream_u64(data + 48);
    for (i = 0; i < s.record_count && rc == ZELK_STREAM_OK; ++i) rc = zelk_snapshot_read_record(&s, i, &record);
    if (rc != ZELK_STREAM_OK) return rc;
    *out = s;
    return ZELK_STREAM_OK;
}

/* After a failed record read `out` is partly written (numbers of the record beside texts of an
 * earlier one): use it only after ZELK_STREAM_OK. The same holds for zelk_gpu_next. */
/* Record `index` (0 to record_count - 1) of an opened stream. ZELK_STREAM_OK, or
 * ZELK_STREAM_BAD_INDEX for an index past the count or a view that was not opened. */
static inline int zelk_snapshot_record(const zelk_snapshot_view *s, uint32_t index, zelk_process_view *out) {
    if (s == NULL || s->data == NULL || out == NULL) return ZELK_STREAM_BAD_INDEX;
    return zelk_snapshot_read_record(s, index, out);
}

/* ---- GPU client stream ---- */

/* Starts a walk at the first record. */
static inline void zelk_gpu_first(const zelk_gpu_view *g, zelk_gpu_cursor *at) {
    at->stream = g;
    at->offset = ZELK_GPU_HEADER_SIZE;
    at->index = 0;
}

/* Reads the record at the cursor and moves past it: 1 when a record was read, 0 after the last
 * one, or a negative code when the record does not fit in the stream (never after a
 * successful zelk_gpu_open) or the cursor was not started. */
static inline int zelk_gpu_next(zelk_gpu_cursor *at, zelk_gpu_client_view *out) {
    const zelk_gpu_view *g = at == NULL ? NULL : at->stream;
    size_t text_at;
    if (g == NULL || g->data == NULL || out == NULL || at->offset < ZELK_GPU_HEADER_SIZE) return ZELK_STREAM_BAD_INDEX;
    if (at->index >= g->record_count) return 0;
    if (!zelk_stream_fits(g->length, at->offset, ZELK_GPU_RECORD_FIXED_SIZE)) return ZELK_STREAM_TRUNCATED;
    out->registry_id = zelk_stream_u64(g->data + at->offset);
    out->gpu_time = zelk_stream_u64(g->data + at->offset + 8);
    out->creator_length = zelk_stream_u32(g->data + at->offset + 16);
    text_at = at->offset + ZELK_GPU_RECORD_FIXED_SIZE;
    if (!zelk_stream_fits(g->length, text_at, out->creator_length)) return ZELK_STREAM_TRUNCATED;
    out->creator = g->data + text_at;
    at->offset = text_at + out->creator_length;
    at->index += 1;
    return 1;
}

/* Checks a whole GPU client stream (every record and the exact length) and fills `out`.
 * Returns ZELK_STREAM_OK, or the first broken rule's code, with `out` then zeroed. */
static inline int zelk_gpu_open(zelk_gpu_view *out, const uint8_t *data, size_t length) {
    zelk_gpu_view g;
    zelk_gpu_cursor at;
    zelk_gpu_client_view client;
    int rc;
    g.data = NULL;
    g.length = 0;
    g.record_count = 0;
    *out = g;
    if (data == NULL || length < ZELK_GPU_HEADER_SIZE) return ZELK_STREAM_TRUNCATED;
    if (!zelk_stream_magic_is(data, ZELK_GPU_MAGIC)) return ZELK_STREAM_BAD_MAGIC;
    g.record_count = zelk_stream_u32(data + 8);
    if (g.record_count > (length - ZELK_GPU_HEADER_SIZE) / ZELK_GPU_RECORD_FIXED_SIZE) return ZELK_STREAM_BAD_COUNT;
    g.data = data;
    g.length = length;
    zelk_gpu_first(&g, &at);
    while ((rc = zelk_gpu_next(&at, &client)) == 1) {
    }
    if (rc != 0) return rc;
    if (at.offset != length) return ZELK_STREAM_TRAILING_BYTES;
    *out = g;
    return ZELK_STREAM_OK;
}

#ifdef __cplusplus
}
#endif

#endif /* ZELK_STREAM_H */
