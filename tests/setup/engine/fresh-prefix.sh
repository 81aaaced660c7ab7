#!/usr/bin/env bash
# fresh-prefix.sh TOOLS PREFIX PROGRAM [ARGS...]: runs a Windows program in a new Wine prefix
# made for this run from the pristine one (WINEARCH chooses which), then ends the prefix's
# wineserver and deletes the prefix. The exit code is the program's.
set -u
tools=$1 prefix=$2
shift 2
rm -rf "$prefix"
"$tools/wineprefix-init" "$prefix" >/dev/null || exit 1
"$tools/winerun" "$prefix" "$@"
rc=$?
( . "$tools/wineenv" "$prefix" && wineserver -k 2>/dev/null; wineserver -w 2>/dev/null )
rm -rf "$prefix"
exit $rc
