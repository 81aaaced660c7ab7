#!/usr/bin/env bash
# check-image.sh IMAGE MACHINE ALLOWED_DLL...: a kernel image is a native-subsystem PE
# for MACHINE (i386 or x86-64) that imports ntoskrnl.exe and nothing outside ALLOWED_DLL.
set -eu
image=$1 machine=$2
shift 2
dump=$(objdump -p "$image")
fail() { echo "$image: $*" >&2; exit 1; }

echo "$dump" | grep -q "file format pei-$machine" || fail "not a pei-$machine image"
echo "$dump" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "subsystem is not native"
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "$imports" | grep -qx ntoskrnl.exe || fail "does not import ntoskrnl.exe"
allowed=$(printf '%s\n' "$@" | tr 'A-Z' 'a-z')
for dll in $imports; do
  echo "$allowed" | grep -qx "$dll" || fail "imports $dll"
done
echo "$image: native $machine image importing" $imports
