#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and fetches
# the libpng source. Skips everything that is already there, so a second run is fast.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
packages=(
  cmake ninja-build g++ make dpkg-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine32:i386 wine64
  xvfb xauth xdotool imagemagick fonts-liberation
)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing_packages() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# apt-get source needs deb-src lines; make them from the configured deb lines so the
# machine's own mirror is used.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 1
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # The security archive serves no sources here; the release's own do.
    awk -v RS= -v ORS='\n\n' '!/-security/' /etc/apt/sources.list.d/debian.sources \
      | sed 's/^Types: deb$/Types: deb-src/' | as_root tee /etc/apt/sources.list.d/tolvarn-deb-src.sources >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | grep -v -- '-security' | sed 's/^deb /deb-src /' \
      | as_root tee /etc/apt/sources.list.d/tolvarn-deb-src.list >/dev/null
  fi
  return 0
}

updated=no
apt_update() { [ $updated = yes ] || { as_root apt-get update -q; updated=yes; }; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  updated=stale
fi
[ "$updated" = stale ] && updated=no && apt_update

mapfile -t need < <(missing_packages)
if [ ${#need[@]} -gt 0 ]; then
  echo "install-deps: installing ${need[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# libpng 1.6 source with Debian's patches applied, cross-built later by CMake.
src_dir="$top/.deps"
if ! ls -d "$src_dir"/libpng1.6-*/png.c >/dev/null 2>&1; then
  if ensure_deb_src; then updated=no; fi
  apt_update
  mkdir -p "$src_dir"
  (cd "$src_dir" && apt-get source -q libpng1.6)
fi
