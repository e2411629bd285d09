// The module's property list ("PIPL") and scripting terminology ("AETE"), parsed and checked
// the way a host reads them before it calls the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostsim/status.h"

// Four-character codes as numbers whose most significant byte is the first character.
constexpr uint32_t fourCharCode(const char (&text)[5]) {
    return uint32_t{static_cast<uint8_t>(text[0])} << 24 | uint32_t{static_cast<uint8_t>(text[1])} << 16 |
           uint32_t{static_cast<uint8_t>(text[2])} << 8 | uint32_t{static_cast<uint8_t>(text[3])};
}

// The property that names the entry point for this host's own processor: '8664' (x86-64 code)
// for a 64-bit Windows host and on x86-64 posix, whose module declares the 64-bit list;
// 'wx86' for a 32-bit host, and on other posix processors, whose module exports the 32-bit
// list.
#if defined(_WIN64) || (!defined(_WIN32) && defined(__x86_64__))
constexpr char hostEntryKey[5] = "8664";
#else
constexpr char hostEntryKey[5] = "wx86";
#endif

// "8BIF", or the bytes in hex when one of them is not printable.
std::string codeText(uint32_t code);

// A read position in the property list or the terminology and what remains of it; every read
// checks the remainder first, and a failed read leaves `failed` set and reads nothing more.
struct Cursor {
    const uint8_t *at;
    size_t left;
    bool failed;
};

// The next `count` bytes, in `bytes`; false, and the cursor failed, when fewer remain.
bool takeBytes(Cursor *cursor, size_t count, const uint8_t **bytes);

// A little-endian 16-bit word, or 32-bit one (a four-character code is stored as one); 0 when
// it is not there.
uint16_t readU16(Cursor *cursor);
uint32_t readU32(Cursor *cursor);

// The interface version of format modules this host drives.
constexpr uint16_t hostFormatInterfaceMajor = 1;

struct PropertyHeader {
    uint32_t vendor;
    uint32_t key;
    int32_t id;
    uint32_t length;
};

struct TerminologyLink {
    bool present = false;
    uint32_t classID = 0;
    uint32_t eventID = 0;
    int16_t terminologyID = 0;
    std::string scope;
};

// Format flags ('fmtf'), in the host's published order from the first byte's top bit.
struct FormatFlags {
    bool savesImageResources = false;
    bool canRead = false;
    bool canWrite = false;
    bool canWriteIfRead = false;
    bool canWriteTransparency = false;
    bool canCreateThumbnail = false;
};

struct ModuleInfo {
    std::vector<PropertyHeader> properties;
    uint32_t kind = 0;
    std::string name;
    uint16_t versionMajor = 0, versionMinor = 0;
    std::string entryName; // from hostEntryKey
    std::vector<std::string> readExtensions, writeExtensions; // "FTS", without the pad blank
    uint16_t modes = 0; // bit n set when image mode n (0..15) is listed in 'mode'
    bool hasModes = false;
    FormatFlags flags;
    bool hasFlags = false;
    int16_t maxRows = 0, maxColumns = 0;
    bool hasMaxSize = false;
    std::vector<int16_t> maxChannels; // by image mode
    std::string enableExpression;
    // The enabling condition as this host reads it: "true", or "in (PSHOP_ImageMode, ...)"
    // naming the modes (GrayScaleMode, Gray16Mode, ...); any other form is not evaluated.
    enum class Condition : uint8_t { none, always, modeList, notEvaluated } condition = Condition::none;
    std::vector<std::string> enabledModes; // for modeList
    uint32_t fileType = 0, fileCreator = 0;
    std::vector<uint32_t> readTypes; // type, creator, type, creator, ...
    TerminologyLink terminology;
};

// Parses a property list as it is stored (a 16-bit word 1, version 0, a count, then the
// properties) and checks that it describes a file-format module this host can drive:
// kind '8BIF', interface version 1.x, an entry point name under hostEntryKey, format flags, extensions
// for what it reads and writes, image modes and a sane largest size. On failure the
// message says what is wrong (exitModuleFailed); `info` may then be partly filled.
Status parsePropertyList(const uint8_t *bytes, size_t size, ModuleInfo *info);

struct TerminologyProperty {
    std::string name, description;
    uint32_t code = 0, type = 0;
};

struct TerminologyClass {
    std::string name, description;
    uint32_t code = 0;
    std::vector<TerminologyProperty> properties;
    uint16_t elementCount = 0;
};

struct TerminologySuite {
    std::string name, description;
    uint32_t code = 0;
    uint16_t level = 0, version = 0, eventCount = 0;
    std::vector<TerminologyClass> classes;
};

// What this host shows of a terminology; the format word, the script and the counts of
// comparisons and enumerations are read past without being kept.
struct Terminology {
    uint8_t majorVersion = 0, minorVersion = 0;
    uint16_t language = 0;
    std::vector<TerminologySuite> suites;
};

// Parses a terminology resource. Suites with events or classes with elements are outside
// what this host reads and are refused with a message, as is any short or trailing data.
Status parseTerminology(const uint8_t *bytes, size_t size, Terminology *terminology);

// The readable form printed by `korvalis-host module`.
std::string describeModuleInfo(const ModuleInfo &info);
std::string describeTerminology(const Terminology &terminology);

// The items separated by blanks, each after `prefix` (".fts .fit"); "(none)" for none.
std::string joined(const std::vector<std::string> &items, const char *prefix);

// Whether the module lists `extension` (without the dot, any case) among those it reads
// or writes.
bool listsExtension(const std::vector<std::string> &extensions, const std::string &extension);

// The name of image mode `mode` as the 'mode' property lists it ("Grayscale" for 1), up to
// Duotone16 (15); "?" beyond.
const char *listedModeName(int mode);

// Whether image mode `mode` is in the module's 'mode' list (true when it gave no list). The
// list holds modes 0 to 9 only; a deep mode (Gray16, RGB48, ...) counts as its 8-bit mode.
bool supportsMode(const ModuleInfo &info, int16_t mode);

// The name an enabling condition gives a document of image mode `mode` at `depth` bits:
// "GrayScaleMode" for 8-bit grey, "Gray16Mode" for 16-bit grey, and so on; "" when none.
std::string conditionModeName(int16_t mode, int16_t depth);

// Whether the module is enabled for a document of `mode` at `depth` bits, as a current host
// decides it: its 'mode' flags list the mode, and its condition, when this host reads it,
// names it. When not, `why` says which of the two refuses.
bool modeEnabled(const ModuleInfo &info, int16_t mode, int16_t depth, std::string *why);
