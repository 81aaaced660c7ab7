#!/usr/bin/env bash
# utf16text.sh SOURCE OUTPUT: a UTF-8 text file as Setup reads its texts: UTF-16LE after the
# byte-order mark, every line (the last one too) ended by CR LF.
set -euo pipefail
source=$1
output=$2
{
  printf '\377\376'
  awk '{ sub(/\r$/, ""); printf "%s\r\n", $0 }' "$source" | iconv -f UTF-8 -t UTF-16LE
} > "$output.tmp"
mv "$output.tmp" "$output"
