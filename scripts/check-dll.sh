#!/usr/bin/env bash
# Checks a built Windows module the way a host sees it: a DLL for the host's processor whose
# only export is ENTRYPOINT, that needs no DLL beyond the system's, and that carries exactly
# the resources a host reads (types, ids, languages and sizes), with the property list naming
# the entry point under that processor's key.
#
#   scripts/check-dll.sh build/win32/bin/korvalis.8bi           32-bit x86 (PE32, 'wx86')
#   scripts/check-dll.sh --x64 build/win64/bin/korvalis-x64.8bi [build/win32/bin/korvalis.8bi]
#                                                               x86-64 (PE32+, '8664')
#
# Given the 32-bit DLL as well, --x64 also compares the two DLLs' resources: every one must be
# byte for byte the same, except the property list, whose properties must be those of the
# 32-bit one but for the entry point's key ('8664' for 'wx86'), the extensions (FITS and FZ added),
# the modes and the enabling condition, which the 64-bit module fits to current hosts.
#
# Exit status: 0 when every check holds, 1 when one fails, 77 (skipped) when a DLL or the
# tools are missing.
set -u

usage="usage: check-dll.sh DLL | check-dll.sh --x64 DLL64 [DLL32]"
x64=0
if [[ ${1:-} == --x64 ]]; then
    x64=1
    shift
