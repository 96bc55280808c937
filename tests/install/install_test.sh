#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, as a user or packager does, and uses it from
# there only: a C program built with pkg-config and a CMake project built with
# find_package(K5320 2.1) run on an emulated backplane inside each process; the installed k5320
# starts the installed service by itself (a service of the test's own, in a runtime directory of
# its own, so the user's backplane is never touched). Its backplane has modules in slots 6 and 7
# only: the slot ownership table is the user's one, and a user's programs mostly use 1 and 2. Checks the SONAMEs, that every RUNPATH is
# relative to its file, that no installed file names the build tree, that only the C API's
# headers are installed, and that every manual page in doc/man renders without warnings.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER CMAKE LIBDIR SERVICEDIR MANDIR
#   (the last three: the install folders, relative to the prefix)
set -uo pipefail
build=$1
source=$2
cc=$3
cmake=$4
libdir=$5
servicedir=$6
mandir=$7

work=$(mktemp -d /tmp/k5320-install-test-XXXXXX)
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
service=$prefix/$servicedir/k5320-backplaned
finish() {
  [ -x "$service" ] && TARN_BACKPLANE_RUNTIME=$work/run "$service" --stop >/dev/null 2>&1
  rm -rf "$work"
}
trap finish EXIT
# Nothing of the build tree or of the user's backplane: only the prefix and the test's folders.
unset TARN_BACKPLANED LD_LIBRARY_PATH
export TARN_BACKPLANE_STATE=$work/state TARN_BACKPLANE_RUNTIME=$work/run
export TARN_BACKPLANE_CONFIG=$work/backplane.conf
printf 'bus test rate=125000 demo\nslot 6 5320 bus=test\nslot 7 5320 bus=test\n' >"$TARN_BACKPLANE_CONFIG"

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install exited with $?"; exit 1; }
lib=$prefix/$libdir

# The libraries: versioned files, SONAMEs with the major version, the link for development.
for name in K5320 TarnSDK_CE; do
  soname=$(readelf -d "$lib/lib$name.so.2" 2>/dev/null | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$name.so.2" ] || fail "lib$name.so.2 has SONAME '$soname'"
  [ "$(readlink "$lib/lib$name.so.2")" = "lib$name.so.2.1.7" ] ||
    fail "lib$name.so.2 does not link to lib$name.so.2.1.7"
done
[ "$(readlink "$lib/libK5320.so")" = "libK5320.so.2" ] || fail "no libK5320.so -> libK5320.so.2"

# The C API's headers and nothing else.
headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./k5320.h ./k5320_result.h " ] || fail "installed headers: $headers"

# Every ELF file finds what it needs relative to itself, and no installed file names the build
# tree (not in a RUNPATH, not in debug information, not in a text file).
while IFS= read -r -d '' file; do
  [ "$(od -An -tx1 -N4 "$file" | tr -d ' \n')" = 7f454c46 ] || continue  # ELF files only
  runpath=$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case "$runpath" in
    '' | '$ORIGIN' | '$ORIGIN/'*) ;;
    *) fail "${file#"$prefix"/} has RUNPATH $runpath" ;;
  esac
done < <(find "$prefix" -type f -print0)
named=$(grep -rlF "$build" "$prefix")
[ -z "$named" ] || fail "installed files name the build tree $build: $named"

# A C program built with pkg-config, on a backplane in its process.
export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion k5320)" = "2.1.7" ] || fail "pkg-config knows no k5320 2.1.7"
# -rpath: the prefix is no system folder the loader searches.
if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$source/tests/install/app.c" \
     $(pkg-config --cflags --libs k5320) -Wl,-rpath,"$(pkg-config --variable=libdir k5320)" \
     -o "$work/app_pkgconfig" 2>"$work/cc.log"; then
  TARN_BACKPLANE=inprocess "$work/app_pkgconfig" 6 7 || fail "the pkg-config program exited with $?"
else
  cat "$work/cc.log"
  fail "the C program does not build with pkg-config"
fi

# A CMake project with find_package(K5320 2.1 REQUIRED) and K5320::K5320.
if "$cmake" -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" \
     -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 &&
   "$cmake" --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
  TARN_BACKPLANE=inprocess "$work/consumer/k5320_app" 7 6 || fail "the CMake program exited with $?"
else
  cat "$work/consumer.log"
  fail "the CMake project does not build with find_package(K5320)"
fi
# python-can finds the installed plugin by its entry point, and the plugin loads the installed
# library.
PYTHONPATH=$lib/python3/dist-packages TARN_BACKPLANE=inprocess /usr/bin/python3 -c '
import os, sys, can, can_k5320._location as where
bus = can.Bus(interface="k5320", channel=6, bitrate=500000)
bus.shutdown()
sys.exit(0 if os.path.realpath(where.LIBRARY).startswith(os.path.realpath(sys.argv[1])) else 1)
' "$prefix" || fail "python-can does not open a slot through the installed plugin"
# A major version the package is not compatible with is refused.
mkdir -p "$work/major3"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(p LANGUAGES C)\nfind_package(K5320 3 REQUIRED)\n' \
  >"$work/major3/CMakeLists.txt"
"$cmake" -S "$work/major3" -B "$work/major3/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1 &&
  fail "find_package(K5320 3) accepted 2.1.7"

# The installed tools and the installed service, which the installed SDK finds by itself.
TARN_BACKPLANE=service TARN_BACKPLANE_GRACE_MS=20000 "$prefix/bin/k5320" list >"$work/list" 2>&1 ||
  { cat "$work/list"; fail "the installed k5320 list exited with $?"; }
grep -q '^slot 6: 5320' "$work/list" || fail "k5320 list shows no module: $(cat "$work/list")"
pid=$(cat "$work/run/backplaned.pid" 2>/dev/null)
ran=$(readlink "/proc/$pid/exe" 2>/dev/null)
[ "$ran" = "$service" ] || fail "the service that ran is '$ran' (pid '$pid'), not $service"
"$service" --stop >/dev/null 2>&1 || fail "the installed service did not stop"
TARN_BACKPLANE=inprocess "$prefix/bin/k5320-probe" 6 >"$work/probe" 2>&1
grep -q 'library version: 217' "$work/probe" || fail "k5320-probe: $(cat "$work/probe")"
libraries=$(ldd "$prefix/bin/K5320W_Utility")
missing=$(grep -e 'not found' -e "$build" <<<"$libraries")
[ -z "$missing" ] || fail "K5320W_Utility: $missing"
grep -qF "libK5320.so.2 => $prefix/" <<<"$libraries" ||
  fail "K5320W_Utility does not take libK5320.so.2 from the prefix"

# Every manual page renders without a warning, and is installed in its section's folder.
pages=0
for page in "$source"/doc/man/*.[1-8]; do
  [ -e "$page" ] || continue
  pages=$((pages + 1))
  name=${page##*/}
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $name: $warnings"
  [ -f "$prefix/$mandir/man${name##*.}/$name" ] || fail "$name is not installed"
done
[ $pages -ge 2 ] || fail "only $pages manual pages in doc/man"

[ $failures -eq 0 ] && echo "install: all checks passed ($pages manual pages)"
exit $failures
