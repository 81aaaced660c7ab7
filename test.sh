#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test: the native
# tests, the image checks, a short fuzzing run and, through wine, Setup's tests. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh || exit 1
scripts/build-trees.sh || exit 1

failed=0
run_ctest() { # tree [ctest args...]
  local tree=$1; shift
  echo "== tests: $tree"
  ctest --test-dir "build/$tree" --output-on-failure --no-tests=error "$@" || failed=1
}
run_ctest native -j "$(nproc)"
run_ctest x64 -j 4
run_ctest x86 -j 4
run_ctest fuzz
# On CI nothing else shares the prefixes: end their wineservers and Xvfb.
if [ -n "${CI:-}" ]; then
  for prefix in build/x86/wine/prefix build/x86/wine32/prefix; do
    [ -d "$prefix" ] && tools/wineprefix-stop "$PWD/$prefix"
  done
fi
exit $failed
