// Reading the property list and the terminology: little-endian integers, four-character
// codes stored as little-endian numbers, counted and zero-terminated strings.
#include "hostsim/property_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

bool takeBytes(Cursor *cursor, size_t count, const uint8_t **bytes) {
    if (cursor->failed || cursor->left < count) {
        cursor->failed = true;
        return false;
    }
    *bytes = cursor->at;
    cursor->at += count;
    cursor->left -= count;
    return true;
}

uint16_t readU16(Cursor *cursor) {
    const uint8_t *b;
    return takeBytes(cursor, 2, &b) ? static_cast<uint16_t>(b[0] | b[1] << 8) : 0;
}

uint32_t readU32(Cursor *cursor) {
    const uint32_t low = readU16(cursor);
    return low | uint32_t{readU16(cursor)} << 16;
}

namespace {

uint32_t readU32At(const uint8_t *b) {
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

int16_t readI16At(const uint8_t *b) { return static_cast<int16_t>(b[0] | b[1] << 8); }

Status malformed(const std::string &what) { return failStatus(exitModuleFailed, "malformed property list: " + what); }

Status badProperty(uint32_t key, const char *what) {
    return failStatus(exitModuleFailed, "malformed property list: property '" + codeText(key) + "' " + what);
}

// A zero-terminated string inside the property's data; false when no zero byte is there.
bool zeroTerminated(const uint8_t *data, uint32_t length, std::string *text) {
    const void *end = std::memchr(data, 0, length);
    if (end == nullptr)
        return false;
    text->assign(reinterpret_cast<const char *>(data), static_cast<const uint8_t *>(end) - data);
    return true;
}

// Extension entries: three characters and a blank (shorter extensions are blank-padded).
Status readExtensions(uint32_t key, const uint8_t *data, uint32_t length, std::vector<std::string> *out) {
    if (length % 4 != 0)
        return badProperty(key, "is not a list of 4-byte extensions");
    for (uint32_t at = 0; at < length; at += 4) {
        std::string extension(reinterpret_cast<const char *>(data + at), 4);
        while (!extension.empty() && extension.back() == ' ')
            extension.pop_back();
        if (extension.empty())
            return badProperty(key, "holds an empty extension");
        for (char c : extension)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                return badProperty(key, "holds an extension that is not letters and digits");
        out->push_back(extension);
    }
    return okStatus();
}

Status readFlags(const uint8_t *data, uint32_t length, ModuleInfo *info) {
    if (length < 1)
        return badProperty(fourCharCode("fmtf"), "is empty");
    uint8_t bits = data[0];
    // Index 0 (the top bit) is an obsolete flag that hosts ignore.
    info->flags.savesImageResources = (bits & 0x40) != 0;
    info->flags.canRead = (bits & 0x20) != 0;
    info->flags.canWrite = (bits & 0x10) != 0;
    info->flags.canWriteIfRead = (bits & 0x08) != 0;
    info->flags.canWriteTransparency = (bits & 0x04) != 0;
    info->flags.canCreateThumbnail = (bits & 0x02) != 0;
    info->hasFlags = true;
    return okStatus();
}

Status readModes(const uint8_t *data, uint32_t length, ModuleInfo *info) {
    if (length < 2)
        return badProperty(fourCharCode("mode"), "is shorter than the 2 bytes of mode flags");
    info->modes = 0;
    for (int mode = 0; mode < 16; ++mode)
        if ((data[mode / 8] & (0x80 >> (mode % 8))) != 0)
            info->modes = static_cast<uint16_t>(info->modes | 1u << mode);
    info->hasModes = true;
    return okStatus();
}

Status readTerminologyLink(const uint8_t *data, uint32_t length, TerminologyLink *link) {
    // version, class, event (4 bytes each), the terminology id (2), then a scope string.
    if (length < 15)
        return badProperty(fourCharCode("hstm"), "is shorter than 15 bytes");
    link->classID = readU32At(data + 4);
    link->eventID = readU32At(data + 8);
    link->terminologyID = readI16At(data + 12);
    if (!zeroTerminated(data + 14, length - 14, &link->scope))
        return badProperty(fourCharCode("hstm"), "has an unterminated scope string");
    link->present = true;
    return okStatus();
}

// A letter, a digit or an underscore, as names in the condition and the entry point are made of.
bool isWordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool isIdentifier(const std::string &word) {
    if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0])))
        return false;
    return std::all_of(word.begin(), word.end(), isWordCharacter);
}

