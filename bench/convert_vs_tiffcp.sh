#!/bin/bash
# Whole conversions side by side: `pelmorin -2` on PAGES fine text pages
# against `tiffcp -c none` on the same pages, each run writing into a fresh
# empty directory, in alternating rounds. Prints each command's median wall
# time and the ratio per coding; with valgrind, the instruction counts of
# one run of each as well.
#
#   convert_vs_tiffcp.sh PELMORIN MAKE_FAX_PAGES [ROUNDS [PAGES [TEXT_ROWS_IN]]]
#
# TEXT_ROWS_IN (see make_fax_pages): the default, 3, gives pages of about
# the density of a typed letter; 1 pages about three times denser.
set -eu

pelmorin=$1
make_pages=$2
rounds=${3:-11}
count=${4:-12}
text_rows_in=${5:-3}

command -v tiffcp >/dev/null || { echo "tiffcp not found: nothing to compare" >&2; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs "$@" in a fresh empty directory $work/out and prints its wall time in
# µs. The clock is the shell's own: a `date` process on each side would be
# timed too.
timed() {
    rm -rf "$work/out" && mkdir "$work/out"
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    echo $((${end//[.,]/} - ${start//[.,]/}))  # seconds.micros, point per locale
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

instructions() {
    rm -rf "$work/out" && mkdir "$work/out"
    valgrind --tool=callgrind --callgrind-out-file="$work/cg" "$@" >/dev/null 2>&1
    awk '/^totals:|^summary:/ { print $2; exit }' "$work/cg"
}

printf '%-5s %14s %14s %8s\n' coding "pelmorin µs" "tiffcp µs" ratio
for coding in mh mr mmr; do
    "$make_pages" "$coding" "$count" "$work/in.tif" "$work/in.fax" "$text_rows_in"
    : >"$work/p.times"
    : >"$work/t.times"
    round=0
    while [ "$round" -lt "$rounds" ]; do
        timed "$pelmorin" -2 "$work/in.fax" "$work/out/p" >>"$work/p.times"
        timed tiffcp -c none "$work/in.tif" "$work/out/out.tif" >>"$work/t.times"
        round=$((round + 1))
    done
    p=$(median <"$work/p.times")
    t=$(median <"$work/t.times")
    printf '%-5s %14s %14s %8s\n' "$coding" "$p" "$t" "$(awk -v t="$t" -v p="$p" 'BEGIN { printf "%.2f", t / p }')"
    if command -v valgrind >/dev/null; then
        pi=$(instructions "$pelmorin" -2 "$work/in.fax" "$work/out/p")
        ti=$(instructions tiffcp -c none "$work/in.tif" "$work/out/out.tif")
        printf '      instructions: pelmorin %s, tiffcp %s\n' "$pi" "$ti"
    fi
done
echo "ratio: tiffcp time / pelmorin time (above 1: pelmorin is faster)"
