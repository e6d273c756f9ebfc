#!/bin/bash
# Recompression side by side: `faxtool recompress -c TARGET` of a fax file of
# PAGES fine text pages against tiffcp recoding the same pages, coded the
# same way, as a TIFF. Recompression rewrites its file in place, so each run
# of either side first copies its input: both pay for a copy of about the
# same size. Rounds alternate; prints each side's median wall time and the
# ratio, and with valgrind the instruction counts of one run of each.
#
#   recompress_vs_tiffcp.sh FAXTOOL MAKE_FAX_PAGES [ROUNDS [PAGES [TEXT_ROWS_IN]]]
set -eu

faxtool=$1
make_pages=$2
rounds=${3:-11}
count=${4:-12}
text_rows_in=${5:-3}

command -v tiffcp >/dev/null || { echo "tiffcp not found: nothing to compare" >&2; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall time of "$@" in µs, by the shell's own clock.
timed() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    echo $((${end//[.,]/} - ${start//[.,]/}))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ours() { cp "$work/$1.fax" "$work/r.fax" && "$faxtool" recompress -c "$2" "$work/r.fax"; }
theirs() { cp "$work/$1.tif" "$work/t.tif" && tiffcp -c "$2" "$work/t.tif" "$work/out.tif"; }

instructions() {
    valgrind --tool=callgrind --callgrind-out-file="$work/cg" "$@" >/dev/null 2>&1
    awk '/^totals:|^summary:/ { print $2; exit }' "$work/cg"
}

for coding in mh mr mmr; do
    "$make_pages" "$coding" "$count" "$work/$coding.tif" "$work/$coding.fax" "$text_rows_in"
done
printf '%-10s %-8s %12s %12s %7s\n' recompress tiffcp "faxtool µs" "tiffcp µs" ratio
# source, faxtool's target, tiffcp's coding
for pair in "mh mmr g4" "mmr mh g3" "mh mr g3:2d" "mmr mr g3:2d"; do
    set -- $pair
    : >"$work/f.times"
    : >"$work/t.times"
    for ((round = 0; round < rounds; ++round)); do
        timed ours "$1" "$2" >>"$work/f.times"
        timed theirs "$1" "$3" >>"$work/t.times"
    done
    f=$(median <"$work/f.times")
    t=$(median <"$work/t.times")
    printf '%-10s %-8s %12s %12s %7s\n' "$1 to $2" "$3" "$f" "$t" \
        "$(awk -v t="$t" -v f="$f" 'BEGIN { printf "%.2f", t / f }')"
    if command -v valgrind >/dev/null; then
        cp "$work/$1.fax" "$work/r.fax"
        fi=$(instructions "$faxtool" recompress -c "$2" "$work/r.fax")
        ti=$(instructions tiffcp -c "$3" "$work/$1.tif" "$work/out.tif")
        printf '           instructions: faxtool %s, tiffcp %s, ratio %s\n' "$fi" "$ti" \
            "$(awk -v t="$ti" -v f="$fi" 'BEGIN { printf "%.2f", t / f }')"
    fi
done
echo "ratio: tiffcp / faxtool (above 1: faxtool is faster); the times include each side's copy"
