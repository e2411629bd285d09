#!/usr/bin/env bash
# End-to-end scenarios of korvalis-host: every command and its failure paths, run natively
# or, in wine mode, with the Windows korvalis-host.exe and korvalis.8bi under Wine, whose
# FITS, PGM and PPM outputs must then be byte for byte those of the native run. Every FITS file
# written is checked with fitsverify.
#
#   e2e_host.sh native NATIVE_BIN WORK
#   e2e_host.sh wine NATIVE_BIN WORK WIN32_BIN     (exit 77 = skipped: no Wine or no build)
set -u

mode=$1 native_bin=$2 work=$3 win32_bin=${4:-}
fuzz_corpus=$(cd "$(dirname "$0")/../fuzz/corpus" && pwd)
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
source "$(dirname "$0")/wine_loader.sh"

if [[ $mode == wine ]]; then
    if ! command -v wine >/dev/null || [[ ! -f $win32_bin/korvalis-host.exe || ! -f $win32_bin/korvalis.8bi ]]; then
        echo "skipped: wine or $win32_bin/korvalis-host.exe with korvalis.8bi not found (build the win32 preset)"
        exit 77
    fi
    if ! file -b "$win32_bin/korvalis-host.exe" | grep -q '^PE32+' && ! wine32_runs; then
        echo "skipped: this machine cannot run 32-bit programs (its kernel refuses i386 executables), so 32-bit Wine cannot start"
        exit 77
    fi
    export WINEPREFIX=$(cd "$win32_bin/.." && pwd)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    # Without a display Wine's message boxes return at once instead of waiting for a click.
    unset DISPLAY WAYLAND_DISPLAY
fi

rm -rf "$work" && mkdir -p "$work/in" && cd "$work" || exit 1

# host DIR ARGS...: runs the host of this mode from inside DIR; output in DIR/last.out and
# DIR/last.err, exit status in $status.
host() {
    local dir=$1 program
    shift
    if [[ $dir == wine* ]]; then
        program=(wine_run "$win32_bin/korvalis-host.exe")
    else
        program=("$native_bin/korvalis-host")
    fi
    (cd "$dir" && "${program[@]}" --quiet "$@" >last.out 2>last.err)
    status=$?
    tr -d '\r' <"$dir/last.out" >"$dir/last.tmp" && mv "$dir/last.tmp" "$dir/last.out"
    tr -d '\r' <"$dir/last.err" >"$dir/last.tmp" && mv "$dir/last.tmp" "$dir/last.err"
}

# expect DIR STATUS TEXT NAME: the last run ended with STATUS and said TEXT (stdout or stderr).
expect() {
    local dir=$1 want=$2 text=$3 name=$4
    [[ $status == "$want" ]] || fail "$dir: $name: exit status $status, expected $want: $(cat "$dir/last.err")"
    [[ -z $text ]] || grep -qF -- "$text" "$dir/last.out" "$dir/last.err" ||
        fail "$dir: $name: output lacks \"$text\": $(cat "$dir/last.out" "$dir/last.err")"
}

# Inputs, made natively once for both runs: the demo's star field and small PNM images.
"$native_bin/korvalis-host" --quiet demo in/demo >in/demo.log 2>&1 || fail "the native demo failed: $(cat in/demo.log)"
cp in/demo/starfield.fts in/star.fts
cp in/star.fts in/star.fits
"$native_bin/korvalis-host" --quiet open in/star.fts in/star.pgm || fail "the native open of the demo file failed"
perl -e 'print "P5\n# small grey test image\n7 5\n255\n"; print chr(($_ * 37) % 256) for 0..34' >in/grey8.pgm
perl -e 'print "P5\n9 4\n65535\n"; print pack("n", ($_ * 7919) % 65536) for 0..35' >in/grey16.pgm
perl -e 'print "P6\n3 2\n255\n"; print chr(($_ * 53) % 256) for 0..17' >in/rgb8.ppm
perl -e 'print "P6\n5 3\n65535\n"; print pack("n", ($_ * 4099 + 7) % 65536) for 0..44; ' >in/rgb16.ppm
perl -e 'print "P5\n2 2\n1000\n", "\0" x 8' >in/badmax.pgm
perl -e 'print "P5\n4 4\n255\n", "\0" x 9' >in/short.pgm
perl -e 'print "NOT A FITS FILE" . " " x 2865' >in/notfits.fts
perl -e 'printf "%-80s" x 6, "SIMPLE  =                    T", "BITPIX  =                   12",
    "NAXIS   =                    2", "NAXIS1  =                    2", "NAXIS2  =                    2", "END";
    print " " x (2880 - 480), "\0" x 2880' >in/bitpix12.fts
head -c 100000 in/star.fts >in/truncated.fts
# The demo file tile-compressed as fpack writes it (Rice, one row a tile).
fpack -O in/star.fz in/star.fts || fail "fpack could not compress the demo file"
echo "not a library" >in/notalib.so

