#!/usr/bin/env bash
# check-imports-test.sh IMAGE: the import check on IMAGE, a program that imports
# kernel32.dll!GetTickCount64 (first exported by Windows Vista), case by case.
set -u
image=$1
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/system-imports.txt" "$work/without.txt"
{ cat "$here/system-imports.txt"; echo "kernel32.dll GetTickCount64 Vista"; } >"$work/with.txt"

failed=0
# oldest Windows | list | expected exit status | line expected in the output
while IFS='|' read -r oldest list status expected; do
  output=$("$here/check-imports.sh" "$image" "$oldest" "$work/$list" 2>&1)
  rc=$?
  if [ "$rc" != "$status" ] || ! grep -qF "$expected" <<<"$output"; then
    echo "FAILED: Windows $oldest, $list: exit $rc, expected $status and \"$expected\"; output:"
    echo "$output"
    failed=1
  else
    echo "ok: Windows $oldest, $list: $(grep -F "$expected" <<<"$output")"
  fi
done <<'CASES'
XP|with.txt|1|vista_import.exe: imports kernel32.dll!GetTickCount64, which Windows XP lacks (first exported by Windows Vista)
Vista|with.txt|0|vista_import.exe: all
XP|without.txt|1|vista_import.exe: imports kernel32.dll!GetTickCount64, which is not in
CASES
exit $failed