std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// "true", or "in (PSHOP_ImageMode, Name, ...)": the two forms shipping format modules use
// to say which documents they take. Anything else is left to hosts that know its grammar.
void readCondition(ModuleInfo *info) {
    const std::string text = trimmed(info->enableExpression);
    info->enabledModes.clear();
    if (text == "true") {
        info->condition = ModuleInfo::Condition::always;
        return;
    }
    info->condition = ModuleInfo::Condition::notEvaluated;
    if (text.compare(0, 2, "in") != 0 || text.back() != ')')
        return;
    std::string inside = trimmed(text.substr(2));
    if (inside.empty() || inside[0] != '(')
        return;
    inside = inside.substr(1, inside.size() - 2);
    std::vector<std::string> words;
    for (size_t at = 0; at <= inside.size();) {
        size_t comma = inside.find(',', at);
        if (comma == std::string::npos)
            comma = inside.size();
        words.push_back(trimmed(inside.substr(at, comma - at)));
        at = comma + 1;
    }
    if (words.size() < 2 || words[0] != "PSHOP_ImageMode")
        return;
    for (size_t k = 1; k < words.size(); ++k)
        if (!isIdentifier(words[k]))
            return;
    info->enabledModes.assign(words.begin() + 1, words.end());
    info->condition = ModuleInfo::Condition::modeList;
}

Status readProperty(const PropertyHeader &header, const uint8_t *data, ModuleInfo *info) {
    const uint32_t key = header.key;
    const uint32_t length = header.length;
    if (key == fourCharCode("kind") || key == fourCharCode("vers")) {
        if (length < 4)
            return badProperty(key, "is shorter than 4 bytes");
        uint32_t value = readU32At(data);
        if (key == fourCharCode("kind"))
            info->kind = value;
        else {
            info->versionMajor = static_cast<uint16_t>(value >> 16);
            info->versionMinor = static_cast<uint16_t>(value & 0xFFFF);
        }
        return okStatus();
    }
    if (key == fourCharCode("name")) {
        if (length < 1 || data[0] > length - 1)
            return badProperty(key, "holds a counted string longer than the property");
        info->name.assign(reinterpret_cast<const char *>(data + 1), data[0]);
        return okStatus();
    }
    if (key == fourCharCode(hostEntryKey)) {
        if (!zeroTerminated(data, length, &info->entryName))
            return badProperty(key, "holds an entry point name without a terminating zero");
        return okStatus();
    }
    if (key == fourCharCode("enbl")) {
        if (!zeroTerminated(data, length, &info->enableExpression))
            return badProperty(key, "holds an expression without a terminating zero");
        readCondition(info);
        return okStatus();
    }
    if (key == fourCharCode("RdEx"))
        return readExtensions(key, data, length, &info->readExtensions);
    if (key == fourCharCode("WrEx"))
        return readExtensions(key, data, length, &info->writeExtensions);
    if (key == fourCharCode("fmtf"))
        return readFlags(data, length, info);
    if (key == fourCharCode("mode"))
        return readModes(data, length, info);
    if (key == fourCharCode("hstm"))
        return readTerminologyLink(data, length, &info->terminology);
    if (key == fourCharCode("mxsz")) {
        if (length < 4)
            return badProperty(key, "is shorter than 4 bytes");
        info->maxRows = readI16At(data);
        info->maxColumns = readI16At(data + 2);
        info->hasMaxSize = true;
        return okStatus();
    }
    if (key == fourCharCode("mxch")) {
        if (length % 2 != 0)
            return badProperty(key, "has an odd length");
        for (uint32_t at = 0; at < length; at += 2)
            info->maxChannels.push_back(readI16At(data + at));
        return okStatus();
    }
    if (key == fourCharCode("fmTC")) {
        if (length < 8)
            return badProperty(key, "is shorter than 8 bytes");
        info->fileType = readU32At(data);
        info->fileCreator = readU32At(data + 4);
        return okStatus();
    }
    if (key == fourCharCode("RdTy")) {
        if (length % 8 != 0)
            return badProperty(key, "is not a list of 8-byte type and creator pairs");
        for (uint32_t at = 0; at < length; at += 4)
            info->readTypes.push_back(readU32At(data + at));
        return okStatus();
    }
    return okStatus(); // a property this host does not use
}

