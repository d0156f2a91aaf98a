#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the station programs of
# examples/ from the installed files only (C++ with find_package, C with
# pkg-config) and runs one station cycle with each on a simulator installed
# from the same prefix.
#   tests/install/install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1" src="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
p="$tmp/prefix"

cmake --install "$build" --prefix "$p" >/dev/null
for f in include/dezozevo/dezozevo.h include/dezozevo/dezozevo.hpp bin/dezozevo bin/dezozevo-sim \
         share/dezozevo/site/DEZozevo.ini; do
  [ -e "$p/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
lib="$(dirname "$(find "$p" -name 'libDEZozevo.so.1' | head -n1)")"
[ -n "$lib" ] || { echo "not installed: libDEZozevo.so.1" >&2; exit 1; }

# The consumers see the prefix only: no source or build folder on any path.
cmake -S "$src/examples" -B "$tmp/cpp" -G Ninja -DCMAKE_PREFIX_PATH="$p" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$tmp/cpp" >/dev/null
PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --exists dezozevo
cc -std=c99 -Wall -Werror "$src/examples/station.c" $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs dezozevo) \
  -Wl,-rpath,"$lib" -o "$tmp/station_c"

# A component folder from the installed sample site and simulator.
home="$tmp/home"
mkdir "$home"
cp "$p"/share/dezozevo/site/* "$home/"
"$p/bin/dezozevo-sim" init "$home/plant.db" --generation 10 --sample >/dev/null
sed 's/SN24001-0003/SN24001-0004/' "$home/SampleResult.xml" >"$home/result4.xml"

export DEZOZEVO_HOME="$home"
"$tmp/cpp/station" SN24001-0003 "$home/SampleResult.xml" | tee "$tmp/cpp.out"
grep -q 'result stored, test ID [0-9]' "$tmp/cpp.out"
"$tmp/station_c" FCT-01 SN24001-0004 "$home/result4.xml" | tee "$tmp/c.out"
grep -q 'result stored, test ID [0-9]' "$tmp/c.out"
"$p/bin/dezozevo" state | grep -q '"startupStatus": 0'
echo "install and consume: ok"
