/* Imports the installed module "zelk" as Clang's and Swift's module builds do, uses a typedef
 * and the decoder, and prints the record count of the snapshot vector named as argument. */
#pragma clang module import zelk
#include <stdio.h>

int main(int argc, char **argv) {
    static uint8_t stream[4096];
    zelk_core_snapshot_fn snapshot = NULL;
    zelk_snapshot_view view;
    FILE *f = argc == 2 ? fopen(argv[1], "rb") : NULL;
    size_t length = f == NULL ? 0 : fread(stream, 1, sizeof stream, f);
    if (f != NULL) fclose(f);
    (void)snapshot;
    if (zelk_snapshot_open(&view, stream, length) != ZELK_STREAM_OK) return 1;
    printf("%u records\n", (unsigned)view.record_count);
    return 0;
}
