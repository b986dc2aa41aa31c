#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two hosts outside the tree against it,
# one through the CMake package and one through pkg-config; each prints "1 1"; and a C file that
# imports the module "zelk" with Clang's module build reads an installed vector. Then moves the
# prefix elsewhere and does it again: the install is relocatable. Linux and macOS.
# Usage: install_test.sh BUILD_DIR CMAKE CC LIBDIR VERSION
set -euo pipefail
build=$1 cmake=$2 cc=$3 libdir=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)
consumer=$here/consumer
clang=$(command -v clang) || { echo "FAIL: no clang for the module check" >&2; exit 1; }
# The real path: zelk reports the library's file as the loader found it (macOS's temporary
# folders lie behind a symbolic link).
work=$(cd "$(mktemp -d)" && pwd -P)
if [ "$(uname -s)" = Darwin ]; then
  library=libzelk_core.dylib unit_dir=share/zelk
else
  library=libzelk_core.so.1 unit_dir=lib/systemd/system
fi
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() {  # expect WHAT ACTUAL WANTED
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
  echo "$1: $2"
}

hosts() {  # hosts PREFIX: builds and runs both hosts against PREFIX
  local prefix=$1 dir
  dir=$(mktemp -d "$work/host.XXXX")
  cp "$consumer"/* "$dir"/
  "$cmake" -S "$dir" -B "$dir/build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  "$cmake" --build "$dir/build" >/dev/null
  expect "find_package host ($prefix)" "$("$dir/build/consumer")" "1 1"
  # shellcheck disable=SC2046 # the flags are words
  "$cc" -o "$dir/pc_consumer" "$dir/main.c" -Wl,-rpath,"$prefix/$libdir" \
    $(PKG_CONFIG_PATH='' PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs zelk-core)
  expect "pkg-config host ($prefix)" "$("$dir/pc_consumer")" "1 1"
  file=$(PKG_CONFIG_PATH='' PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" pkg-config --variable=library zelk-core)
  [ -e "$file" ] && [ "$(basename "$file")" = "$library" ] || fail "pkg-config's library variable: $file"
  # The module "zelk", imported with Clang's module build, warnings as errors.
  "$clang" -std=c99 -fmodules -fmodules-cache-path="$dir/modules" -I"$prefix/include" -Wall -Wextra -Wpedantic \
    -Werror -o "$dir/module_import" "$here/module_import.c"
  expect "module import ($prefix)" "$("$dir/module_import" "$prefix/share/zelk/vectors/snapshot-flags.bin")" "5 records"
  expect "zelk --version ($prefix)" "$("$prefix/bin/zelk" --version)" \
    "zelk $version
libzelk_core contract 1: $prefix/$libdir/$library"
}

"$cmake" --install "$build" --prefix "$work/first" >/dev/null
hosts "$work/first"
expect "unit's helper" "$(sed -n 's/^ExecStart=//p' "$work/first/$unit_dir/zelk-helper.service")" \
  "$work/first/libexec/zelk-helper"
[ -x "$work/first/libexec/zelk-helper" ] || fail "no helper at the unit's path"

# Every installed path the installed README names under include/ or share/(doc/)zelk is there.
for path in $(grep -o '`\(include/zelk\|share/zelk\|share/doc/zelk\)[^`]*`' "$work/first/share/doc/zelk/README.md" | tr -d '`' | sort -u); do
  [ -e "$work/first/$path" ] || fail "the README names $path, which is not installed"
done
echo "README: every installed path it names is there"

# An update writes new files, never over the installed ones (a hard link keeps each old file).
in_use=("$work/first/libexec/zelk-helper" "$work/first/bin/zelk" "$work/first/$libdir/$library")
for f in "${in_use[@]}"; do ln -L "$f" "$f.old" && touch -t 200101010000 "$f"; done
"$cmake" --install "$build" --prefix "$work/first" >/dev/null
for f in "${in_use[@]}"; do [ ! "$f" -ef "$f.old" ] && rm "$f.old" || fail "an update rewrote $f in place"; done

# find_package checks the version: this package is no version 2.
dir=$(mktemp -d "$work/v2.XXXX")
cp "$consumer"/* "$dir"/
if "$cmake" -S "$dir" -B "$dir/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/first" -DZELK_WANT=2 >"$dir/log" 2>&1; then
  fail "find_package(zelk 2) accepted version $version"
fi
grep -q "zelkConfig.cmake, version: $version" "$dir/log" || { cat "$dir/log"; fail "find_package(zelk 2) failed otherwise"; }
echo "find_package(zelk 2): refused ($version considered, not accepted)"

mv "$work/first" "$work/moved"
hosts "$work/moved"