Status readProperties(Cursor *cursor, uint32_t count, ModuleInfo *info) {
    for (uint32_t n = 0; n < count; ++n) {
        PropertyHeader header{readU32(cursor), readU32(cursor), static_cast<int32_t>(readU32(cursor)), readU32(cursor)};
        if (cursor->failed)
            return malformed("it ends inside a property header");
        // Data are padded to a multiple of 4 whether or not the length counts the padding.
        size_t padded = (size_t{header.length} + 3) & ~size_t{3};
        if (header.length > cursor->left)
            return badProperty(header.key, "is longer than what remains of the list");
        const uint8_t *data = cursor->at;
        const uint8_t *skipped;
        if (!takeBytes(cursor, padded <= cursor->left ? padded : header.length, &skipped))
            return malformed("it ends inside a property");
        info->properties.push_back(header);
        if (header.vendor != fourCharCode("8BIM"))
            continue;
        Status status = readProperty(header, data, info);
        if (!isOk(status))
            return status;
    }
    if (cursor->left != 0)
        return malformed(std::to_string(cursor->left) + " bytes follow the last property");
    return okStatus();
}

Status refused(const std::string &what) { return failStatus(exitModuleFailed, "not a usable format module: " + what); }

// What a host needs of a format module before it calls it.
Status checkFormatModule(const ModuleInfo &info) {
    if (info.kind != fourCharCode("8BIF"))
        return refused(info.kind == 0 ? "no 'kind' property" : "kind is '" + codeText(info.kind) + "', not '8BIF'");
    if (info.versionMajor != hostFormatInterfaceMajor)
        return refused("interface version " + std::to_string(info.versionMajor) + "." +
                       std::to_string(info.versionMinor) + ", this host drives version 1.x");
    if (info.entryName.empty())
        return refused("no '" + std::string(hostEntryKey) + "' entry point name");
    if (!std::all_of(info.entryName.begin(), info.entryName.end(), isWordCharacter))
        return refused("entry point name \"" + info.entryName + "\" is not an identifier");
    if (!info.hasFlags)
        return refused("no 'fmtf' format flags");
    if (!info.flags.canRead && !info.flags.canWrite)
        return refused("its format flags say it neither reads nor writes");
    if (info.flags.canRead && info.readExtensions.empty() && info.readTypes.empty())
        return refused("it reads but lists no file extension ('RdEx') or type ('RdTy')");
    if (info.flags.canWrite && info.writeExtensions.empty())
        return refused("it writes but lists no file extension ('WrEx')");
    if (!info.hasModes || info.modes == 0)
        return refused("no image modes ('mode')");
    if (info.hasMaxSize && (info.maxRows < 1 || info.maxColumns < 1))
        return refused("largest image ('mxsz') of " + std::to_string(info.maxRows) + " x " +
                       std::to_string(info.maxColumns));
    return okStatus();
}

} // namespace

