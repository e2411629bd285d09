#!/usr/bin/env bash
# Runs every file of astropy's test data (or, with --debian, every FITS file that a few of
# Debian's astronomy packages ship) through korvalis-host and holds each to its verdict in
# verdicts.tsv (debian-verdicts.tsv): files that must open show the values cfitsio computes
# from them and survive a convert that keeps the physical values and that fitsverify accepts;
# all others are refused with a reason, no crash.
#
#   corpus_test.sh [--debian] HOST [CHECKER [ASTROPY_DIR]]
#     HOST         korvalis-host (of any build: default, asan)
#     CHECKER      corpus_check (default: beside HOST)
#     ASTROPY_DIR  the astropy package folder (default: where python3 finds astropy)
# Exit status: 0 every file holds to its verdict, 1 some do not, 77 astropy (or, with --debian,
# every one of the packages) is not installed.
set -euo pipefail

skip=77
here=$(cd "$(dirname "$0")" && pwd)
debian=0
[ "${1:-}" = --debian ] && debian=1 && shift
host=${1:?usage: corpus_test.sh [--debian] HOST [CHECKER [ASTROPY_DIR]]}
checker=${2:-$(dirname "$host")/corpus_check}
astropy=${3:-}

if [ "$debian" = 1 ]; then
  # The packages' folders, relative to /; scripts/install-deps.sh installs the packages.
  verdicts=$here/debian-verdicts.tsv
  root=/
  folders=(usr/lib/python3/dist-packages/reproject usr/lib/python3/dist-packages/photutils
    usr/lib/python3/dist-packages/regions usr/share/doc/libastro-fits-cfitsio-perl/examples
    usr/lib/python3/dist-packages/astroquery usr/lib/python3/dist-packages/fitsio)
  present=0
  for folder in "${folders[@]}"; do
    [ -d "/$folder" ] && present=$((present + 1))
  done
  if [ "$present" -eq 0 ]; then
    echo "SKIP: none of python3-reproject, python3-photutils, python3-regions, libastro-fits-cfitsio-perl, python3-astroquery, python3-fitsio is installed"
    exit $skip
  fi
  findData() { find "$@" -type f \( -name '*.fits' -o -name '*.fit' -o -name '*.fts' -o -name '*.fits.gz' -o -name '*.fit.gz' -o -name '*.fz' \); }
else
  verdicts=$here/verdicts.tsv
  folders=(io/fits/tests/data wcs/tests/data nddata/tests/data modeling/tests/data)
  # Plain-text files (*.txt: validation reports, model tables) are no FITS candidates; a text
  # file's refusal is one of the end-to-end scenarios.
  findData() { find "$@" -type f ! -name '*.py' ! -name '*.pyc' ! -name '*.txt' ! -path '*/__pycache__/*'; }
fi

if [ "$debian" = 1 ]; then
  :
elif [ -z "$astropy" ]; then
  # Debian's package, whichever python3 comes first on PATH.
  for python in python3 /usr/bin/python3; do
    if astropy=$("$python" -c 'import os, astropy; print(os.path.dirname(astropy.__file__))' 2>/dev/null); then
      break
    fi
    astropy=""
  done
fi
if [ "$debian" = 0 ]; then
  if [ -z "$astropy" ] || [ ! -d "$astropy/io/fits/tests/data" ]; then
    echo "SKIP: python3-astropy is not installed"
    exit $skip
  fi
  root=$astropy
fi
for tool in "$host" "$checker"; do
  [ -x "$tool" ] || { echo "FAIL: $tool is not an executable"; exit 1; }
done
command -v fitsverify >/dev/null || { echo "FAIL: fitsverify is not installed"; exit 1; }
command -v gzip >/dev/null || { echo "FAIL: gzip is not installed"; exit 1; }

# A sanitizer report must not pass for the module's own failure (both would exit with 1).
sanitizerExit=86
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=$sanitizerExit
export UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=$sanitizerExit:print_stacktrace=1

