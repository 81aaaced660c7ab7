#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and fetches
# the libpng source. Skips everything that is already there, so a second run is fast.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
packages=(
  cmake ninja-build g++ make dpkg-dev libpng-dev clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 libz-mingw-w64-dev
  wine wine32:i386 wine64
  xvfb xauth xdotool imagemagick fonts-liberation fonts-wqy-microhei
  qemu-system-x86 xorriso libhivex-bin libwin-hivex-perl mtools socat xz-utils dosfstools fdisk
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

# Wine's 32-bit loader is an i386 program. Some x86-64 kernels run no 32-bit code
# (their IA-32 emulation is off); there qemu's user-mode emulator runs it through
# binfmt_misc. Debian 12's qemu 7.2 takes about a minute to start each Wine process
# (its mmap emulation is slow for Wine's address-space reservation), the backported
# one a fraction of a second, so the backport is the one used.
i386_runs() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
qemu_i386=/usr/bin/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
ensure_i386_exec() {
  i386_runs && return
  echo "install-deps: this kernel runs no i386 code; running it through qemu-user"
  local bpo=/etc/apt/sources.list.d/tolvarn-backports.sources
  if [ ! -f "$bpo" ]; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
      | as_root tee "$bpo" >/dev/null
    updated=no
  fi
  if ! "$qemu_i386" --version 2>/dev/null | grep -qE 'version ([89]|[1-9][0-9])\.'; then
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      -t bookworm-backports qemu-user-static
  fi
  [ -f "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  # F opens the emulator now, so a stale registration keeps an old binary: renew it.
  [ -f "$binfmt/qemu-i386" ] && echo -1 | as_root tee "$binfmt/qemu-i386" >/dev/null
  local elf32='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$elf32:$mask:$qemu_i386:F" | as_root tee "$binfmt/register" >/dev/null
  if ! i386_runs; then
    echo "install-deps: i386 programs still do not run; Wine's 32-bit side cannot work here" >&2
    exit 1
  fi
}
ensure_i386_exec

# libpng 1.6 source with Debian's patches applied, cross-built later by CMake.
src_dir="$top/.deps"
if ! ls -d "$src_dir"/libpng1.6-*/png.c >/dev/null 2>&1; then
  if ensure_deb_src; then updated=no; fi
  apt_update
  mkdir -p "$src_dir"
  (cd "$src_dir" && apt-get source -q libpng1.6)
fi
