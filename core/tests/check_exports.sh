#!/usr/bin/env bash
# The shared library exports exactly the seven C functions and nothing else.
set -euo pipefail
lib=$1
got=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
want=$(printf '%s\n' zelk_core_contract zelk_core_free zelk_core_gpu_clients zelk_core_gpu_stats \
  zelk_core_iface_bytes zelk_core_selftest zelk_core_snapshot | sort)
if [ "$got" != "$want" ]; then
  echo "exports differ:"; diff <(echo "$want") <(echo "$got") || true
  exit 1
fi
echo "exactly the seven exports"
