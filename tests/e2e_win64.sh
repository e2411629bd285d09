#!/usr/bin/env bash
# End-to-end tests of the 64-bit Windows programs under 64-bit Wine: korvalis-host-x64.exe
# driving korvalis-x64.8bi through every scenario of e2e_host.sh, whose FITS and PGM outputs
# must be byte for byte those of the native run and of the 32-bit Windows run; then the
# programs under their own names, and each host refusing a module of the other width with a
# clear message rather than crashing.
#
#   e2e_win64.sh NATIVE_BIN WIN64_BIN WORK [WIN32_BIN]
#
# Without WIN32_BIN (or when the win32 preset has not been built) the comparison with the
# 32-bit run and the 32-bit host's refusal are left out. Exit status: 0 when everything held,
# 1 on a failure, 77 (skipped) when Wine or the win64 build is missing.
set -u

native_bin=${1:?usage: e2e_win64.sh NATIVE_BIN WIN64_BIN WORK [WIN32_BIN]}
win64_bin=${2:?usage: e2e_win64.sh NATIVE_BIN WIN64_BIN WORK [WIN32_BIN]}
work=${3:?usage: e2e_win64.sh NATIVE_BIN WIN64_BIN WORK [WIN32_BIN]}
win32_bin=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
failures=0
# The programs run from other folders, so every path is made absolute.
absolute() { [[ -d $1 ]] && (cd "$1" && pwd) || echo "$1"; }
native_bin=$(absolute "$native_bin") win64_bin=$(absolute "$win64_bin")
[[ -n $win32_bin ]] && win32_bin=$(absolute "$win32_bin")

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
source "$here/wine_loader.sh"

host64=$win64_bin/korvalis-host-x64.exe module64=$win64_bin/korvalis-x64.8bi
if ! command -v wine >/dev/null || [[ ! -f $host64 || ! -f $module64 ]]; then
    echo "skipped: wine or $host64 with korvalis-x64.8bi not found (build the win64 preset)"
    exit 77
fi
if [[ ! -x $native_bin/korvalis-host ]]; then
    echo "FAIL: no native korvalis-host in $native_bin" >&2
    exit 1
fi
have32=0
[[ -n $win32_bin && -f $win32_bin/korvalis-host.exe && -f $win32_bin/korvalis.8bi ]] && wine32_runs && have32=1

rm -rf "$work" && mkdir -p "$work" || exit 1
work=$(cd "$work" && pwd)

# e2e_host.sh runs korvalis-host.exe with the module beside it, so the 64-bit programs are
# staged under the 32-bit names (the module under both names, so whichever the host picks it
# is the 64-bit one). Its Wine prefix is the folder's parent's: build/win64/wineprefix.
stage=$(cd "$win64_bin/.." && pwd)/e2e-bin
rm -rf "$stage" && mkdir -p "$stage" || exit 1
cp "$host64" "$stage/korvalis-host.exe" && cp "$module64" "$stage/korvalis-x64.8bi" &&
    cp "$module64" "$stage/korvalis.8bi" || exit 1

echo "== the scenarios with the 64-bit programs"
bash "$here/e2e_host.sh" wine "$native_bin" "$work/x64" "$stage" || fail "the scenarios failed with the 64-bit programs"

if ((have32)); then
    echo "== the scenarios with the 32-bit programs, for comparison"
    bash "$here/e2e_host.sh" wine "$native_bin" "$work/x86" "$win32_bin" ||
        fail "the scenarios failed with the 32-bit programs"
    compared=0
    for file in "$work"/x64/native/out/*.fts "$work"/x64/native/out/*.fz "$work"/x64/native/out/*.pgm \
        "$work"/x64/native/out/*.ppm; do
        name=${file##*/}
        for run in x64/wine x86/wine; do
            if cmp -s "$file" "$work/$run/out/$name"; then
                compared=$((compared + 1))
            else
                fail "$name: the ${run%/wine} Windows run differs from the native one"
            fi
        done
        cmp -s "$work/x64/wine/out/$name" "$work/x86/wine/out/$name" ||
            fail "$name: the 64- and 32-bit Windows runs differ"
    done
    ((compared > 0)) || fail "no output files to compare"
    echo "compared $((compared / 2)) FITS, FZ, PGM and PPM files: native, 32-bit and 64-bit runs byte-identical"
fi

export WINEPREFIX=$(cd "$win64_bin/.." && pwd)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# run NAME EXE ARGS...: runs a Windows program from $work; output in $work/NAME.out and
# $work/NAME.err (carriage returns removed), exit status in $status.
run() {
    local name=$1
    shift
    (cd "$work" && wine_run "$@" >"$name.out" 2>"$name.err")
    status=$?
    sed -i 's/\r$//' "$work/$name.out" "$work/$name.err"
}

# expect NAME STATUS TEXT: the run ended with STATUS and its output has TEXT; and Wine saw
# no crash.
expect() {
    local name=$1 want=$2 text=$3
    [[ $status == "$want" ]] || fail "$name: exit status $status, expected $want: $(cat "$work/$name.err")"
    [[ -z $text ]] || grep -qF -- "$text" "$work/$name.out" "$work/$name.err" ||
        fail "$name: output lacks \"$text\": $(cat "$work/$name.out" "$work/$name.err")"
    ! grep -qiE 'unhandled|exception|page fault|backtrace' "$work/$name.err" ||
        fail "$name: the program crashed: $(cat "$work/$name.err")"
}

echo "== the 64-bit programs under their own names"
cp "$work/x64/in/star.fts" "$work/star.fts"
run module64 "$host64" module
expect module64 0 "entry point ENTRYPOINT ('8664')"
grep -qF "korvalis-x64.8bi" "$work/module64.out" || fail "module64: the host did not load korvalis-x64.8bi beside it"
grep -qF " 8664(12) " "$work/module64.out" || fail "module64: the property list has no 12-byte '8664' property"
! grep -qF "wx86" "$work/module64.out" || fail "module64: the 64-bit property list still has 'wx86'"
run open64 "$host64" --quiet open star.fts star.pgm
expect open64 0 ""
cmp -s "$work/star.pgm" "$work/x64/native/out/star.pgm" || fail "open64: the image differs from the native open"

echo "== each host refuses a module of the other width"
if ((have32)); then
    run x64-loads-x86 "$host64" --module "$win32_bin/korvalis.8bi" module
    expect x64-loads-x86 3 "is a 32-bit (x86) module and this host is 64-bit"
    run x86-loads-x64 "$win32_bin/korvalis-host.exe" --module "$module64" module
    expect x86-loads-x64 3 "is a 64-bit (x86-64) module and this host is 32-bit"
    for name in x64-loads-x86 x86-loads-x64; do
        [[ -s $work/$name.err ]] && echo "$name: $(head -n 1 "$work/$name.err")"
    done
else
    echo "(left out: no 32-bit build, or a machine that cannot run 32-bit programs)"
fi
echo "not a DLL" >"$work/notadll.8bi"
run x64-loads-text "$host64" --module notadll.8bi module
expect x64-loads-text 3 "it is not a Windows DLL"

if ((failures > 0)); then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "all 64-bit Windows scenarios passed"