fi
dll=${1:?$usage}
twin=${2:-}
if ((x64 == 0)) && [[ -n $twin ]] || (($# > 2)); then
    echo "$usage" >&2
    exit 2
fi
if ((x64)); then
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    preset=win64 file_format=pei-x86-64 magic=020b image="PE32+ image for x86-64"
else
    objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
    preset=win32 file_format=pei-i386 magic=010b image="PE32 image for i386"
fi

if [[ ! -f $dll ]]; then
    echo "skipped: $dll does not exist (build the $preset preset first)"
    exit 77
fi
if [[ -n $twin && ! -f $twin ]]; then
    echo "skipped: $twin does not exist (build the win32 preset first)"
    exit 77
fi
if ! command -v "$objdump" >/dev/null || ! command -v python3 >/dev/null; then
    echo "skipped: $objdump or python3 is missing"
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

headers=$("$objdump" -f "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
private=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }

if grep -q "file format $file_format\$" <<<"$headers" && grep -qE "^Magic[[:space:]]+$magic" <<<"$private"; then
    pass "$image"
else
    fail "not a $image: $(grep 'file format' <<<"$headers")"
fi
characteristics=$(awk '/^Characteristics/ { print $2; exit }' <<<"$private")
if [[ $characteristics == 0x* ]] && (((characteristics & 0x2000) != 0)); then
    pass "the image is a DLL"
else
    fail "the image is not flagged as a DLL (characteristics ${characteristics:-unknown})"
fi

# The export name table: lines "[   n] NAME" after "[Ordinal/Name Pointer] Table".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^\t\[/ { print $NF; next } on && !/^\t/ { on = 0 }' <<<"$private")
if [[ $exports == "ENTRYPOINT" ]]; then
    pass "exports exactly ENTRYPOINT"
else
    fail "exports are not exactly ENTRYPOINT: $(tr '\n' ' ' <<<"$exports")"
fi

imports=$(awk '/DLL Name:/ { print $3 }' <<<"$private")
echo "imports: $(tr '\n' ' ' <<<"$imports")"
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|ole32|msvcrt|ntdll|api-ms-win-.*)\.dll$'
while read -r name; do
    [[ -z $name ]] && continue
    if ! grep -qiE "$system_dll" <<<"$name"; then
        fail "imports $name, which is not a Windows system DLL (runtime not linked statically?)"
    fi
done <<<"$imports"
grep -qi '^kernel32\.dll$' <<<"$imports" && grep -qi '^user32\.dll$' <<<"$imports" \
    && pass "imports only system DLLs" || fail "KERNEL32.dll or USER32.dll is not imported"

# The resource section, read straight from the file.
python3 - "$dll" "$x64" "$twin" <<'EOF' || failures=$((failures + 1))
import struct, sys

# Every resource of a PE file, by (type, id, language). The data directories sit after the
# optional header's fixed part, which is 96 bytes in PE32 and 112 in PE32+.
def resources(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine, sections = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
    table = optional + optional_size
    layout = []
    for k in range(sections):
        _, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * k)
        layout.append((rva, max(vsize, raw_size), raw))

    def offset(rva):
        for start, size, raw in layout:
            if start <= rva < start + size:
                return raw + rva - start
        raise SystemExit("FAIL: %s: RVA %#x lies in no section" % (path, rva))

    base = offset(rsrc_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for k in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * k)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            yield name, target

    found = {}
    for kind, types in entries(0):
        for ident, languages in entries(types & 0x7FFFFFFF):
            for language, leaf in entries(languages & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found[(kind, ident, language)] = data[offset(rva):offset(rva) + size]
    return machine, magic, found

x64 = sys.argv[2] == "1"
twin = sys.argv[3]
machine, magic, found = resources(sys.argv[1])

names = {1: "cursor", 3: "icon", 5: "dialog", 6: "string table", 12: "cursor group", 14: "icon group",
         16: "version", 24: "manifest"}
def label(key):
    kind, ident, language = key
    return "%s %s language %s" % (names.get(kind, kind), ident, language)

for key in sorted(found, key=str):
    print("resource: %s, %d bytes" % (label(key), len(found[key])))

failed = 0
def check(ok, message):
    global failed
    print(("ok: " if ok else "FAIL: ") + message)
    failed += not ok

expected = {("PIPL", 16000, 3081): 474 if x64 else 358, ("AETE", 16000, 3081): 187, (5, 16000, 1033): 124,
            (12, 101, 3081): 20, (1, 1, 3081): 308}
for key, size in expected.items():
    check(key in found and len(found[key]) == size, "%s is %d bytes" % (label(key), size))

# Strings live in blocks of sixteen: block n holds ids 16(n - 1) to 16n - 1.
strings = {}
for (kind, block, language), payload in found.items():
    if kind != 6:
        continue
    check(language == 3081, "string block %d is language 3081" % block)
    at = 0
    for k in range(16):
        length = struct.unpack_from("<H", payload, at)[0]
        if length:
            strings[16 * (block - 1) + k] = payload[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        at += 2 + 2 * length
check(sorted(strings) == [16000, 16001, 16990, 16991, 16992, 16993],
      "strings 16000, 16001, 16990 to 16993 and no others")
check(strings.get(16001) == "FITS", 'string 16001 is "FITS"')
check(strings.get(16992) == "This plug-in requires Adobe Photoshop\u00ae ^1 or later functionality.",
      "string 16992 carries the registered sign (0xAE in code page 1252)")

unexpected = [key for key in found if key[0] != 6 and key not in expected]
check(not unexpected, "no other resources" + ("" if not unexpected else ": " + ", ".join(map(label, unexpected))))
check(not any(key[0] == 16 for key in found), "no version resource")

dialog = found.get((5, 16000, 1033), b"\0" * 18)
style, _, items, x, y, cx, cy = struct.unpack_from("<IIHhhhh", dialog, 0)
check(style == 0x80C000C4 and items == 2 and (x, y, cx, cy) == (0, 0, 159, 93),
      "dialog 16000: modal popup with caption, 3-D look and font, 159 x 93 at (0, 0), two items")

group = found.get((12, 101, 3081), b"\0" * 20)
check(struct.unpack_from("<HHHHHHHIH", group, 0) == (0, 2, 1, 32, 64, 1, 1, 308, 1),
      "cursor group 101: one 32 x 32 one-bit cursor, id 1, 308 bytes")
cursor = found.get((1, 1, 3081), b"\0" * 308)
check(cursor[:4] == bytes(4) and cursor[52:180] == bytes(128) and cursor[180:308] == b"\xff" * 128,
      "cursor 1: hotspot (0, 0), image mask clear, transparency mask set")

pipl = found.get(("PIPL", 16000, 3081), b"")
check(pipl[:10] == bytes([1, 0, 0, 0, 0, 0, 14, 0, 0, 0]) and b"MIB8dnik" in pipl and b"ENTRYPOINT\0" in pipl,
      "PIPL starts with word 1, version 0, 14 properties and names ENTRYPOINT")

# The properties, each (key, data); codes are stored as little-endian integers, so '8664'
# stands as the bytes "4668" and 'wx86' as "68xw". Data are padded to a multiple of four.
def properties(pipl):
    found = []
    if len(pipl) < 10:
        return found
    count = struct.unpack_from("<I", pipl, 6)[0]
    at = 10
    for _ in range(count):
        if at + 16 > len(pipl):
            break
        key = pipl[at + 4:at + 8][::-1].decode("latin-1")
        length = struct.unpack_from("<I", pipl, at + 12)[0]
        found.append((key, pipl[at + 16:at + 16 + length]))
        at += 16 + (length + 3) // 4 * 4
    return found

listed = properties(pipl)
keys = [key for key, _ in listed]
entry = "8664" if x64 else "wx86"
check(len(keys) == 14 and keys[3] == entry and ("wx86" if x64 else "8664") not in keys
      and dict(listed).get(entry) == b"ENTRYPOINT\0\0",
      "PIPL names the entry point ENTRYPOINT under '%s' only" % entry)
modes = "in (PSHOP_ImageMode, GrayScaleMode, Gray16Mode, RGBMode, RGB48Mode, MultichannelMode, DeepMultichannelMode)"
fitted = {"RdEx": b"FTS FIT FITSFZ  ", "WrEx": b"FTS FIT FITSFZ  ", "mode": b"\x51\0\0\0",
          "enbl": modes.encode() + b"\0"} if x64 else \
         {"RdEx": b"FTS FIT ", "WrEx": b"FTS FIT ", "mode": b"\xff\xc0\0\0", "enbl": b"true\0\0\0\0"}
for key, data in sorted(fitted.items()):
    check(dict(listed).get(key) == data, "PIPL %s is %r" % (key, data))
check(machine == (0x8664 if x64 else 0x14C) and magic == (0x20B if x64 else 0x10B),
      "COFF machine %#06x, optional header magic %#05x" % (machine, magic))

if twin:
    twin_machine, twin_magic, twin_found = resources(twin)
    check(twin_machine == 0x14C and twin_magic == 0x10B, "the 32-bit DLL %s is a PE32 i386 image" % twin)
    check(sorted(found, key=str) == sorted(twin_found, key=str),
          "both DLLs carry the same resources (types, ids and languages)")
    for key_ in sorted(set(found) & set(twin_found), key=str):
        ours, theirs = found[key_], twin_found[key_]
        if key_ != ("PIPL", 16000, 3081):
            check(ours == theirs, "%s: byte-identical in both DLLs (%d bytes)" % (label(key_), len(ours)))
            continue
        narrow = [("8664" if key == "wx86" else key, data) for key, data in properties(theirs)]
        same = [k for k, (a, b) in enumerate(zip(listed, narrow)) if a == b]
        differing = sorted({listed[k][0] for k in range(len(listed)) if k not in same})
        check(ours[:10] == theirs[:10] and len(listed) == len(narrow) and
              [key for key, _ in listed] == [key for key, _ in narrow] and
              differing == ["RdEx", "WrEx", "enbl", "mode"],
              "%s: the properties of the 32-bit list, differing only in the entry point's key, "
              "the extensions, the modes and the condition (differ: %s)" % (label(key_), ", ".join(differing)))
sys.exit(1 if failed else 0)
EOF

if ((failures > 0)); then
    echo "$failures check(s) failed for $dll"
    exit 1
fi
echo "all checks passed for $dll"
