#!/usr/bin/env bash
# Whole-process comparison: `korvalis-host convert IN OUT` against cfitsio reading IN and
# writing OUT with its header, then fsyncing it (the same durable work: the host's save
# fsyncs its temporary file before the rename). Each program runs as its own process, in
# turn, for N rounds; the table gives medians of wall-clock time.
#
#   bench/host_vs_cfitsio.sh [--runs N] [--side S] [--dir DIR] [BIN]
#     BIN   folder of korvalis-host, korvalis.so and cfitsio_roundtrip (build/default/bin)
#     DIR   where the files go (default build/bench-host: a disk, so that fsync means it)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=7 side=8192 dir=build/bench-host bin=build/default/bin
while (($#)); do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --side) side=$2; shift 2 ;;
        --dir) dir=$2; shift 2 ;;
        *) bin=$1; shift ;;
    esac
done
for program in korvalis-host cfitsio_roundtrip; do
    [[ -x $bin/$program ]] || { echo "no $bin/$program: cmake --build --preset default" >&2; exit 1; }
done
mkdir -p "$dir"
in=$dir/frame-$side.fits
[[ -f $in ]] || "$bin/cfitsio_roundtrip" make "$in" "$side"

# run NAME COMMAND...: one timed run; its wall-clock, user and system seconds are appended to
# $dir/NAME.times.
TIMEFORMAT='%R %U %S'
run() {
    local name=$1
    shift
    { time "$@"; } 2>>"$dir/$name.times"
}
# median FILE COLUMN...: the median over the lines of the sum of the columns, in milliseconds.
median() {
    local file=$1
    shift
    awk -v columns="$*" '{ split(columns, c, " "); s = 0; for (k in c) s += $c[k]; print s * 1000 }' "$file" |
        sort -n | awk '{ v[NR] = $1 } END { printf "%.0f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
runs_of() { awk '{ printf "%s%.0f", (NR > 1 ? " " : ""), $1 * 1000 }' "$1"; }

rm -f "$dir"/*.times
# One untimed round, so that both read a warm page cache.
"$bin/korvalis-host" --quiet convert "$in" "$dir/korvalis.fits"
"$bin/cfitsio_roundtrip" copy "$in" "$dir/cfitsio.fits"
for ((round = 0; round < runs; ++round)); do
    run korvalis "$bin/korvalis-host" --quiet convert "$in" "$dir/korvalis.fits"
    run cfitsio "$bin/cfitsio_roundtrip" copy "$in" "$dir/cfitsio.fits"
done
cmp -s "$dir/korvalis.fits" "$dir/cfitsio.fits" || echo "(the two outputs differ in bytes; both hold the same image)"

host_ms=$(median "$dir/korvalis.times" 1) cfitsio_ms=$(median "$dir/cfitsio.times" 1)
host_cpu=$(median "$dir/korvalis.times" 2 3) cfitsio_cpu=$(median "$dir/cfitsio.times" 2 3)
bytes=$(stat -c %s "$in")
echo "16-bit $side x $side ($bytes bytes), $runs rounds, files in $dir ($(df --output=fstype "$dir" | tail -1 | tr -d ' ')), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| program | median wall ms | median CPU ms (user + sys) | wall ms of each run |"
echo "|---|---:|---:|---|"
echo "| korvalis-host convert | $host_ms | $host_cpu | $(runs_of "$dir/korvalis.times") |"
echo "| cfitsio read + write + fsync | $cfitsio_ms | $cfitsio_cpu | $(runs_of "$dir/cfitsio.times") |"
echo
awk -v a="$host_ms" -v b="$cfitsio_ms" -v c="$host_cpu" -v d="$cfitsio_cpu" 'BEGIN {
    r = a / b
    printf "korvalis-host ÷ cfitsio, whole process: %.2f wall (target ≤ 0.80: %s), %.2f CPU\n", r, r <= 0.8 ? "met" : "MISSED", c / d }'
