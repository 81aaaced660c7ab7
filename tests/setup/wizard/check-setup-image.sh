#!/usr/bin/env bash
# check-setup-image.sh IMAGE: Setup.exe is a PE32 GUI program that imports only
# Windows system DLLs and whose manifest asks for administrator rights.
set -eu
image=$1
dump=$(objdump -p "$image")
fail() { echo "$image: $*" >&2; exit 1; }

echo "$dump" | grep -q "file format pei-i386" || fail "not a PE32 image"
echo "$dump" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32"
echo "$dump" | grep -Eq '^Subsystem[[:space:]]+00000002' || fail "subsystem is not Windows GUI"
system_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll
msvcrt.dll setupapi.dll comctl32.dll version.dll msimg32.dll"
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  echo "$system_dlls" | tr ' ' '\n' | grep -qx "$dll" || fail "imports $dll"
done
grep -aq 'level="requireAdministrator"' "$image" || fail "manifest does not require administrator rights"
echo "$image: PE32 GUI importing" $imports
