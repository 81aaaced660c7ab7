#!/usr/bin/env bash
# check-crash.sh WINERUN PREFIX PROGRAM: PROGRAM crashes; under Wine that must end it with
# a failure exit and a crash report within 30 s (Wine's crash dialog is off in the
# prefix, so nothing waits for a click).
set -u
winerun=$1 prefix=$2 program=$3
start=$(date +%s)
output=$(timeout 120 "$winerun" "$prefix" "$program" 2>&1)
rc=$?
elapsed=$(($(date +%s) - start))
echo "$output" | tail -n 20
echo "check-crash: exit status $rc after $elapsed s"
[ "$rc" != 0 ] || { echo "check-crash: the crash was reported as success"; exit 1; }
[ "$rc" != 124 ] || { echo "check-crash: the crashed program hung"; exit 1; }
[ "$elapsed" -lt 30 ] || { echo "check-crash: the crash took $elapsed s to end the program"; exit 1; }
grep -q "Unhandled exception" <<<"$output" || { echo "check-crash: no crash report in the output"; exit 1; }
echo "check-crash: the crash ended the program in $elapsed s and was reported"
