#!/usr/bin/env bash
# Builds the Windows release: both modules and both host programs, the licence and the
# install text, in build/release/korvalis-VERSION-windows.zip, then checks the archive.
# VERSION is the project's, from CMakeLists.txt, which korvalis-host --version also shows.
#
#   scripts/release.sh                    build (the win32 and win64 presets) and pack
#   scripts/release.sh --check            only check an archive already built
#   scripts/release.sh --install-text F   only write the release's INSTALL.txt as F
#
# INSTALL.txt in the tree is the text of the release's INSTALL.txt: @VERSION@ becomes the
# version, and a line "@docs/what-it-does.txt@" becomes that file, which README.md quotes too.
set -euo pipefail
if [[ ${1:-} == --install-text ]]; then
    out=$(realpath -m -- "${2:?usage: release.sh --install-text FILE}")
fi
cd "$(dirname "$0")/.."

version=$(sed -nE 's/^project\(korvalis VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "release: no project version in CMakeLists.txt" >&2; exit 1; }
name=korvalis-$version-windows
zip_path=build/release/$name.zip
files=(korvalis.8bi korvalis-x64.8bi korvalis-host.exe korvalis-host-x64.exe LICENSE.txt INSTALL.txt)

# The release's INSTALL.txt on standard output, with Windows line ends for Notepad.
install_text() {
    awk -v version="$version" '
        /^@[^@]+@$/ {
            name = substr($0, 2, length($0) - 2)
            if ((getline line < name) <= 0) { print "release: " name " is missing or empty" > "/dev/stderr"; exit 1 }
            do print line; while ((getline line < name) > 0)
            close(name)
            next
        }
        { gsub(/@VERSION@/, version); print }
    ' INSTALL.txt | sed 's/$/\r/'
}

pack() {
    local jobs stage=build/release/$name
    jobs=$(nproc)
    for preset in win32 win64; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j"$jobs"
    done
    rm -rf "$stage" "$zip_path" && mkdir -p "$stage"
    cp build/win32/bin/korvalis.8bi build/win32/bin/korvalis-host.exe \
        build/win64/bin/korvalis-x64.8bi build/win64/bin/korvalis-host-x64.exe "$stage/"
    # Text files with Windows line ends, for Notepad.
    sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    install_text >"$stage/INSTALL.txt"
    # A fixed time stamp and no extra fields, so the same build packs to the same bytes.
    touch -d "@$(git log -1 --format=%ct 2>/dev/null || echo 0)" "$stage" "$stage"/*
    (cd build/release && zip -q -X -r "$name.zip" "$name")
    echo "packed $zip_path"
}

fail() { echo "release check FAILED: $*" >&2; exit 1; }

check() {
    [[ -f $zip_path ]] || fail "$zip_path does not exist"
    local listed expected work
    listed=$(unzip -Z1 "$zip_path" | grep -v '/$' | LC_ALL=C sort)
    expected=$(printf "$name/%s\n" "${files[@]}" | LC_ALL=C sort)
    [[ $listed == "$expected" ]] || fail "the archive holds $(tr '\n' ' ' <<<"$listed")instead of $(tr '\n' ' ' <<<"$expected")"
    unzip -tq "$zip_path" >/dev/null || fail "the archive does not test sound"
    work=$(mktemp -d) && trap 'rm -rf "$work"' RETURN
    unzip -q "$zip_path" -d "$work"
    local dir=$work/$name
    file "$dir/korvalis.8bi" | grep -q "PE32 executable (DLL).*Intel 80386" || fail "korvalis.8bi is not a 32-bit DLL"
    file "$dir/korvalis-x64.8bi" | grep -q "PE32+ executable (DLL).*x86-64" || fail "korvalis-x64.8bi is not a 64-bit DLL"
    file "$dir/korvalis-host.exe" | grep -q "PE32 executable (console) Intel 80386" ||
        fail "korvalis-host.exe is not a 32-bit program"
    file "$dir/korvalis-host-x64.exe" | grep -q "PE32+ executable (console) x86-64" ||
        fail "korvalis-host-x64.exe is not a 64-bit program"
    cmp -s "$dir/korvalis.8bi" build/win32/bin/korvalis.8bi && cmp -s "$dir/korvalis-x64.8bi" build/win64/bin/korvalis-x64.8bi ||
        fail "the modules in the archive are not those built"
    grep -q "^MIT License" "$dir/LICENSE.txt" || fail "LICENSE.txt is not the licence"
    grep -q "Korvalis $version:" "$dir/INSTALL.txt" && ! grep -q "@VERSION@" "$dir/INSTALL.txt" ||
        fail "INSTALL.txt does not name version $version"
    install_text | cmp -s - "$dir/INSTALL.txt" || fail "INSTALL.txt in the archive is not what INSTALL.txt and docs/what-it-does.txt give now"
    grep -qF "korvalis-x64.8bi" "$dir/INSTALL.txt" && grep -qF "Plug-ins" "$dir/INSTALL.txt" ||
        fail "INSTALL.txt does not say which file goes where"
    # The host programs carry the same version; the native one, built from the same tree, says so.
    if [[ -x build/default/bin/korvalis-host ]]; then
        build/default/bin/korvalis-host --version | grep -qx "korvalis-host $version (.*)" ||
            fail "korvalis-host --version does not show $version"
    fi
    local exe
    for exe in korvalis-host.exe korvalis-host-x64.exe; do
        grep -qaF "korvalis-host %s (PNG %s)" "$dir/$exe" && LC_ALL=C grep -qaP "\x00${version//./\\.}\x00" "$dir/$exe" ||
            fail "$exe does not carry version $version"
    done
    echo "release check passed: $zip_path ($(stat -c %s "$zip_path") bytes): ${files[*]}"
}

case ${1:-} in
--install-text) install_text >"$out" ;;
--check) check ;;
*)
    pack
    check
    ;;
esac
