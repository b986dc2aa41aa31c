#!/usr/bin/env bash
# Builds the Debian package from the build tree (into BUILD_DIR/package) and checks it: its
# control fields (a computed Depends line), its files (the install set under /usr with the manual
# pages and the copyright file, the unit in /lib/systemd/system, no file of the build tree and
# no path into it), the unpacked zelk finding the unpacked library, lintian with the findings
# this project accepts (packaging/tests/lintian-accepted) left out, both units rated OK by
# systemd-analyze, and no hardening, spelling or Documentation= finding among lintian's pedantic ones.
# Usage: deb_test.sh BUILD_DIR CPACK VERSION LIBDIR
set -euo pipefail
build=$1 cpack=$2 version=$3 libdir=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The package stays in BUILD_DIR/package for a look afterwards.
deb=$build/package/zelk_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
"$cpack" --config "$build/CPackConfig.cmake" -B "$build/package" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail cpack; }
[ -f "$deb" ] || fail "no $deb"
echo "== $(basename "$deb")"

dpkg-deb -I "$deb" >"$work/info"
sed -n 's/^ *\(Package\|Version\|Depends\):/&/p' "$work/info"
depends=$(sed -n 's/^ *Depends: //p' "$work/info")
for lib in libc6 libstdc++6 libgcc-s1; do
  [[ $depends == *"$lib ("* ]] || fail "Depends lacks a versioned $lib: $depends"
done

dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' >"$work/files"
for f in ./usr/include/zelk_core.h ./usr/include/zelk_stream.h "./usr/$libdir/libzelk_core.so -> libzelk_core.so.1" \
  "./usr/$libdir/libzelk_core.so.1 -> libzelk_core.so.$version" ./usr/$libdir/libzelk_core.so.$version \
  ./usr/$libdir/cmake/zelk/zelkConfig.cmake ./usr/$libdir/pkgconfig/zelk-core.pc \
  ./usr/bin/zelk ./usr/bin/vintrel ./usr/libexec/zelk-helper ./lib/systemd/system/zelk-helper.service \
  ./usr/share/zelk/app.morvitan.zelk.helper.plist ./usr/share/doc/zelk/README.md \
  ./usr/share/doc/zelk/copyright ./usr/share/man/man1/zelk.1.gz ./usr/share/man/man1/vintrel.1.gz \
  ./usr/share/man/man8/zelk-helper.8.gz ./usr/share/man/man3/zelk_core.3.gz ./usr/share/man/man5/zelk_stream.5.gz \
  ./usr/include/zelk/module.modulemap ./usr/share/doc/zelk/examples/host.c ./usr/share/doc/zelk/examples/CMakeLists.txt \
  ./usr/share/zelk/vectors/README.md ./usr/share/zelk/vectors/snapshot-flags.bin ./usr/share/zelk/vectors/gpu-clients.jsonl; do
  grep -qxF "$f" "$work/files" || fail "the package lacks $f"
done
if grep -v -e '^\./usr/' -e '^\./lib/systemd/system/' -e '^\./$' -e '^\./lib/\(systemd/\)\?$' "$work/files"; then
  fail "files outside /usr and the unit folder"
fi
echo "files: $(grep -vc '/$' "$work/files") (all under /usr, the unit under /lib/systemd/system)"

dpkg -x "$deb" "$work/root"
if grep -rlF "$(cd "$build" && pwd)" "$work/root"; then fail "files naming the build tree"; fi
grep -qx 'ExecStart=/usr/libexec/zelk-helper' "$work/root/lib/systemd/system/zelk-helper.service" ||
  fail "the unit does not start /usr/libexec/zelk-helper"
[ -x "$work/root/usr/libexec/zelk-helper" ] || fail "no executable helper at the unit's path"
grep -qx 'ExecStart=/usr/bin/zelk metrics --listen 127.0.0.1:9464' "$work/root/lib/systemd/system/zelk-metrics.service" ||
  fail "the exporter's unit does not start /usr/bin/zelk metrics on loopback"
grep -q 'zelk-metrics' "$here/../debian/postinst" && fail "the package enables the exporter's unit"
for unit in zelk-helper zelk-metrics; do  # an exposure under 5: "OK"
  systemd-analyze security --offline=true --threshold=49 --root="$work/root" "/lib/systemd/system/$unit.service" | tail -n 1
done
readelf -d "$work/root/usr/$libdir/libzelk_core.so.$version" | grep -q 'SONAME.*\[libzelk_core\.so\.1\]' ||
  fail "no SONAME libzelk_core.so.1"
out=$("$work/root/usr/bin/zelk" --version)
echo "$out"
[ "$out" = "zelk $version
libzelk_core contract 1: $work/root/usr/$libdir/libzelk_core.so.1" ] || fail "zelk --version"

if command -v lintian >/dev/null; then
  lintian --suppress-tags-from-file "$here/lintian-accepted" "$deb" | tee "$work/lintian"
  [ ! -s "$work/lintian" ] || fail "lintian findings"
  echo "lintian: nothing beyond the accepted findings"
  # The hardening, spelling and unit documentation findings, pedantic ones included: none.
  lintian --pedantic --display-info --tags hardening-no-fortify-functions,hardening-no-relro,hardening-no-bindnow,hardening-no-pie,spelling-error-in-binary,systemd-service-file-missing-documentation-key "$deb" |
    tee "$work/hardening"
  [ ! -s "$work/hardening" ] || fail "lintian hardening findings"
  echo "lintian: no hardening findings"
fi