work=$(mktemp -d /tmp/korvalis-corpus-XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "files under $root, verdicts in ${verdicts##*/}"
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# The data files of the folders (those that are there).
(cd "$root" && findData $(for f in "${folders[@]}"; do [ -d "$f" ] && echo "$f"; done) | LC_ALL=C sort) >"$work/found"
grep -v -e '^#' -e '^[[:space:]]*$' "$verdicts" | cut -f1 | LC_ALL=C sort >"$work/listed"
while read -r path; do
  fail "$path: not listed in ${verdicts##*/} (add it with its verdict)"
done < <(LC_ALL=C comm -23 "$work/found" "$work/listed")
while read -r path; do
  # A listed file of a package that is not installed is left out (the packages come one by one).
  folder=$(for f in "${folders[@]}"; do case $path in "$f"/*) echo "$f" ;; esac; done)
  [ -n "$folder" ] && [ ! -d "$root/$folder" ] && continue
  fail "$path: listed in ${verdicts##*/} but not under $root"
done < <(LC_ALL=C comm -13 "$work/found" "$work/listed")
duplicates=$(uniq -d "$work/listed")
[ -z "$duplicates" ] || fail "listed more than once in ${verdicts##*/}: $duplicates"

# runHost NAME ARGS...: korvalis-host with its stderr in $work/NAME.err; sets $status.
runHost() {
  local name=$1
  shift
  status=0
  "$host" --quiet "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
}

# crashed NAME: the run ended by a signal, a sanitizer or an exit status no host gives.
crashed() {
  [ "$status" -gt 3 ] || grep -qE 'Sanitizer|runtime error:' "$work/$1.err"
}

# findings FILE: fitsverify's errors and warnings, one a line, card numbers left out (a save may
# insert cards), sorted.
findings() {
  { fitsverify "$1" 2>&1 || true; } | { grep -E '^\*\*\* (Error|Warning)' || true; } |
    sed -E 's/^\*\*\* (Error|Warning): */\1: /; s/#[0-9]+/#N/g; s/[[:space:]]+/ /g; s/ $//' | LC_ALL=C sort -u
}

showErr() {
  sed -e 's/^/    /' "$work/$1.err" | head -20
}

# succeeded PATH NAME: the run NAME of korvalis-host on PATH exited with 0, or a failure is told.
succeeded() {
  if crashed "$2"; then
    fail "$1: $2 crashed (exit status $status)"
  elif [ "$status" -ne 0 ]; then
    fail "$1: $2 exited with $status, expected 0"
  else
    return 0
  fi
  showErr "$2"
  return 1
}

# checkOpen PATH IN INHERITED PLANES: one plane opens as a PGM, three as a PPM; the host writes
# no image of other plane counts, so those are judged by the convert alone.
checkOpen() {
  local path=$1 in=$2 inherited=$3 planes=$4 image=- kind
  case $planes in
    1) image=$work/open.pgm ;;
    3) image=$work/open.ppm ;;
  esac
  if [ "$image" != - ]; then
    runHost open open "$in" "$image"
    succeeded "$path" open || return 0
    if ! "$checker" pixels "$in" "$image" 2>"$work/check.err"; then
      fail "$path: opened values differ from cfitsio's"
      showErr check
      return 0
    fi
  fi
  runHost convert convert "$in" "$work/saved.fits"
  succeeded "$path" convert || return 0
  # fitsverify must find nothing, except what the file's own kept cards carry (listed).
  local verdict
  verdict=$(fitsverify -q "$work/saved.fits" 2>&1) || true
  findings "$work/saved.fits" >"$work/saved.findings"
  if [ "$inherited" = - ]; then
    case $verdict in
      "verification OK"*) ;;
      *)
        fail "$path: fitsverify on the saved file: $verdict"
        sed 's/^/    /' "$work/saved.findings"
        ;;
    esac
  else
    printf '%s\n' "$inherited" | sed 's/ | /\n/g' | LC_ALL=C sort -u >"$work/inherited"
    findings "$in" >"$work/input.findings"
    if ! cmp -s "$work/inherited" "$work/saved.findings"; then
      fail "$path: fitsverify on the saved file finds other than the listed inherited findings"
      LC_ALL=C diff "$work/inherited" "$work/saved.findings" | sed 's/^/    /' || true
    fi
    while read -r finding; do
      grep -qxF -- "$finding" "$work/input.findings" ||
        fail "$path: \"$finding\" is listed as inherited, but fitsverify does not find it in the input"
    done <"$work/inherited"
  fi
  if ! "$checker" convert "$in" "$work/saved.fits" "$image" 2>"$work/check.err"; then
    fail "$path: the saved file does not keep the header or the values"
    showErr check
  fi
  [ "$image" != - ] || return 0
  # The saved file opens again, in a new session: as the same image when it has 8 or 16 bits;
  # samples that were mapped come back as the 16-bit physical values the saved file holds.
  local reopened=$work/reopen.${image##*.}
  runHost reopen open "$work/saved.fits" "$reopened"
  succeeded "$path" reopen || return 0
  kind=$("$checker" bitpix "$in" 2>/dev/null) || kind=?
  if [ "$kind" = 8 ] || [ "$kind" = 16 ]; then
    cmp -s "$image" "$reopened" || fail "$path: the saved file opens as another image"
  elif ! "$checker" pixels "$work/saved.fits" "$reopened" 2>"$work/check.err"; then
    fail "$path: the saved file opens with other values than cfitsio's"
    showErr check
  fi
}

checkRefuse() {
  local path=$1 in=$2 message=$3
  runHost open open "$in" "$work/open.pgm"
  if crashed open; then
    fail "$path: open crashed (exit status $status)"
    showErr open
  elif [ "$status" -ne 1 ]; then
    fail "$path: open exited with $status, expected the module's refusal (1)"
    showErr open
  elif ! grep -qF -- "$message" "$work/open.err"; then
    fail "$path: refused without the message \"$message\""
    showErr open
  fi
  [ ! -e "$work/open.pgm" ] || fail "$path: refused, yet an image was written"
}

while IFS=$'\t' read -r -u 3 path verdict reason message inherited; do
  case $path in '#'* | '') continue ;; esac
  [ -f "$root/$path" ] || continue
  rm -f "$work"/*.pgm "$work"/*.ppm "$work"/*.fits
  in=$root/$path
  case $path in
    *.gz)
      in=$work/input.fits
      gzip -dc "$root/$path" >"$in" || { fail "$path: gzip cannot decompress it"; continue; }
      ;;
  esac
  before=$failures
  # cfitsio's own view must agree with the listed verdict, so that the list stays honest.
  judged=$("$checker" classify "$in") || judged="(corpus_check failed)"
  if [ "${judged%% *}" != "$verdict" ]; then
    fail "$path: listed as $verdict ($reason), cfitsio says: $judged"
  fi
  case $verdict in
    open) checkOpen "$path" "$in" "${inherited:--}" "$(echo "$judged" | cut -d' ' -f2)" ;;
    refuse) checkRefuse "$path" "$in" "$message" ;;
    *) fail "$path: unknown verdict \"$verdict\" in verdicts.tsv" ;;
  esac
  [ "$failures" -ne "$before" ] || printf 'ok   %-46s %-6s %s\n' "$path" "$verdict" "$reason"
done 3<"$verdicts"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "every file holds to its verdict"