std::string codeText(uint32_t code) {
    char text[16];
    bool printable = true;
    for (int shift = 24; shift >= 0; shift -= 8)
        printable = printable && std::isprint(static_cast<int>(code >> shift & 0xFF));
    if (printable)
        std::snprintf(text, sizeof text, "%c%c%c%c", static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                      static_cast<char>(code >> 8), static_cast<char>(code));
    else
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

Status parsePropertyList(const uint8_t *bytes, size_t size, ModuleInfo *info) {
    *info = ModuleInfo{};
    if (bytes == nullptr || size == 0)
        return malformed("it is empty");
    Cursor cursor{bytes, size, false};
    uint16_t word = readU16(&cursor);
    uint32_t version = readU32(&cursor);
    uint32_t count = readU32(&cursor);
    if (cursor.failed)
        return malformed("it is shorter than its 10-byte header");
    if (word != 1)
        return malformed("its first word is " + std::to_string(word) + ", not 1");
    if (version != 0)
        return malformed("list version " + std::to_string(version) + ", not 0");
    // Every property takes at least its 16-byte header.
    if (count > cursor.left / 16)
        return malformed("it claims " + std::to_string(count) + " properties in " + std::to_string(size) + " bytes");
    Status status = readProperties(&cursor, count, info);
    if (!isOk(status))
        return status;
    return checkFormatModule(*info);
}

bool listsExtension(const std::vector<std::string> &extensions, const std::string &extension) {
    auto same = [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    };
    for (const std::string &listed : extensions)
        if (std::equal(listed.begin(), listed.end(), extension.begin(), extension.end(), same))
            return true;
    return false;
}

namespace {

// Image mode numbers as the host interface publishes them.
enum HostMode : int16_t {
    bitmapMode = 0, grayScaleMode = 1, indexedMode = 2, rgbMode = 3, cmykMode = 4, hslMode = 5, hsbMode = 6,
    multichannelMode = 7, duotoneMode = 8, labMode = 9, gray16Mode = 10, rgb48Mode = 11, lab48Mode = 12,
    cmyk64Mode = 13, deepMultichannelMode = 14, duotone16Mode = 15, rgb96Mode = 16, gray32Mode = 17
};

// The 8-bit mode whose 'mode' flag stands for a deep one; modes 0 to 9 stand for themselves.
int16_t flagModeOf(int16_t mode) {
    // Each deep mode with the 8-bit mode it counts as.
    static const int16_t deepModes[][2] = {
        {gray16Mode, grayScaleMode}, {gray32Mode, grayScaleMode}, {rgb48Mode, rgbMode},
        {rgb96Mode, rgbMode},        {lab48Mode, labMode},        {cmyk64Mode, cmykMode},
        {deepMultichannelMode, multichannelMode}, {duotone16Mode, duotoneMode}};
    for (const auto &deep : deepModes)
        if (deep[0] == mode)
            return deep[1];
    return mode;
}

} // namespace

bool supportsMode(const ModuleInfo &info, int16_t mode) {
    if (!info.hasModes)
        return true;
    mode = flagModeOf(mode);
    return mode >= 0 && mode < 10 && (info.modes & 1u << mode) != 0;
}

std::string conditionModeName(int16_t mode, int16_t depth) {
    struct Names {
        int16_t mode;
        const char *eight, *sixteen, *thirtyTwo;
    };
    // The condition's names by the 8-bit mode, for 8, 16 and 32 bits per sample.
    static const Names names[] = {
        {bitmapMode, "BitmapMode", "", ""},
        {grayScaleMode, "GrayScaleMode", "Gray16Mode", "Gray32Mode"},
        {indexedMode, "IndexedMode", "", ""},
        {rgbMode, "RGBMode", "RGB48Mode", "RGB96Mode"},
        {cmykMode, "CMYKMode", "CMYK64Mode", ""},
        {hslMode, "HSLMode", "", ""},
        {hsbMode, "HSBMode", "", ""},
        {multichannelMode, "MultichannelMode", "DeepMultichannelMode", ""},
        {duotoneMode, "DuotoneMode", "Duotone16Mode", ""},
        {labMode, "LabMode", "Lab48Mode", ""},
    };
    const int16_t base = flagModeOf(mode);
    if (base != mode) // a deep mode says its depth itself
        depth = mode == gray32Mode || mode == rgb96Mode ? 32 : 16;
    for (const Names &entry : names)
        if (entry.mode == base)
            return depth == 32 ? entry.thirtyTwo : depth == 16 ? entry.sixteen : depth <= 8 ? entry.eight : "";
    return std::string();
}

bool modeEnabled(const ModuleInfo &info, int16_t mode, int16_t depth, std::string *why) {
    const std::string name = conditionModeName(mode, depth);
    if (!supportsMode(info, mode)) {
        *why = "its mode flags ('mode') leave the mode out";
        return false;
    }
    if (info.condition != ModuleInfo::Condition::modeList)
        return true;
    if (!name.empty() && std::find(info.enabledModes.begin(), info.enabledModes.end(), name) != info.enabledModes.end())
        return true;
    *why = "its enabling condition ('enbl') does not name " + (name.empty() ? "the mode" : name);
    return false;
}
