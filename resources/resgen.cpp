// Build tool: writes the module's resource data as files for the Windows resource compiler,
// so that the DLL's resources come from the same bytes as the Linux module's.
//
//   resgen DIR [CPU]   writes DIR/pipl.bin, DIR/aete.bin, DIR/strings.rc2 and DIR/blank.cur
//
// CPU is the DLL's processor, i386 (the default) or x86-64; it picks the property list: the
// 32-bit one, or the 64-bit one for current hosts (entry point key, extensions and modes).
//
// It runs on the build machine, compiled with the build machine's own compiler.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "resources/plugin_resources.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool writeFile(const std::string &path, const Bytes &bytes) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "resgen: cannot create %s\n", path.c_str());
        return false;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
    if (!written)
        std::fprintf(stderr, "resgen: cannot write %s\n", path.c_str());
    return written;
}

// A string for the resource script. Everything outside printable ASCII becomes a three-digit
// octal escape, which the compiler reads as that code page 1252 byte whatever follows it.
std::string scriptString(const char *text) {
    std::string quoted = "\"";
    for (const char *c = text; *c != '\0'; ++c) {
        auto byte = static_cast<uint8_t>(*c);
        if (byte == '"') {
            quoted += "\"\"";
        } else if (byte == '\\') {
            quoted += "\\\\";
        } else if (byte == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20 || byte > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
            quoted += escape;
        } else {
            quoted += static_cast<char>(byte);
        }
    }
    return quoted + "\"";
}

Bytes stringTableScript() {
    std::string script = "// Written by resgen from resources/plugin_resources.cpp; do not edit.\n"
                         "LANGUAGE 0x09, 0x03\n"
                         "STRINGTABLE\n"
                         "BEGIN\n";
    for (const StringResource &entry : stringTable)
        script += "    " + std::to_string(entry.id) + ", " + scriptString(entry.text) + "\n";
    script += "END\n";
    return Bytes(script.begin(), script.end());
}

void putWord(Bytes &bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void putLong(Bytes &bytes, uint32_t value) {
    putWord(bytes, static_cast<uint16_t>(value));
    putWord(bytes, static_cast<uint16_t>(value >> 16));
}

constexpr uint32_t cursorSide = 32;
constexpr uint32_t maskBytes = cursorSide * cursorSide / 8;
constexpr uint32_t bitmapHeaderBytes = 40;
constexpr uint32_t paletteBytes = 2 * 4;
constexpr uint32_t cursorImageBytes = bitmapHeaderBytes + paletteBytes + 2 * maskBytes;
constexpr uint32_t cursorFileHeaderBytes = 6 + 16;

// A cursor file with one 32 x 32 one-bit image, hotspot (0, 0). The image mask is all zero
// and the transparency mask all set, so the cursor shows nothing.
Bytes blankCursor() {
    Bytes bytes;
    putWord(bytes, 0); // reserved
    putWord(bytes, 2); // a cursor file
    putWord(bytes, 1); // one image
    bytes.push_back(static_cast<uint8_t>(cursorSide));
    bytes.push_back(static_cast<uint8_t>(cursorSide));
    bytes.push_back(0); // colours: not a palette image
    bytes.push_back(0);
    putWord(bytes, 0); // hotspot x
    putWord(bytes, 0); // hotspot y
    putLong(bytes, cursorImageBytes);
    putLong(bytes, cursorFileHeaderBytes);

    putLong(bytes, bitmapHeaderBytes);
    putLong(bytes, cursorSide);
    putLong(bytes, 2 * cursorSide); // both masks stacked
    putWord(bytes, 1);              // planes
    putWord(bytes, 1);              // bits per pixel
    putLong(bytes, 0);              // uncompressed
    putLong(bytes, 2 * maskBytes);
    for (int k = 0; k < 4; ++k)
        putLong(bytes, 0); // resolution and colour counts
    putLong(bytes, 0x00000000);       // black
    putLong(bytes, 0x00ffffff);       // white
    bytes.insert(bytes.end(), maskBytes, 0x00); // image (XOR) mask
    bytes.insert(bytes.end(), maskBytes, 0xff); // transparency (AND) mask
    return bytes;
}

} // namespace

int main(int argc, char **argv) {
    std::string cpu = argc == 3 ? argv[2] : "i386";
    if (argc < 2 || argc > 3 || (cpu != "i386" && cpu != "x86-64")) {
        std::fprintf(stderr, "usage: resgen DIR [i386|x86-64]\n");
        return 2;
    }
    std::string dir = argv[1];
    Bytes propertyList = cpu == "x86-64" ? Bytes(pluginPropertyList64.begin(), pluginPropertyList64.end())
                                         : Bytes(pluginPropertyList.begin(), pluginPropertyList.end());
    Bytes terminology(pluginTerminology.begin(), pluginTerminology.end());
    Bytes cursor = blankCursor();
    if (cursor.size() != cursorFileHeaderBytes + cursorImageBytes) {
        std::fprintf(stderr, "resgen: the cursor came out %zu bytes long\n", cursor.size());
        return 1;
    }
    bool written = writeFile(dir + "/pipl.bin", propertyList) && writeFile(dir + "/aete.bin", terminology) &&
                   writeFile(dir + "/strings.rc2", stringTableScript()) && writeFile(dir + "/blank.cur", cursor);
    return written ? 0 : 1;
}
