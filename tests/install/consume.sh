#!/usr/bin/env bash
# Builds the station programs of examples/ from installed files only (C++ with
# find_package, C with pkg-config) and runs one station cycle with each on a
# simulator installed in the same place.
#   tests/install/consume.sh PREFIX SOURCE_DIR WORK_DIR
# PREFIX holds include/, lib/ (or lib/<arch>/), bin/ and share/dezozevo/.
set -euo pipefail
p="$1" src="$2" work="$3"

for f in include/dezozevo/dezozevo.h include/dezozevo/dezozevo.hpp bin/dezozevo bin/dezozevo-sim \
         share/dezozevo/site/DEZozevo.ini; do
  [ -e "$p/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
lib="$(dirname "$(find "$p"/lib* -maxdepth 2 -name 'libDEZozevo.so.1' | head -n1)")"
[ "$lib" != . ] || { echo "not installed: libDEZozevo.so.1" >&2; exit 1; }

# The consumers see the prefix only: no source or build folder on any path.
cmake -S "$src/examples" -B "$work/cpp" -G Ninja -DCMAKE_PREFIX_PATH="$p" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$work/cpp" >/dev/null
PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --exists dezozevo
cc -std=c99 -Wall -Werror "$src/examples/station.c" $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs dezozevo) \
  -Wl,-rpath,"$lib" -o "$work/station_c"

# A component folder from the installed sample site and simulator.
home="$work/home"
mkdir "$home"
cp "$p"/share/dezozevo/site/* "$home/"
"$p/bin/dezozevo-sim" init "$home/plant.db" --generation 10 --sample >/dev/null
sed 's/SN24001-0003/SN24001-0004/' "$home/SampleResult.xml" >"$home/result4.xml"

export DEZOZEVO_HOME="$home"
"$work/cpp/station" SN24001-0003 "$home/SampleResult.xml" | tee "$work/cpp.out"
grep -q 'result stored, test ID [0-9]' "$work/cpp.out"
"$work/station_c" FCT-01 SN24001-0004 "$home/result4.xml" | tee "$work/c.out"
grep -q 'result stored, test ID [0-9]' "$work/c.out"
"$p/bin/dezozevo" state | grep -q '"startupStatus": 0'
