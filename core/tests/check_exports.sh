#!/usr/bin/env bash
# The shared library exports exactly the seven C functions and nothing else: the ELF library's
# dynamic symbols, or the Mach-O library's external symbols (C names there begin with "_").
# Usage: check_exports.sh LIBRARY [NM]   (NM: nm by default; llvm-nm reads Mach-O on Linux)
set -euo pipefail
lib=$1 nm=${2:-nm}
case $lib in
  *.dylib) got=$("$nm" -g "$lib" | awk 'NF == 3 {sub(/^_/, "", $3); print $3}' | sort) ;;
  *) got=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort) ;;
esac
want=$(printf '%s\n' zelk_core_contract zelk_core_free zelk_core_gpu_clients zelk_core_gpu_stats \
  zelk_core_iface_bytes zelk_core_selftest zelk_core_snapshot | sort)
if [ "$got" != "$want" ]; then
  echo "exports of $lib differ from the seven (< missing, > extra):"; diff <(echo "$want") <(echo "$got") || true
  exit 1
fi
echo "exactly the seven exports"
