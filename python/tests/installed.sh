#!/usr/bin/env bash
# Installs the build into a prefix inside the build folder and runs the
# package's pytest suite on the installed package only: the fixtures come
# through the pytest11 entry point, the library, commands and site files
# from the prefix.
#   python/tests/installed.sh BUILD_DIR SITE_PACKAGES_RELATIVE PYTHON SUITE...
set -euo pipefail
build="$1" site="$2" python="$3"
shift 3
prefix="$build/python-prefix"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"
env -u DEZOZEVO_LIBRARY -u DEZOZEVO_SIM -u DEZOZEVO_SITE -u DEZOZEVO_HOME \
  PYTHONPATH="$prefix/$site" DZ_EXPECT_PREFIX="$prefix" \
  "$python" -m pytest -q -p no:cacheprovider "$@"
