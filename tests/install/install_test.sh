#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the station programs of
# examples/ from the installed files only and runs one station cycle with each
# (consume.sh).
#   tests/install/install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1" src="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
"$src/tests/install/consume.sh" "$tmp/prefix" "$src" "$tmp"
echo "install and consume: ok"
