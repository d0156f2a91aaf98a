#!/usr/bin/env bash
# Builds the Debian package from the build folder (cpack), checks that the
# binaries are stripped with their debug information in the dbgsym package,
# installs it, builds and runs the station programs of examples/ against it
# (consume.sh) and the Python station with Debian's python3, then removes it
# and checks that none of its files is left.
#   tests/install/package_test.sh BUILD_DIR SOURCE_DIR
# As root with apt-get, and no dezozevo package installed already, the package
# is installed into the system (apt-get install ./dezozevo_*.deb, then purged);
# otherwise, or with DZ_PACKAGE_TEST=scratch, it is unpacked into a scratch root.
set -euo pipefail
build="$1" src="$2"
tmp="$(mktemp -d)"
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 dezozevo >/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

(cd "$build" && cpack -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log" >&2; exit 1; }
deb="$(ls "$tmp"/pkg/dezozevo_*.deb)"
ddeb="$(ls "$tmp"/pkg/dezozevo-dbgsym_*.ddeb)"

# Stripped binaries; each one's debug information under its build ID in the dbgsym package.
dpkg-deb -x "$deb" "$tmp/content"
dpkg-deb -x "$ddeb" "$tmp/dbgsym"
for f in "$tmp"/content/usr/bin/dezozevo "$tmp"/content/usr/bin/dezozevo-sim "$tmp"/content/usr/lib*/libDEZozevo.so.1 \
         "$tmp"/content/usr/lib/*/libDEZozevo.so.1; do
  [ -e "$f" ] || continue
  if readelf -S --wide "$f" | grep -q '\.debug_info'; then echo "not stripped: $f" >&2; exit 1; fi
  id="$(readelf -n "$f" | sed -n 's/.*Build ID: *//p')"
  [ -f "$tmp/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
    { echo "no debug information for $f (build ID $id)" >&2; exit 1; }
done
for f in usr/lib/python3/dist-packages/dezozevo/py.typed usr/share/doc/dezozevo/docs/reference.md; do
  [ -e "$tmp/content/$f" ] || { echo "not in the package: /$f" >&2; exit 1; }
done

mode="${DZ_PACKAGE_TEST:-system}"
if [ "$mode" = system ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    mode=scratch
  else
    # One system install at a time on this machine: other checkouts run this test too.
    exec 9>/tmp/dezozevo-package-test.lock
    flock -w 900 9
    if dpkg-query -W -f='${Status}' dezozevo 2>/dev/null | grep -q 'ok installed'; then
      echo "a dezozevo package is installed already: testing in a scratch root instead"
      mode=scratch
    fi
  fi
fi

mkdir "$tmp/use"
if [ "$mode" = scratch ]; then
  "$src/tests/install/consume.sh" "$tmp/content/usr" "$src" "$tmp/use"
  env -u DEZOZEVO_LIBRARY -u DEZOZEVO_SIM -u DEZOZEVO_SITE -u DEZOZEVO_HOME PYTHONDONTWRITEBYTECODE=1 \
    PYTHONPATH="$tmp/content/usr/lib/python3/dist-packages" \
    /usr/bin/python3 "$src/examples/python/station.py" --home "$tmp/use/home" SN24001-0005 | tee "$tmp/py.out"
  grep -q 'SN24001-0005 .*stored' "$tmp/py.out"
  echo "debian package (scratch root): ok"
  exit 0
fi

installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" \
  >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; exit 1; }
dpkg-query -L dezozevo >"$tmp/files"

"$src/tests/install/consume.sh" /usr "$src" "$tmp/use"
# Debian's python3 finds the package without PYTHONPATH, and the library and
# commands beside it; a root run writes byte code that the removal must take too.
env -i PATH=/usr/bin:/bin HOME="$tmp" /usr/bin/python3 "$src/examples/python/station.py" --home "$tmp/use/home" \
  SN24001-0005 | tee "$tmp/py.out"
grep -q 'SN24001-0005 .*stored' "$tmp/py.out"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 dezozevo >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log" >&2; exit 1; }
installed=""
if dpkg-query -W -f='${Status}' dezozevo 2>/dev/null | grep -q 'installed'; then
  echo "dezozevo is still known to dpkg after purge" >&2; exit 1
fi
# Left over: any file of the package, or any folder of its own (the shared ones stay).
left=0
while read -r f; do
  if [ -e "$f" ] && { [ ! -d "$f" ] || echo "$f" | grep -qi dezozevo; }; then
    echo "left after removal: $f" >&2
    left=1
  fi
done <"$tmp/files"
[ "$left" -eq 0 ]
echo "debian package (installed into the system and removed): ok"
