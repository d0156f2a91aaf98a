#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the station programs of
# examples/ from the installed files only (C++ with find_package, C with
# pkg-config) and runs one station cycle with each on a simulator installed
# from the same prefix, on generations 10 and 24.
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

# On each generation, from the installed sample site and simulator: two units
# cleared and stored; a unit on hold and one due at another station refused
# by both programs, with nothing stored for them.
for gen in 10 24; do
  home="$tmp/home$gen"
  mkdir "$home"
  cp "$p"/share/dezozevo/site/* "$home/"
  "$p/bin/dezozevo-sim" init "$home/plant.db" --generation "$gen" --sample >/dev/null
  for sn in 0004 0006 0008; do
    sed "s/SN24001-0003/SN24001-$sn/" "$home/SampleResult.xml" >"$home/result$sn.xml"
  done
  export DEZOZEVO_HOME="$home"
  id=""; [ "$gen" = 10 ] && id=", test ID [0-9]"
  "$tmp/cpp/station" SN24001-0003 "$home/SampleResult.xml" | tee "$tmp/cpp.out"
  grep -q "result stored$id" "$tmp/cpp.out"
  "$tmp/station_c" FCT-01 SN24001-0004 "$home/result0004.xml" | tee "$tmp/c.out"
  grep -q "result stored$id" "$tmp/c.out"
  for case in "0008 4" "0006 3"; do
    set -- $case
    for prog in "$tmp/cpp/station SN24001-$1" "$tmp/station_c FCT-01 SN24001-$1"; do
      if $prog "$home/result$1.xml" >"$tmp/out" 2>"$tmp/err"; then
        echo "generation $gen: $prog was cleared" >&2; cat "$tmp/out" >&2; exit 1
      fi
      grep -q "status $2" "$tmp/err" || { echo "generation $gen: $prog:" >&2; cat "$tmp/err" >&2; exit 1; }
    done
  done
  stored="$("$p/bin/dezozevo-sim" results "$home/plant.db")"
  grep -q '"serial":"SN24001-0004"' <<<"$stored" || { echo "generation $gen: nothing stored" >&2; exit 1; }
  if grep -E '"serial":"SN24001-000(6|8)"' <<<"$stored"; then
    echo "generation $gen: a result of a refused unit was stored" >&2; exit 1
  fi
  "$p/bin/dezozevo" state | grep -q '"startupStatus": 0'
done
echo "install and consume: ok"
