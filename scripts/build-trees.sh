#!/usr/bin/env bash
# Configures (once) and builds the three trees, then copies the deliverables to out/.
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

# x64 first: Setup.exe in the x86 tree carries the x64 images.
for tree in x64 x86 native; do
  echo "== building $tree"
  cmake --build "build/$tree" -j "$jobs"
done

mkdir -p out/x64 out/x86
copy() { [ -f "$1" ] && cp -p "$1" "$2" && echo "  $2"; return 0; }
echo "== deliverables"
copy build/x64/Tolvarn.sys out/x64/Tolvarn.sys
copy build/x86/Tolvarn.sys out/x86/Tolvarn.sys
copy build/x86/setup/Setup.exe out/Setup.exe
