#!/usr/bin/env bash
# Builds the Debian package of the build tree (cpack -G DEB, into a temporary folder) and checks
# it: its files, its dependencies (found by dpkg-shlibdeps: Qt 6 among them), and that its
# programs run from wherever the package's tree is unpacked (nothing is installed on the machine).
# Usage: debian_package_test.sh BUILD_DIR LIBDIR SERVICEDIR MANDIR   (install folders below /usr)
set -uo pipefail
build=$1
lib=/usr/$2
service=/usr/$3/k5320-backplaned
man=/usr/$4

work=$(mktemp -d /tmp/k5320-package-test-XXXXXX)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack -G DEB exited with $?"; exit 1; }
deb=$(find "$work/out" -maxdepth 1 -name 'k5320_2.1.7_*.deb')
[ -f "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no k5320_2.1.7 package"; exit 1; }

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's,^\./,/,' >"$work/files"
for file in "$lib/libK5320.so.2" "$lib/libK5320.so" "$lib/libTarnSDK_CE.so.2" \
            /usr/include/k5320.h /usr/include/k5320_result.h /usr/bin/k5320 /usr/bin/k5320-probe \
            /usr/bin/K5320W_Utility "$service" \
            "$lib/pkgconfig/k5320.pc" "$lib/cmake/K5320/K5320Config.cmake" \
            "$man/man8/k5320-backplaned.8" "$man/man5/k5320-backplane.conf.5"; do
  grep -qx -- "$file" "$work/files" || fail "the package holds no $file"
done
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 libstdc++6 libc6; do
  [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
done

# Unpacked anywhere, its programs find their libraries and service in the same tree.
dpkg-deb -x "$deb" "$work/root"
printf 'bus test demo\nslot 6 5320 bus=test\n' >"$work/backplane.conf"
TARN_BACKPLANE=inprocess TARN_BACKPLANE_CONFIG=$work/backplane.conf TARN_BACKPLANE_STATE=$work/state \
  "$work/root/usr/bin/k5320-probe" 6 >"$work/probe" 2>&1
grep -q 'library version: 217' "$work/probe" || fail "the unpacked k5320-probe: $(cat "$work/probe")"

[ $failures -eq 0 ] && echo "debian package: $(basename "$deb"), Depends: $depends"
exit $failures
