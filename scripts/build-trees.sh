#!/usr/bin/env bash
# Configures (once) and builds the three trees and the fuzz tree, then copies the deliverables to out/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

configure() { # tree [cmake args...]
  local tree=$1; shift
  # A tree configured with the posix-thread-model compilers is configured afresh (its
  # Wine prefix is kept).
  if grep -qs '^CMAKE_CXX_COMPILER_AR:.*-posix$' "build/$tree/CMakeCache.txt"; then
    rm -rf "build/$tree/CMakeCache.txt" "build/$tree/CMakeFiles"
  fi
  [ -f "build/$tree/CMakeCache.txt" ] || cmake -S . -B "build/$tree" -G Ninja "$@" >/dev/null
}

configure x64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x64.cmake
configure x86 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86.cmake -DTOLVARN_X64_BUILD_DIR="$top/build/x64"
configure native
# libFuzzer targets need clang: a project of their own in tests/fuzz.
[ -f build/fuzz/CMakeCache.txt ] || cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null

# x64 first: Setup.exe in the x86 tree carries the x64 images.
for tree in x64 x86 native fuzz; do
  echo "== building $tree"
  cmake --build "build/$tree" -j "$jobs"
done

mkdir -p out/x64 out/x86
# Each deliverable with its size; its debug information goes beside it (<file>.debug).
ship() { # built-file deliverable
  [ -f "$1" ] || return 0
  cp -p "$1" "$2"
  [ -f "$1.debug" ] && cp -p "$1.debug" "$2.debug"
  printf '  %-22s %9d bytes\n' "$2" "$(stat -c %s "$2")"
}
echo "== deliverables"
ship build/x64/Tolvarn.sys out/x64/Tolvarn.sys
ship build/x86/Tolvarn.sys out/x86/Tolvarn.sys
ship build/x86/setup/Setup.exe out/Setup.exe
# The files Setup.exe carries, as its generated resource script lists them.
payload=$(sed -n 's/^[0-9]* BINRES "\(.*\)"$/\1/p' build/x86/setup/payload.rc 2>/dev/null \
  | while read -r file; do stat -c %s "$file"; done | awk '{ sum += $1 } END { print sum + 0 }')
[ -f out/Setup.exe ] && printf '  %-22s %9d bytes of payload\n' "" "$payload"
exit 0
