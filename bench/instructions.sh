#!/bin/sh
# The driver's own instructions per request, counted by valgrind's callgrind
# on the Release native tree (build/bench): for each request kind the
# instructions program runs it many times with instrumentation on only around
# those requests; the self cost of every function defined in the driver's
# objects is summed and divided by the requests, and the top functions are
# listed. Harness and stand-in code (emu/, the test program, libc) is left
# out, as are the driver's calls into it; inline helpers of the driver's
# headers count as the driver's, as they would in a kernel build.
#
#   bench/instructions.sh [requests]     (default 2000)
set -eu
cd "$(dirname "$0")/.."
tree=build/bench
requests=${1:-2000}
cmake -S . -B $tree -DTOLVARN_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build $tree -j4 --target instructions >/dev/null
out=$tree/instructions
mkdir -p $out
# Every function the driver's objects define (demangled, without parameters).
nm -C --defined-only $tree/CMakeFiles/tolvarn_emu.dir/driver/*.o |
    awk '$2 ~ /^[tTwW]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); sub(/\(.*$/, ""); print }' | sort -u >$out/driver-functions
for kind in cached_read miss_fill write_through_hit write_back_hit passthrough destage_piece; do
    n=$requests
    [ $kind = miss_fill ] && n=$((requests / 4))
    [ $kind = destage_piece ] && n=1
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=$out/$kind.out \
        $tree/bench/instructions $kind $n >$out/$kind.log 2>&1 || { cat $out/$kind.log; exit 1; }
    units=$(sed -n 's/^units //p' $out/$kind.log)
    pool=$(sed -n 's/^pool //p' $out/$kind.log)
    callgrind_annotate --inclusive=no --threshold=100 $out/$kind.out 2>/dev/null |
        awk -v units="$units" -v pool="$pool" -v kind="$kind" -v list=$out/driver-functions '
            BEGIN { while ((getline f < list) > 0) driver[f] = 1 }
            /^ *[0-9,]+ .*:/ {
                count = $1; gsub(/,/, "", count)
                name = $0; sub(/^ *[0-9,]+ +(\([^)]*\) +)?/, "", name); sub(/^[^:]*:/, "", name)
                sub(/ \[.*$/, "", name); sub(/\(.*$/, "", name)
                if (name in driver) { total += count; cost[name] += count }
            }
            END {
                printf "%-18s %8.0f driver instructions per %s (%.1f pool allocations)\n", kind, total / units,
                       kind == "destage_piece" ? "piece" : "request", pool / units
                n = 0
                for (f in cost) order[n++] = f
                for (i = 0; i < n; i++) for (j = i + 1; j < n; j++)
                    if (cost[order[j]] > cost[order[i]]) { t = order[i]; order[i] = order[j]; order[j] = t }
                for (i = 0; i < n && i < 8; i++) printf "    %8.0f  %s\n", cost[order[i]] / units, order[i]
            }'
done
