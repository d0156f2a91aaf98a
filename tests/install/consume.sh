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

# On each generation, from the installed sample site and simulator: two units
# cleared and stored; a unit on hold and one due at another station refused
# by both programs, with nothing stored for them.
# The generation-10 folder stays $WORK_DIR/home for the caller.
for gen in 10 24; do
  home="$work/home"; [ "$gen" = 10 ] || home="$work/home$gen"
  mkdir "$home"
  cp "$p"/share/dezozevo/site/* "$home/"
  "$p/bin/dezozevo-sim" init "$home/plant.db" --generation "$gen" --sample >/dev/null
  for sn in 0004 0006 0008; do
    sed "s/SN24001-0003/SN24001-$sn/" "$home/SampleResult.xml" >"$home/result$sn.xml"
  done
  export DEZOZEVO_HOME="$home"
  id=""; [ "$gen" = 10 ] && id=", test ID [0-9]"
  "$work/cpp/station" SN24001-0003 "$home/SampleResult.xml" | tee "$work/cpp.out"
  grep -q "result stored$id" "$work/cpp.out"
  "$work/station_c" FCT-01 SN24001-0004 "$home/result0004.xml" | tee "$work/c.out"
  grep -q "result stored$id" "$work/c.out"
  for case in "0008 4" "0006 3"; do
    set -- $case
    for prog in "$work/cpp/station SN24001-$1" "$work/station_c FCT-01 SN24001-$1"; do
      if $prog "$home/result$1.xml" >"$work/out" 2>"$work/err"; then
        echo "generation $gen: $prog was cleared" >&2; cat "$work/out" >&2; exit 1
      fi
      grep -q "status $2" "$work/err" || { echo "generation $gen: $prog:" >&2; cat "$work/err" >&2; exit 1; }
    done
  done
  stored="$("$p/bin/dezozevo-sim" results "$home/plant.db")"
  grep -q '"serial":"SN24001-0004"' <<<"$stored" || { echo "generation $gen: nothing stored" >&2; exit 1; }
  if grep -E '"serial":"SN24001-000(6|8)"' <<<"$stored"; then
    echo "generation $gen: a result of a refused unit was stored" >&2; exit 1
  fi
  "$p/bin/dezozevo" state | grep -q '"startupStatus": 0'
done
