// The property list, scripting terminology and string table: the one place their bytes live.
#include "resources/plugin_resources.h"

#include <cstring>

namespace {

// Builds a resource front to back. A write past the end, or a property whose data outruns
// its stated length, sets `overrun`; the static_asserts below refuse such a build.
template <size_t N>
struct ResourceWriter {
    std::array<uint8_t, N> bytes{};
    size_t used = 0;
    bool overrun = false;
};

template <size_t N>
constexpr void putByte(ResourceWriter<N> &w, uint8_t value) {
    if (w.used >= N) {
        w.overrun = true;
        return;
    }
    w.bytes[w.used++] = value;
}

template <size_t N>
constexpr void putWord(ResourceWriter<N> &w, uint16_t value) {
    putByte(w, static_cast<uint8_t>(value));
    putByte(w, static_cast<uint8_t>(value >> 8));
}

template <size_t N>
constexpr void putLong(ResourceWriter<N> &w, uint32_t value) {
    putWord(w, static_cast<uint16_t>(value));
    putWord(w, static_cast<uint16_t>(value >> 16));
}

// A four-character code is a little-endian integer whose most significant byte is the first
// character, so its bytes stand reversed: "8BIM" is stored as "MIB8".
template <size_t N>
constexpr void putCode(ResourceWriter<N> &w, const char (&code)[5]) {
    for (int k = 3; k >= 0; --k)
        putByte(w, static_cast<uint8_t>(code[k]));
}

// Characters in reading order, without a terminator (extension lists, C strings).
template <size_t N>
constexpr void putChars(ResourceWriter<N> &w, const char *text) {
    for (; *text != '\0'; ++text)
        putByte(w, static_cast<uint8_t>(*text));
}

template <size_t N>
constexpr void putCString(ResourceWriter<N> &w, const char *text) {
    putChars(w, text);
    putByte(w, 0);
}

constexpr size_t textLength(const char *text) {
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// A length byte, then the characters.
template <size_t N>
constexpr void putCounted(ResourceWriter<N> &w, const char *text) {
    putByte(w, static_cast<uint8_t>(textLength(text)));
    putChars(w, text);
}

// Every property of this list is Photoshop's (vendor 8BIM) with id 0. Returns where its
// data must end: `length` already counts the data's zero padding.
template <size_t N>
constexpr size_t beginProperty(ResourceWriter<N> &w, const char (&key)[5], uint32_t length) {
    putCode(w, "8BIM");
    putCode(w, key);
    putLong(w, 0);
    putLong(w, length);
    return w.used + length;
}

template <size_t N>
constexpr void endProperty(ResourceWriter<N> &w, size_t end) {
    if (w.used > end)
        w.overrun = true;
    while (w.used < end && !w.overrun)
        putByte(w, 0);
}

constexpr uint16_t propertyCount = 14;
constexpr uint16_t largestSide = 32767;
constexpr uint16_t channelsOfBitmap = 1;
constexpr uint16_t channelsOfOtherModes = 24;
constexpr int hostModeCount = 12;

// What sets the two lists apart; every other property is written alike for both.
struct ListProfile {
    const char *entryKey;   // the entry point's property for the host's processor
    const char *extensions; // four-byte entries in reading order, blank-padded
    uint8_t modeFlags[2];   // 'mode', from the top bit of the first byte down
    const char *enable;     // 'enbl'
};

// A property that holds `text` with its terminating zero, padded to a multiple of four.
constexpr uint32_t paddedText(const char *text) { return static_cast<uint32_t>((textLength(text) + 1 + 3) / 4 * 4); }

// The 32-bit list as hosts of its time read it: all ten modes, "true", three-letter
// extensions.
constexpr ListProfile profile32{"wx86", "FTS FIT ", {0xff, 0xc0}, "true"};

// Current hosts take 'enbl' to decide when to offer the module and 'mode' only when they are
// older; grey, RGB and multichannel at 8 and 16 bits are what the module saves. A four-letter
// extension fills its four bytes without a blank; FZ names tile-compressed files.
constexpr ListProfile profile64{"8664", "FTS FIT FITSFZ  ",
                                {0x40 | 0x10 | 0x01, 0x00}, // grayscale, RGB, multichannel
                                "in (PSHOP_ImageMode, GrayScaleMode, Gray16Mode, RGBMode, RGB48Mode, "
                                "MultichannelMode, DeepMultichannelMode)"};

constexpr size_t propertyListBytes(const ListProfile &profile) {
    return pluginPropertyListBytes - 8 - 2 * 8 + paddedText(profile.enable) + 2 * textLength(profile.extensions);
}
static_assert(propertyListBytes(profile32) == pluginPropertyListBytes);
static_assert(propertyListBytes(profile64) == pluginPropertyList64Bytes);

template <size_t N>
constexpr ResourceWriter<N> writePropertyList(const ListProfile &profile) {
    ResourceWriter<N> w{};
    putWord(w, 1); // the word Windows hosts expect before the list
    putLong(w, 0); // list version
    putLong(w, propertyCount);

    size_t end = beginProperty(w, "kind", 4);
    putCode(w, "8BIF"); // a file-format module
    endProperty(w, end);

    end = beginProperty(w, "name", 8);
    putCounted(w, "FITS");
    endProperty(w, end);

    end = beginProperty(w, "vers", 4);
    putLong(w, 0x00010000); // format interface 1.0: major in the high half
    endProperty(w, end);

    char entryKey[5] = {profile.entryKey[0], profile.entryKey[1], profile.entryKey[2], profile.entryKey[3], 0};
    end = beginProperty(w, entryKey, 12);
    putCString(w, "ENTRYPOINT"); // the DLL's one export
    endProperty(w, end);

    end = beginProperty(w, "hstm", 20);
    putLong(w, 0); // terminology link version
    putCode(w, "simP");
    putCode(w, "null");
    putWord(w, pluginResourceID); // the AETE resource that defines simP
    putCString(w, "");            // no unique scope
    endProperty(w, end);

    end = beginProperty(w, "mode", 4);
    putByte(w, profile.modeFlags[0]);
    putByte(w, profile.modeFlags[1]);
    endProperty(w, end);

    end = beginProperty(w, "enbl", paddedText(profile.enable));
    putCString(w, profile.enable);
    endProperty(w, end);

    end = beginProperty(w, "fmTC", 8);
    putCode(w, "8B1F"); // file type
    putCode(w, "8BIM"); // creator
    endProperty(w, end);

    end = beginProperty(w, "RdTy", 8);
    putCode(w, "8B1F");
    putCode(w, "    "); // any creator
    endProperty(w, end);

    // Extensions are byte strings, not codes: they stand in reading order.
    const auto extensionBytes = static_cast<uint32_t>(textLength(profile.extensions));
    end = beginProperty(w, "RdEx", extensionBytes);
    putChars(w, profile.extensions);
    endProperty(w, end);

    end = beginProperty(w, "WrEx", extensionBytes);
    putChars(w, profile.extensions);
    endProperty(w, end);

    end = beginProperty(w, "fmtf", 4);
    // Format flags from the first byte's top bit: 0x40, 0x20, 0x10 and 0x08 set.
    putByte(w, 0x78);
    endProperty(w, end);

    end = beginProperty(w, "mxsz", 4);
    putWord(w, largestSide); // rows
    putWord(w, largestSide); // columns
    endProperty(w, end);

    end = beginProperty(w, "mxch", 2 * hostModeCount);
    putWord(w, channelsOfBitmap);
    for (int mode = 1; mode < hostModeCount; ++mode)
        putWord(w, channelsOfOtherModes);
    endProperty(w, end);
    return w;
}

// The suite and class carry the vendor's name; its fifteen characters make the resource
// 187 bytes long.
constexpr const char *vendorName = "KorvalisProject";
constexpr const char *className = "KorvalisProject Korvalis";
static_assert(textLength(vendorName) == 15);

template <size_t N>
constexpr void putTerminologyProperty(ResourceWriter<N> &w, const char *name, const char (&code)[5],
                                      const char (&type)[5], const char *description) {
    putCounted(w, name);
    putCode(w, code);
    putCode(w, type);
    putCounted(w, description);
    putWord(w, 0); // flags
}

constexpr ResourceWriter<pluginTerminologyBytes> writeTerminology() {
    ResourceWriter<pluginTerminologyBytes> w{};
    putWord(w, 1);
    putByte(w, 1); // major version
    putByte(w, 0); // minor version
    putWord(w, 0); // language
    putWord(w, 0); // script
    putWord(w, 1); // suites

    putCounted(w, vendorName);
    putCounted(w, "For Free Use");
    putCode(w, "sdK4");
    putWord(w, 1); // level
    putWord(w, 1); // version
    putWord(w, 0); // events
    putWord(w, 1); // classes

    putCounted(w, className);
    putCode(w, "simP"); // the class named by the property list's hstm
    putCounted(w, "FITS plug-in");
    putWord(w, 3); // properties
    putTerminologyProperty(w, "<Inheritance>", "c@#^", "Fmt ", "parent class format");
    putTerminologyProperty(w, "foo", "fooB", "bool", "foobar");
    putTerminologyProperty(w, "bar", "barF", "bool", "foobar");
    putWord(w, 0); // elements

    putWord(w, 0); // comparison operators
    putWord(w, 0); // enumerations
    return w;
}

constexpr auto propertyListWriter = writePropertyList<pluginPropertyListBytes>(profile32);
static_assert(!propertyListWriter.overrun && propertyListWriter.used == pluginPropertyListBytes,
              "the property list must fill exactly its 358 bytes");

constexpr auto propertyList64Writer = writePropertyList<pluginPropertyList64Bytes>(profile64);
static_assert(!propertyList64Writer.overrun && propertyList64Writer.used == pluginPropertyList64Bytes,
              "the 64-bit property list must fill exactly its bytes");

constexpr auto terminologyWriter = writeTerminology();
static_assert(!terminologyWriter.overrun && terminologyWriter.used == pluginTerminologyBytes,
              "the terminology must fill exactly its 187 bytes");

static_assert(sizeof(std::array<uint8_t, pluginPropertyListBytes>) == pluginPropertyListBytes &&
                  sizeof(std::array<uint8_t, pluginTerminologyBytes>) == pluginTerminologyBytes,
              "the exported data must be the bytes and nothing else");

} // namespace

extern "C" {
const std::array<uint8_t, pluginPropertyListBytes> pluginPropertyList = propertyListWriter.bytes;
const uint32_t pluginPropertyListSize = pluginPropertyListBytes;
const std::array<uint8_t, pluginPropertyList64Bytes> pluginPropertyList64 = propertyList64Writer.bytes;
const uint32_t pluginPropertyList64Size = pluginPropertyList64Bytes;
const std::array<uint8_t, pluginTerminologyBytes> pluginTerminology = terminologyWriter.bytes;
const uint32_t pluginTerminologySize = pluginTerminologyBytes;
}

// Texts are code page 1252: "\xAE" is the registered sign. The About text is nine lines;
// only its first 254 characters reach the box, and it is written to fit.
const StringResource stringTable[stringTableEntries] = {
    {16000, "FITS\n"
            "\n"
            "Version 1.5a This Release 03-05-98\n"
            "By the Korvalis project\n"
            "Contact: the Korvalis project maintainers\n"
            "\n"
            "A plug-in image format module that reads and writes a subset of FITS formatted files in "
            "Adobe Photoshop\xAE"
            ".\n"
            "\n"
            "Free to use and to share; no warranty."},
    {16001, "FITS"},
    {16990, "An integer is required between ^1 and ^2."},
    {16991, "A decimal number is required between ^1 and ^2."},
    {16992, "This plug-in requires Adobe Photoshop\xAE ^1 or later functionality."},
    {16993, "This plug-in is incompatible with this version of the host program."},
};

const char *findStringResource(uint32_t id) {
    for (const StringResource &entry : stringTable)
        if (entry.id == id)
            return entry.text;
    return nullptr;
}

int32_t copyStringText(const char *text, char *buffer, int32_t limit) {
    if (limit <= 0)
        return 0;
    size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length > static_cast<size_t>(limit - 1))
        length = static_cast<size_t>(limit - 1);
    if (length > 0)
        std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
}

int32_t copyStringResource(uint32_t id, char *buffer, int32_t limit) {
    return copyStringText(findStringResource(id), buffer, limit);
}
