#!/usr/bin/env bash
# The demo: a functional-test station on the MES simulator, once on a
# generation-10 database and once on a generation-24 one.
#   sim/demo.sh BUILD_DIR
# Lays out BUILD_DIR/demo/gen10 and BUILD_DIR/demo/gen24 (component folders
# with the site files and a sample simulator database), then runs a station
# cycle over a handful of units through `dezozevo --home DIR session`.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
build="$(cd "${1:?usage: sim/demo.sh BUILD_DIR}" && pwd)"

for exe in dezozevo dezozevo-sim; do
  if [ ! -x "$build/$exe" ]; then
    echo "demo: $build/$exe is missing; build first (./dz build)" >&2
    exit 1
  fi
done
command -v python3 >/dev/null || { echo "demo: python3 is needed (apt-get install python3)" >&2; exit 1; }

cd "$root"
for gen in 10 24; do
  home="$build/demo/gen$gen"
  rm -rf "$home"
  mkdir -p "$home"
  cp site/DEZozevo.ini site/DEZozevo.xsl site/GetHeader.xsl site/SaveResult.xsd site/GetUnitInfo.xsd "$home/"
  "$build/dezozevo-sim" init "$home/plant.db" --generation "$gen" --sample >/dev/null
  echo
  python3 "$here/demo.py" "$build" "$home" "$gen"
  log=$(ls "$home"/DEZozevo*.log 2>/dev/null | head -n1 || true)
  echo "  log:      ${log#$root/}"
  echo "  results:  $(realpath --relative-to="$root" "$build")/dezozevo-sim results ${home#$root/}/plant.db"
  echo "  journal:  $(realpath --relative-to="$root" "$build")/dezozevo-sim calls ${home#$root/}/plant.db"
done
echo
echo "Each component folder holds DEZozevo.ini (SERVER=sim:plant.db, STATION=FCT-01), the site's"
echo "style sheets and schemas, the simulator database and the day's log. Try:"
echo "  $(realpath --relative-to="$root" "$build")/dezozevo --home ${build#$root/}/demo/gen10 call GetOrderInfoByStation strWorkOrderInfo="

if /usr/bin/python3 -c 'import ctypes' 2>/dev/null; then
  echo
  echo "The station in Python (examples/python/station.py), retesting the failed unit on generation 10:"
  PYTHONPATH="$root/python" DEZOZEVO_LIBRARY="$build/libDEZozevo.so.1" DEZOZEVO_SIM="$build/dezozevo-sim" \
    /usr/bin/python3 "$root/examples/python/station.py" --home "$build/demo/gen10" SN24001-0005
fi
