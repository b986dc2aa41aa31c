"""Times psutil iterating the census's attributes over every process; one line of ms per pass."""
import sys
import time

import psutil

ATTRS = ["pid", "ppid", "uids", "nice", "memory_info", "create_time", "terminal", "cpu_percent", "cmdline", "environ"]

for _ in range(int(sys.argv[1])):
    t0 = time.monotonic()
    for p in psutil.process_iter(ATTRS):
        pass
    print("%.3f" % ((time.monotonic() - t0) * 1000))
