#!/usr/bin/env bash
# check-stripped.sh IMAGE: a shipped image carries no debug information and no symbols;
# its debug link names IMAGE.debug beside it, which holds the debug information and
# whose CRC the link records; and the image's PE checksum is right (Windows checks it
# when it loads a driver).
set -eu
image=$1
name=$(basename "$image")
fail() { echo "$name: $*" >&2; exit 1; }

pe=$(od -An -tu4 -j 60 -N 4 "$image" | tr -d ' ')
objdump -h "$image" | grep -q ' \.debug_' && fail "carries debug sections"
[ "$(od -An -tu4 -j $((pe + 16)) -N 4 "$image" | tr -d ' ')" = 0 ] || fail "carries a symbol table"

# .gnu_debuglink: the file name, NUL-padded to 4 bytes, then the file's CRC-32.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
link=$work/debuglink
objcopy --dump-section .gnu_debuglink="$link" "$image" "$work/copy" 2>/dev/null || true
[ -s "$link" ] || fail "has no debug link"
linked=$(head -c "$(($(stat -c %s "$link") - 4))" "$link" | tr -d '\0')
[ "$linked" = "$name.debug" ] || fail "debug link names \"$linked\", not $name.debug"
debug=$(dirname "$image")/$linked
[ -f "$debug" ] || fail "$linked is missing beside it"
objdump -h "$debug" | grep -q ' \.debug_info' || fail "$linked holds no debug information"
recorded=$(tail -c 4 "$link" | od -An -tx4 | tr -d ' ')
actual=$(gzip -c <"$debug" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ')  # gzip's trailer: CRC-32
[ "$recorded" = "$actual" ] || fail "debug link CRC $recorded does not match $linked ($actual)"

# PE checksum: the 16-bit one's-complement sum of the file, its own field skipped, plus
# the file length.
field=$((pe + 24 + 64))
stored=$(od -An -tu4 -j "$field" -N 4 "$image" | tr -d ' ')
size=$(stat -c %s "$image")
computed=$( { cat "$image"; [ $((size % 2)) = 0 ] || printf '\0'; } | od -An -v -tu2 | awk -v skip=$((field / 2)) '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; if (s > 65535) s = s % 65536 + int(s / 65536) } n++ } }
  END { print s }')
computed=$((computed + size))
[ "$stored" = "$computed" ] || fail "PE checksum $stored, computed $computed"
echo "$name: stripped, $size bytes, debug information in $linked, checksum right"
