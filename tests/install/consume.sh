#!/usr/bin/env bash
# Builds the station programs of examples/ from installed files only (C++ with
# find_package, C with pkg-config) and runs station cycles with each on a
# simulator installed in the same place, on generations 10 and 24.
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
cc -std=c99 -Wall -Werror "$src/examples/station.c" $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs dezozevo) \
  -Wl,-rpath,"$lib" -o "$work/station_c"

# On each generation, from the installed sample site and simulator: a unit
# cleared and stored by each program, and a unit on hold refused by each.
# The generation-10 folder stays $WORK_DIR/home for the caller.
for gen in 10 24; do
  home="$work/home"; [ "$gen" = 10 ] || home="$work/home$gen"
  mkdir "$home"
  cp "$p"/share/dezozevo/site/* "$home/"
  "$p/bin/dezozevo-sim" init "$home/plant.db" --generation "$gen" --sample >/dev/null
  sed "s/SN24001-0003/SN24001-0004/" "$home/SampleResult.xml" >"$home/result0004.xml"
  export DEZOZEVO_HOME="$home"
  id=""; [ "$gen" = 10 ] && id=", test ID [0-9]"
  "$work/cpp/station" SN24001-0003 "$home/SampleResult.xml" | tee "$work/cpp.out"
  grep -q "result stored$id" "$work/cpp.out"
  "$work/station_c" FCT-01 SN24001-0004 "$home/result0004.xml" | tee "$work/c.out"
  grep -q "result stored$id" "$work/c.out"
  for prog in "$work/cpp/station SN24001-0008" "$work/station_c FCT-01 SN24001-0008"; do
    if $prog "$home/result0004.xml" >"$work/out" 2>"$work/err" || ! grep -q "status 4" "$work/err"; then
      echo "generation $gen: $prog was not refused" >&2; cat "$work/out" "$work/err" >&2; exit 1
    fi
  done
  "$p/bin/dezozevo-sim" results "$home/plant.db" | grep -q '"serial":"SN24001-0004"' ||
    { echo "generation $gen: nothing stored" >&2; exit 1; }
  "$p/bin/dezozevo" state | grep -q '"startupStatus": 0'
done