# within_one_step A B: two 16-bit PGM images of the same size whose samples differ by at most one.
within_one_step() {
    perl -e 'sub samples { open my $f, "<:raw", $_[0] or die; local $/; my $b = <$f>;
                 $b =~ s/^P[56]\s+(?:#[^\n]*\n\s*)*\d+\s+\d+\s+65535\s//s or die "$_[0]: not a 16-bit PGM or PPM\n";
                 return unpack("n*", $b) }
             my @a = samples($ARGV[0]); my @b = samples($ARGV[1]);
             die "sizes differ\n" unless @a == @b;
             for (0 .. $#a) { die "sample $_: $a[$_] and $b[$_]\n" if abs($a[$_] - $b[$_]) > 1 }' "$1" "$2"
}
# fits_image OUT BITPIX AXES PACK CARDS VALUES...: a primary image written by hand: the axes
# separated by blanks, the samples packed with perl's PACK letter (big-endian), CARDS as
# KEY=VALUE separated by ";", the values repeated over the whole image ("nan", "inf", "-inf").
fits_image() {
    perl -e '
        my ($out, $bitpix, $axes, $pack, $extra, @values) = @ARGV;
        my @axes = split / /, $axes;
        my $card = sub { my ($k, $v) = @_; $v =~ /^\x27/ ? sprintf("%-8s= %-70s", $k, $v) : sprintf("%-8s= %20s%50s", $k, $v, "") };
        my @cards = ($card->("SIMPLE", "T"), $card->("BITPIX", $bitpix), $card->("NAXIS", scalar @axes));
        push @cards, $card->("NAXIS" . ($_ + 1), $axes[$_]) for 0 .. $#axes;
        push @cards, $card->(split /=/, $_, 2) for grep { length } split /;/, $extra;
        my $header = join("", @cards) . sprintf("%-80s", "END");
        $header .= " " x ((2880 - length($header) % 2880) % 2880);
        my $count = 1;
        $count *= $_ for @axes;
        my $inf = 9**9**9;
        my %special = (nan => $inf - $inf, inf => $inf, "-inf" => -$inf);
        my $data = join "", map { my $v = $values[$_ % @values]; pack($pack, exists $special{$v} ? $special{$v} : $v) } 0 .. $count - 1;
        $data .= "\0" x ((2880 - length($data) % 2880) % 2880);
        open(my $file, ">:raw", $out) or die "$out: $!";
        print $file $header, $data;
    ' "$@"
}
# Every kind the module maps into 16 bits: floating point with blanks, a 32-bit RGB cube, a
# bottom-up image and its top-down twin (the rows in the other order), a radio-style NAXIS4 = 1.
fits_image in/float.fts -32 "6 4" "f>" "" 0.5 -3.25 nan 1e6 inf 17 -inf 2.75 -0.001
fits_image in/cube.fts 32 "5 4 3" "l>" "" -2147483648 7 123456 2147483647 -9 0 65535
fits_image in/bottomup.fts -64 "5 3" "d>" "ROWORDER='BOTTOM-UP'" 1.5 2 3 4 5 6.25 7 8 9 10 11 12 13 14 15.75
fits_image in/topdown.fts -64 "5 3" "d>" "" 11 12 13 14 15.75 6.25 7 8 9 10 1.5 2 3 4 5
fits_image in/radio.fts -32 "4 3 1 1" "f>" "BUNIT='JY/BEAM'" 0.25 -0.125 nan 3
# 16-bit data that are not whole numbers in 0..65535: signed with negatives and a BLANK, and a
# fractional scaling; both reach the host as shifted stored samples.
fits_image in/signed.fts 16 "6 4" "s>" "BLANK=-32768" -900 4000 0 -32768 -1 17 32767
fits_image in/fraction.fts 16 "5 3" "s>" "BZERO=1500;BSCALE=0.0458" -3 4000 1 -32768 32767
# Axes of length 1 with coordinates for every axis: a spectral cube of 7 planes with
# NAXIS4 = 1 (Stokes), and a 16-bit image of one plane with NAXIS3 = 1 (frequency).
axis() {
    printf "CTYPE%s='%s';CRVAL%s=%s;CDELT%s=%s;CRPIX%s=%s;CROTA%s=0.0;CUNIT%s='%s';" $1 $2 $1 $3 $1 $4 $1 $5 $1 $1 "$6"
}
cube_axes=$(axis 1 RA---SIN 57.66 -0.0064 -799.0 deg; axis 2 DEC--SIN 0.0 0.0064 -4741.9 deg
            axis 3 VOPT -9959.44 66.42 -187.0 m/s; axis 4 STOKES 1.0 1.0 1.0 "")
plane_axes=$(axis 1 RA---TAN 83.6 -0.001 3.5 deg; axis 2 DEC--TAN 22.0 0.001 2.5 deg; axis 3 FREQ 1.4E9 1E6 1.0 Hz)
fits_image in/cube4.fts -32 "6 5 7 1" "f>" "$cube_axes" 0.5 -3.25 7 1e3 42
fits_image in/plane3.fts 16 "6 5 1" "n" "BZERO=32768;$plane_axes" 0 9 40000 65535 1234
# Two documents of one session, each with its own object, WCS and mapping: floating point
# mapped linearly, and 32-bit integers moved by an offset.
fits_image in/docA.fts -32 "6 4" "f>" "OBJECT='M31 field';CTYPE1='RA---TAN';CTYPE2='DEC--TAN';CRPIX1=3.5;CRPIX2=2.5;CRVAL1=10.6847;CRVAL2=41.269;CDELT1=-0.0002;CDELT2=0.0002" \
    0.5 -3.25 1e6 17 2.75 -0.001 42
fits_image in/docB.fts 32 "5 3" "l>" "OBJECT='M42 field';CTYPE1='GLON-CAR';CTYPE2='GLAT-CAR';CRPIX1=3;CRPIX2=2;CRVAL1=209.01;CRVAL2=-19.38;CDELT1=-0.001;CDELT2=0.001" \
    -100 7 250 399 0
# Outputs that are not regular files (native only): a link is saved through to its target, a
# device or a FIFO is written in place, a folder is refused.
output_kinds() {
    local d=$1
    mkdir -p "$d/out/kinds/real" && printf 'old' >"$d/out/kinds/real/target.fts"
    ln -s real/target.fts "$d/out/kinds/link.fts"
    host "$d" convert in/star.fts out/kinds/link.fts;  expect "$d" 0 "" "save through a symbolic link"
    [[ -L $d/out/kinds/link.fts ]] || fail "$d: the symbolic link was replaced"
    cmp -s in/star.fts "$d/out/kinds/real/target.fts" || fail "$d: the link's target does not hold the saved file"
    [[ $(ls -A "$d/out/kinds/real") == target.fts && $(ls -A "$d/out/kinds") == $'link.fts\nreal' ]] ||
        fail "$d: a temporary file was left beside the link or its target: $(ls -AR "$d/out/kinds")"
    ln -s missing/new.pgm "$d/out/kinds/dangling.pgm" && mkdir "$d/out/kinds/missing"
    host "$d" open in/star.fts out/kinds/dangling.pgm; expect "$d" 0 "" "open into a link to a new file"
    cmp -s "$d/out/star.pgm" "$d/out/kinds/missing/new.pgm" || fail "$d: a link to a new file was not written through"
    ln -s loop2.fts "$d/out/kinds/loop1.fts" && ln -s loop1.fts "$d/out/kinds/loop2.fts"
    host "$d" convert in/star.fts out/kinds/loop1.fts; expect "$d" 3 "go round in circles" "links in a circle"
    # As root a faulty host could replace /dev/null itself, so root tries a null device of its own.
    local null=/dev/null
    if [[ $(id -u) == 0 ]] && mknod "$d/out/kinds/null" c 1 3 2>/dev/null; then
        null=$PWD/$d/out/kinds/null
    fi
    host "$d" convert in/star.fts "$null";             expect "$d" 0 "" "save to a device"
    [[ -c $null ]] || fail "$d: $null is no longer a device"
    mkfifo "$d/out/kinds/pipe.fts"
    timeout 60 cat "$d/out/kinds/pipe.fts" >"$d/out/kinds/from-pipe.fts" &
    host "$d" convert in/star.fts out/kinds/pipe.fts;  expect "$d" 0 "" "save to a FIFO"
    wait
    [[ -p $d/out/kinds/pipe.fts ]] || fail "$d: the FIFO was replaced"
    cmp -s in/star.fts "$d/out/kinds/from-pipe.fts" || fail "$d: the FIFO's reader did not get the saved file"
    # A kept header with checksums is written again once the data are out; a pipe cannot go
    # back, so the reader must still get exactly the file a regular save gives.
    cp "$fuzz_corpus/valid-16bit-checksum-and-datasum-two-blocks.fits" "$d/out/kinds/sums.fts"
    host "$d" convert out/kinds/sums.fts out/kinds/sums-again.fts; expect "$d" 0 "" "save with checksums"
    timeout 60 cat "$d/out/kinds/pipe.fts" >"$d/out/kinds/sums-from-pipe.fts" &
    host "$d" convert out/kinds/sums.fts out/kinds/pipe.fts; expect "$d" 0 "" "save with checksums to a FIFO"
    wait
    cmp -s "$d/out/kinds/sums-again.fts" "$d/out/kinds/sums-from-pipe.fts" ||
        fail "$d: a save with checksums reached the FIFO's reader other than as a regular save writes it"
    mkdir "$d/out/kinds/folder.fts"
    host "$d" convert in/star.fts out/kinds/folder.fts; expect "$d" 3 "it is a folder" "save onto a folder"
    ln -s folder.fts "$d/out/kinds/to-folder.fts"
    host "$d" save in/grey8.pgm out/kinds/to-folder.fts; expect "$d" 3 "it leads to a folder" "link to a folder"
    rm -rf "$d/out/kinds"
}

# The module's texts (native only): held under --quiet and shown when the run fails; in the
# locale's character set, UTF-8 here, into a file, a pipe and a terminal alike (the C locale's
# ASCII cannot hold them, so it gets UTF-8 too).
module_texts() {
    local d=$1 program="$native_bin/korvalis-host"
    (cd "$d" && "$program" demo out/texts >/dev/null 2>last.err)
    grep -qxF "KORVALIS: Will Overwrite previous header!" "$d/last.err" || fail "$d: demo without --quiet: no notice"
    host "$d" demo out/texts;                      expect "$d" 0 "" "quiet demo"
    [[ ! -s $d/last.err ]] || fail "$d: --quiet still printed: $(cat "$d/last.err")"
    host "$d" open in/bitpix12.fts out/x.pgm;      expect "$d" 1 "Header Check: BITPIX is 12" "quiet refusal says why"
    (cd "$d" && LC_ALL=C.UTF-8 "$program" about 2>last.err)
    grep -qF "Photoshop®." "$d/last.err" || fail "$d: about into a file is not UTF-8: $(grep -a Photoshop "$d/last.err")"
    (cd "$d" && LC_ALL=C.UTF-8 "$program" about 2>&1 | cat >last.err)
    grep -qF "Photoshop®." "$d/last.err" || fail "$d: about into a pipe is not UTF-8: $(grep -a Photoshop "$d/last.err")"
    (cd "$d" && LC_ALL=C "$program" about 2>last.err)
    grep -qF "Photoshop®." "$d/last.err" || fail "$d: about in the C locale is not UTF-8: $(grep -a Photoshop "$d/last.err")"
    if command -v script >/dev/null; then
        script -qec "'$program' about" /dev/null >"$d/last.out" 2>&1
        grep -qF "Photoshop®." "$d/last.out" || fail "$d: about on a terminal is not UTF-8: $(grep -a Photoshop "$d/last.out")"
    fi
    rm -rf "$d/out/texts"
}

# same_world IN OUT: astropy's WCS of both files has the same axes (coordinate axes and image
# axes they describe) and gives the same world coordinates (to 1e-9) at the first, last and a
# middle pixel.
same_world() {
    /usr/bin/python3 -c '
import sys, warnings
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS
warnings.simplefilter("ignore")
headers = [fits.getheader(path) for path in sys.argv[1:3]]
before, after = (WCS(header) for header in headers)
if (after.pixel_n_dim, after.pixel_shape) != (before.pixel_n_dim, before.pixel_shape):
    sys.exit(f"{sys.argv[2]}: axes {after.pixel_n_dim} of {after.pixel_shape}, "
             f"were {before.pixel_n_dim} of {before.pixel_shape}")
last = np.array(before.pixel_shape) - 1
pixels = np.array([np.zeros_like(last), last, last // 2])
moved = np.abs(after.all_pix2world(pixels, 0) - before.all_pix2world(pixels, 0)).max()
if not moved <= 1e-9:
    sys.exit(f"{sys.argv[2]}: world coordinates moved by {moved}")
' "$1" "$2"
}

# fits_header CARDS...: one header: KEY=VALUE cards (a value in apostrophes is a string), any
# other argument a card as it stands (HISTORY ...), then END, padded to a whole block.
fits_header() {
    perl -e '
        my @cards = map {
            my ($key, $value) = /^([A-Z0-9_-]{1,8})=(.*)$/;
            !defined $key          ? sprintf("%-80s", $_)
            : $value =~ /^\x27/    ? sprintf("%-8s= %-70s", $key, $value)
                                   : sprintf("%-8s= %20s%50s", $key, $value, "")
        } @ARGV;
        my $header = join("", @cards) . sprintf("%-80s", "END");
        print $header, " " x ((2880 - length($header) % 2880) % 2880);' "$@"
}
# fits_data PACK COUNT VALUES...: COUNT samples packed with perl's PACK letter, the values
# repeated, padded with zeros to a whole block.
fits_data() {
    perl -e 'my ($pack, $count, @values) = @ARGV;
             my $data = join "", map { pack($pack, $values[$_ % @values]) } 0 .. $count - 1;
             print $data, "\0" x ((2880 - length($data) % 2880) % 2880);' "$@"
}
# An observatory's layout: an empty primary HDU of metadata, a binary table, then the image in
# an extension; a file of tables only; and an image whose header has 12 blocks of history.
{
    fits_header SIMPLE=T BITPIX=8 NAXIS=0 EXTEND=T "OBJECT='primary'" "TELESCOP='KVT 1.2m'" "HISTORY primary"
    fits_header "XTENSION='BINTABLE'" BITPIX=8 NAXIS=2 NAXIS1=4 NAXIS2=3 PCOUNT=0 GCOUNT=1 TFIELDS=1 "TFORM1='1J      '" \
        "TTYPE1='COUNT'"
    fits_data "l>" 3 7 8 9
    fits_header "XTENSION='IMAGE   '" BITPIX=-32 NAXIS=2 NAXIS1=6 NAXIS2=4 PCOUNT=0 GCOUNT=1 "EXTNAME='SCI'" "OBJECT='extension'"
    fits_data "f>" 24 0.5 -3.25 1e6 17 2.75 -0.001 42
} >in/multi.fts
head -c $((3 * 2880)) in/multi.fts >in/tables.fts
history=()
for step in $(seq 1 420); do history+=("HISTORY reduction step $step"); done
{ fits_header SIMPLE=T BITPIX=16 NAXIS=2 NAXIS1=7 NAXIS2=5 BZERO=32768 "${history[@]}"; fits_data "n" 35 0 9 40000 65535 1234; } >in/long.fts

# handle_check DIR NAME LEAST: the last run (under KORVALIS_HOST_CHECK_HANDLES=1) disposed of
# every handle the module made, at least LEAST of them, and left none behind for the host.
handle_check() {
    local d=$1 name=$2 least=$3 line
    line=$(grep -o "handles: [0-9]* made, [0-9]* disposed, [0-9]* left behind" "$d/last.err")
    if [[ $line =~ ^handles:\ ([0-9]+)\ made,\ ([0-9]+)\ disposed,\ 0\ left\ behind$ &&
          ${BASH_REMATCH[1]} == "${BASH_REMATCH[2]}" ]]; then
        ((BASH_REMATCH[1] >= least)) || fail "$d: $name: $line: the module made no record for each document opened"
    else
        fail "$d: $name: not every handle was disposed of: ${line:-no handle line}"
    fi
}

# Several documents in one host session: each save writes its own document's header and
# mapping, byte for byte what converting that file alone writes; a new document takes the
# header of the last file read; every record the module keeps for a document is disposed of.
session_scenarios() {
    local d=$1 file
    host "$d" convert in/docA.fts out/docA-alone.fts; expect "$d" 0 "" "convert document A alone"
    host "$d" convert in/docB.fts out/docB-alone.fts; expect "$d" 0 "" "convert document B alone"
    host "$d" open in/docA.fts out/docA-alone.pgm;    expect "$d" 0 "" "open document A alone"
    KORVALIS_HOST_CHECK_HANDLES=1 host "$d" session open:in/docA.fts open:in/docB.fts save:1:out/docA-session.fts \
        save:2:out/docB-session.fts new:in/grey16.pgm save:3:out/new-session.fts export:1:out/docA-session.pgm \
        close:2 export:3:out/new-session.pgm close:1
    expect "$d" 0 "" "a session of three documents"
    handle_check "$d" "a session of three documents" 2
    for file in "docA-session.fts:OBJECT  = 'M31 field'" "docA-session.fts:CTYPE1  = 'RA---TAN'" \
                "docB-session.fts:OBJECT  = 'M42 field'" "docB-session.fts:CTYPE1  = 'GLON-CAR'" \
                "new-session.fts:OBJECT  = 'M42 field'" "new-session.fts:CTYPE1  = 'GLON-CAR'"; do
        grep -qF "${file#*:}" "$d/out/${file%%:*}" || fail "$d: session: ${file%%:*} lacks \"${file#*:}\""
    done
    ! grep -qE "M42|GLON" "$d/out/docA-session.fts" || fail "$d: session: document A was saved with B's cards"
    ! grep -qE "M31|RA---TAN" "$d/out/docB-session.fts" || fail "$d: session: document B was saved with A's cards"
    cmp -s "$d/out/docA-alone.fts" "$d/out/docA-session.fts" ||
        fail "$d: session: document A's save is not what converting A alone writes (its header and mapping)"
    cmp -s "$d/out/docB-alone.fts" "$d/out/docB-session.fts" ||
        fail "$d: session: document B's save is not what converting B alone writes (its header and mapping)"
    cmp -s "$d/out/docA-alone.pgm" "$d/out/docA-session.pgm" || fail "$d: session: export of document A differs from open"
    cmp -s in/grey16.pgm "$d/out/new-session.pgm" || fail "$d: session: export of a new document changed it"

    # A failing step ends the run with its own status and names the step; nothing is left.
    KORVALIS_HOST_CHECK_HANDLES=1 host "$d" session open:in/docA.fts open:in/notfits.fts save:1:out/never.fts
    expect "$d" 1 "session step 2 (open:in/notfits.fts): in/notfits.fts is not a file the module reads" "a failing open step"
    handle_check "$d" "a failing open step" 0
    [[ ! -e $d/out/never.fts ]] || fail "$d: session: a step after the failing one was run"
    KORVALIS_HOST_CHECK_HANDLES=1 host "$d" session open:in/docA.fts save:1:no/such/dir/x.fts
    expect "$d" 3 "session step 2 (save:1:no/such/dir/x.fts): cannot create a temporary file" "a failing save step"
    handle_check "$d" "a failing save step" 0
    host "$d" session open:in/docA.fts save:2:out/never.fts; expect "$d" 2 "there is no document 2" "a document not made"
    host "$d" session open:in/docA.fts close:1 export:1:out/never.pgm
    expect "$d" 2 "session step 3 (export:1:out/never.pgm): document 1 was closed" "a closed document"
    host "$d" session open:in/docA.fts export:1:out/never.fts; expect "$d" 2 "export writes .png, .pgm or .ppm" "export as FITS"
    host "$d" session open:in/docA.fts revert:1;  expect "$d" 2 "unknown step 'revert'" "an unknown step"
    host "$d" session;                             expect "$d" 2 "session takes at least 1 argument" "no steps"
    [[ ! -e $d/out/never.fts && ! -e $d/out/never.pgm ]] || fail "$d: session: a refused session wrote a file"
}

scenarios() {
    local d=$1
    mkdir -p "$d/out" && ln -sfn "$work/in" "$d/in"

    host "$d" module;                               expect "$d" 0 "kind        8BIF" "module"
    grep -qF "entry point ENTRYPOINT" "$d/last.out" || fail "$d: module: no entry point line"
    host "$d" about                                 # the posix platform prints the box on stderr
    expect "$d" 0 "$([[ $d == native ]] && echo "FITS: FITS")" "about"
    host "$d" info in/star.fts;                     expect "$d" 0 "1024 x 1024 (columns x rows)" "info"
    grep -qF "depth       16 bits" "$d/last.out" || fail "$d: info: depth not reported"
    grep -qxF "hdu         0 (primary)" "$d/last.out" || fail "$d: info: the primary HDU not named"
    grep -qF "host scale  16-bit samples 0..65535 (full range, signature 'KRVH')" "$d/last.out" ||
        fail "$d: info: the full-range scale not reported"
    host "$d" open in/star.fts out/star.pgm;        expect "$d" 0 "" "open"
    host "$d" save in/grey8.pgm out/grey8.fts;      expect "$d" 0 "" "save 8-bit"
    host "$d" open out/grey8.fts out/grey8-back.pgm; expect "$d" 0 "" "open 8-bit"
    cmp -s <(tail -c 35 in/grey8.pgm) <(tail -c 35 "$d/out/grey8-back.pgm") || fail "$d: 8-bit round trip changed pixels"
    host "$d" save in/grey16.pgm out/grey16.fts;    expect "$d" 0 "" "save 16-bit"
    host "$d" open out/grey16.fts out/grey16-back.pgm; expect "$d" 0 "" "open 16-bit"
    cmp -s in/grey16.pgm "$d/out/grey16-back.pgm" || fail "$d: 16-bit round trip changed the image"
    host "$d" save in/rgb8.ppm out/rgb8.fts;        expect "$d" 0 "" "save RGB"
    host "$d" convert in/star.fts out/star-again.fts; expect "$d" 0 "" "convert"
    cmp -s in/star.fts "$d/out/star-again.fts" || fail "$d: convert did not give back the same file"
    host "$d" open in/star.fz out/star-fz.pgm;      expect "$d" 0 "" "open a tile-compressed file"
    cmp -s "$d/out/star.pgm" "$d/out/star-fz.pgm" || fail "$d: the tile-compressed file opens as another image"
    host "$d" convert in/star.fz out/star-again.fz; expect "$d" 0 "" "convert a tile-compressed file"
    host "$d" open out/star-again.fz out/star-fz-again.pgm; expect "$d" 0 "" "open the saved tiles"
    cmp -s "$d/out/star.pgm" "$d/out/star-fz-again.pgm" || fail "$d: the saved tiles open as another image"
    host "$d" open out/rgb8.fts out/rgb8-back.ppm;  expect "$d" 0 "" "open the saved RGB cube"
    cmp -s in/rgb8.ppm "$d/out/rgb8-back.ppm" || fail "$d: the saved RGB cube opens as another image"

    # Wide samples, planes and row order: opened, and converted with the mapping kept.
    host "$d" info in/float.fts;                    expect "$d" 0 "6 x 4 (columns x rows)" "info floating point"
    grep -qF "depth       16 bits" "$d/last.out" || fail "$d: info: floating point not reported as 16 bits"
    host "$d" open in/float.fts out/float.pgm;      expect "$d" 0 "" "open floating point"
    host "$d" convert in/float.fts out/float-again.fts; expect "$d" 0 "" "convert floating point"
    host "$d" open in/cube.fts out/cube.ppm;        expect "$d" 0 "" "open a 32-bit RGB cube"
    host "$d" convert in/cube.fts out/cube-again.fts; expect "$d" 0 "" "convert a 32-bit RGB cube"
    host "$d" open in/signed.fts out/signed.pgm;    expect "$d" 0 "" "open signed 16-bit data"
    host "$d" convert in/signed.fts out/signed-again.fts; expect "$d" 0 "" "convert signed 16-bit data"
    host "$d" convert in/fraction.fts out/fraction-again.fts; expect "$d" 0 "" "convert fractional 16-bit data"
    host "$d" convert out/fraction-again.fts out/fraction-twice.fts; expect "$d" 0 "" "convert a saved file again"
    cmp -s "$d/out/fraction-again.fts" "$d/out/fraction-twice.fts" || fail "$d: a saved file saved again changed"
    host "$d" open in/bottomup.fts out/bottomup.pgm; expect "$d" 0 "" "open bottom-up"
    host "$d" open in/topdown.fts out/topdown.pgm;  expect "$d" 0 "" "open top-down"
    cmp -s "$d/out/bottomup.pgm" "$d/out/topdown.pgm" || fail "$d: a bottom-up file opens in another order than its twin"
    host "$d" convert in/bottomup.fts out/bottomup-again.fts; expect "$d" 0 "" "convert bottom-up"
    grep -qF "ROWORDER= 'BOTTOM-UP'" "$d/out/bottomup-again.fts" || fail "$d: convert lost ROWORDER"
    host "$d" open in/radio.fts out/radio.pgm;      expect "$d" 0 "" "open NAXIS4 = 1"
    # Saved with the shape it was opened with, an image keeps its axes of length 1 and so the
    # coordinates of every axis (fitsverify below, astropy's WCS natively).
    host "$d" convert in/cube4.fts out/cube4.fts;   expect "$d" 0 "" "convert a cube with NAXIS4 = 1"
    host "$d" convert in/plane3.fts out/plane3.fts; expect "$d" 0 "" "convert an image with NAXIS3 = 1"

    # The image in an extension after a table: its header merged into the primary's metadata.
    host "$d" info in/multi.fts;                    expect "$d" 0 "6 x 4 (columns x rows)" "info of an extension's image"
    for line in "hdu         2 (image extension 'SCI', after an empty primary HDU and 1 binary table)" \
                "samples     32-bit floating point (BITPIX -32)" \
                "carries     2 other HDUs, kept byte for byte on a save: 0 (empty primary), 1 (binary table)"; do
        grep -qxF "$line" "$d/last.out" || fail "$d: info of an extension's image lacks \"$line\": $(cat "$d/last.out")"
    done
    grep -q "^mapping     linear: physical -3.25 \.\.\. 1000000 onto host 0 \.\.\. 65535" "$d/last.out" ||
        fail "$d: info of an extension's image names another mapping: $(cat "$d/last.out")"
    host "$d" open in/multi.fts out/multi.pgm;      expect "$d" 0 "" "open an extension's image"
    # Converted, the file keeps its primary HDU and table byte for byte, and the image stays an
    # extension with its own cards.
    host "$d" convert in/multi.fts out/multi-again.fts; expect "$d" 0 "" "convert an extension's image"
    cmp -s <(head -c $((3 * 2880)) in/multi.fts) <(head -c $((3 * 2880)) "$d/out/multi-again.fts") ||
        fail "$d: convert of a file of several HDUs did not keep the HDUs before the image"
    for card in "XTENSION= 'IMAGE   '" "EXTNAME = 'SCI'" "OBJECT  = 'extension'" "OBJECT  = 'primary'"; do
        grep -qF "$card" "$d/out/multi-again.fts" || fail "$d: convert of an extension's image lost \"$card\""
    done
    host "$d" open in/tables.fts out/x.pgm;         expect "$d" 1 "formatCannotRead (-30501)" "a file of tables only"
    # A header of 12 blocks is kept whole.
    host "$d" open in/long.fts out/long.pgm;        expect "$d" 0 "" "open a 12-block header"
    host "$d" convert in/long.fts out/long-again.fts; expect "$d" 0 "" "convert a 12-block header"
    [[ $(grep -ao "HISTORY reduction step [0-9]*" "$d/out/long-again.fts" | wc -l) == 420 ]] ||
        fail "$d: convert of a 12-block header did not keep its 420 HISTORY cards"

    # A host on the editors' scale (0..32768): every value comes back within one step of the
    # full-range original, and a second round trip changes nothing.
    host "$d" --host-scale 32768 info in/star.fts;  expect "$d" 0 "16-bit samples 0..32768 (as the editors, signature '8BIM')" "info, editor"
    grep -qF "max value   65535" "$d/last.out" || fail "$d: info: the module's 16-bit range not reported"
    host "$d" --host-scale 32768 convert in/star.fts out/star-editor.fts; expect "$d" 0 "" "convert, editor"
    host "$d" open out/star-editor.fts out/star-editor.pgm; expect "$d" 0 "" "open an editor's save"
    within_one_step in/star.pgm "$d/out/star-editor.pgm" || fail "$d: an editor's convert moved a value by more than one"
    host "$d" --host-scale 32768 convert out/star-editor.fts out/star-editor2.fts; expect "$d" 0 "" "convert again, editor"
    cmp -s "$d/out/star-editor.fts" "$d/out/star-editor2.fts" || fail "$d: a second editor round trip changed the file"
    host "$d" --host-scale 32768 save in/grey16.pgm out/grey16-editor.fts; expect "$d" 0 "" "save 16-bit, editor"
    host "$d" --host-scale 32768 open out/grey16-editor.fts out/grey16-editor.pgm; expect "$d" 0 "" "open 16-bit, editor"
    within_one_step in/grey16.pgm "$d/out/grey16-editor.pgm" || fail "$d: an editor's PGM round trip moved a value by more than one"
    host "$d" --host-scale 32768 save in/grey8.pgm out/grey8-editor.fts; expect "$d" 0 "" "save 8-bit, editor"
    cmp -s "$d/out/grey8.fts" "$d/out/grey8-editor.fts" || fail "$d: the editor's scale changed an 8-bit save"
    # Three planes: a full-range 16-bit cube opened in an editor and saved again.
    host "$d" save in/rgb16.ppm out/rgb16.fts;       expect "$d" 0 "" "save 16-bit RGB"
    host "$d" --host-scale 32768 convert out/rgb16.fts out/rgb16-editor.fts; expect "$d" 0 "" "convert RGB, editor"
    host "$d" open out/rgb16-editor.fts out/rgb16-editor.ppm; expect "$d" 0 "" "open an editor's RGB save"
    within_one_step in/rgb16.ppm "$d/out/rgb16-editor.ppm" || fail "$d: an editor's RGB convert moved a value by more than one"

    session_scenarios "$d"

    # Failures: each with its exit status and the reason on one line.
    host "$d" open in/notfits.fts out/x.pgm;        expect "$d" 1 "formatCannotRead (-30501)" "unsupported file"
    host "$d" open in/truncated.fts out/x.pgm;      expect "$d" 1 "eofErr (-39)" "truncated file"
    [[ ! -e $d/out/x.pgm ]] || fail "$d: a failed open left an output file"
    host "$d" open in/missing.fts out/x.pgm;        expect "$d" 3 "cannot open in/missing.fts" "missing input"
    host "$d" save in/grey8.pgm no/such/dir/x.fts;  expect "$d" 3 "cannot create a temporary file" "unwritable output"
    host "$d" save in/grey8.pgm out/grey8.fts/x.fts; expect "$d" 3 "" "output below a file"
    host "$d" save in/badmax.pgm out/x.fts;         expect "$d" 3 "maxval 1000" "bad maxval"
    host "$d" save in/short.pgm out/x.fts;          expect "$d" 3 "short data" "short data"
    cp "$d/out/grey8.fts" "$d/out/keep.fts"
    host "$d" --cancel-after-rows 100 save in/star.pgm out/keep.fts
    expect "$d" 1 "userCanceledErr (-128)" "save cancelled halfway"
    cmp -s "$d/out/grey8.fts" "$d/out/keep.fts" || fail "$d: a cancelled save changed the existing output"
    [[ -z $(ls -A "$d/out" | grep -E '^\.|\.tmp$') ]] || fail "$d: a temporary file was left: $(ls -A "$d/out")"

    # An existing regular output is replaced safely, keeping its permissions.
    cp "$d/out/grey8.fts" "$d/out/replace.fts" && chmod 640 "$d/out/replace.fts"
    host "$d" convert in/star.fts out/replace.fts;  expect "$d" 0 "" "replace a regular file"
    cmp -s in/star.fts "$d/out/replace.fts" || fail "$d: a regular output was not replaced by the save"
    if [[ $d == native ]]; then
        [[ $(stat -c %a "$d/out/replace.fts") == 640 ]] || fail "$d: the replaced output lost its permissions"
        output_kinds "$d"
        module_texts "$d"
        for name in cube4 plane3; do
            same_world "in/$name.fts" "$d/out/$name.fts" || fail "$d: $name: astropy's WCS moved after a convert"
        done
        # The Linux module declares the 64-bit list, whose extensions name .fits and .fz.
        for name in star.fits star.fz; do
            (cd "$d" && "$native_bin/korvalis-host" open "in/$name" out/named.pgm >last.out 2>last.err)
            ! grep -q "does not end in one of the module's extensions" "$d/last.err" ||
                fail "$d: open $name: notice: $(cat "$d/last.err")"
        done
        rm -f "$d/out/named.pgm"
        # Display previews: 8 bits from the 16-bit frame, while open keeps the samples exact.
        for stretch in asinh linear; do
            host "$d" --stretch "$stretch" preview in/star.fts out/preview-$stretch.png
            expect "$d" 0 "" "preview, $stretch"
            file "$d/out/preview-$stretch.png" | grep -qF "1024 x 1024, 8-bit grayscale" ||
                fail "$d: preview, $stretch: not an 8-bit grey PNG: $(file "$d/out/preview-$stretch.png")"
        done
        cmp -s "$d/out/preview-asinh.png" in/demo/starfield-preview.png ||
            fail "$d: the demo's preview is not the default stretch of preview"
    fi

    host "$d";                                      expect "$d" 2 "no command given" "no command"
    host "$d" open in/star.fts;                     expect "$d" 2 "open takes 2 arguments" "missing argument"
    host "$d" --frobnicate module;                  expect "$d" 2 "unknown option" "unknown option"
    host "$d" --host-scale 1000 module;             expect "$d" 2 "--host-scale takes 32768" "bad host scale"
    host "$d" --stretch log preview in/star.fts out/x.png; expect "$d" 2 "--stretch takes asinh or linear" "unknown stretch"
    host "$d" open in/star.fts out/star.txt;        expect "$d" 2 "" "unknown output type"
    host "$d" --module in/nonexistent.8bi module;   expect "$d" 3 "cannot load the module" "missing module"
    host "$d" --module in/notalib.so module;        expect "$d" 3 "cannot load the module" "not a library"
    rm -f "$d/in"
}

verify_fits() {
    local file
    for file in "$1"/out/*.fts; do
        fitsverify "$file" 2>&1 | grep -qF "Verification found 0 warning(s) and 0 error(s)" ||
            fail "fitsverify: $file: $(fitsverify -q "$file" 2>&1)"
    done
}

scenarios native
verify_fits native
if [[ $mode == wine ]]; then
    scenarios wine
    verify_fits wine
    for file in native/out/*.fts native/out/*.pgm native/out/*.ppm; do
        cmp -s "$file" "wine/out/${file#native/out/}" || fail "not byte-identical under Wine: ${file#native/}"
    done
fi

if ((failures > 0)); then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "all $mode scenarios passed"
