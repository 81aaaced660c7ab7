#!/usr/bin/env bash
# check-imports.sh IMAGE OLDEST [LIST]: every function that IMAGE imports from a system DLL
# is in LIST (tests/images/system-imports.txt by default) and exported there by Windows
# OLDEST (2000, XP, 2003, Vista, 7, 8, 8.1 or 10), the oldest Windows the image must load
# on; a function missing from LIST or newer than OLDEST fails with its DLL and name.
set -eu
image=$1 oldest=$2
list=${3:-$(dirname "$0")/system-imports.txt}
name=$(basename "$image")

dump=$(objdump -p "$image")
case $dump in
  *"file format pei-i386"*) arch=x86 ;;
  *"file format pei-x86-64"*) arch=x64 ;;
  *) echo "$name: not a PE image for x86 or x64" >&2; exit 1 ;;
esac

# "dll function" per import; an import by ordinal is "dll #ordinal".
imports=$(echo "$dump" | awk '
  /^\tDLL Name: / { dll = tolower($3); next }
  /^\tvma: / || /^$/ { next }
  dll != "" && /^\t[0-9a-f]+\t/ {
    if (NF >= 3) print dll, $3; else print dll, "#" $2 }
  /^[^\t]/ { dll = "" }')

echo "$imports" | awk -v image="$name" -v oldest="$oldest" -v arch="$arch" -v list="$list" '
  BEGIN {
    n = split("2000 XP 2003 Vista 7 8 8.1 10", order, " ")
    for (i = 1; i <= n; i++) { rank[order[i]] = i; title[order[i]] = "Windows " order[i] }
    title["2003"] = "Windows Server 2003"
    if (!(oldest in rank)) { print image ": unknown Windows version " oldest > "/dev/stderr"; exit 2 }
    while ((getline line < list) > 0) {
      sub(/#.*/, "", line)
      if (split(line, f, " ") < 3) continue
      key = tolower(f[1]) " " f[2]
      since[key] = f[3]
      only[key] = f[4]
      if (!(f[3] in rank)) { print list ": " f[2] ": unknown Windows version " f[3] > "/dev/stderr"; bad = 1 }
    }
    if (bad) exit 2
  }
  NF == 2 {
    count++
    key = $1 " " $2
    if (!(key in since)) {
      printf "%s: imports %s!%s, which is not in %s: add \"%s %s <first Windows version>\" as its documentation gives it\n",
        image, $1, $2, list, $1, $2 > "/dev/stderr"
      failed = 1
    } else if (rank[since[key]] > rank[oldest]) {
      printf "%s: imports %s!%s, which %s lacks (first exported by %s)\n",
        image, $1, $2, title[oldest], title[since[key]] > "/dev/stderr"
      failed = 1
    } else if (only[key] != "" && only[key] != arch) {
      printf "%s: imports %s!%s, which Windows exports on %s only, into an %s image\n",
        image, $1, $2, only[key], arch > "/dev/stderr"
      failed = 1
    }
  }
  END {
    if (failed || bad) exit 1
    printf "%s: all %d imported functions are exported by %s (%s)\n", image, count, title[oldest], arch
  }'
