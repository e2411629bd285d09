// Reading the scripting terminology, and the readable forms of it and of the property list.
#include <cstdio>

#include "hostsim/property_list.h"

namespace {

// Read with the property list's bounded cursor.
uint8_t byteAt(Cursor *reader) {
    const uint8_t *b;
    return takeBytes(reader, 1, &b) ? b[0] : 0;
}

std::string counted(Cursor *reader) {
    const uint8_t length = byteAt(reader);
    const uint8_t *text;
    return takeBytes(reader, length, &text) ? std::string(reinterpret_cast<const char *>(text), length) : std::string();
}

Status malformed(const std::string &what) {
    return failStatus(exitModuleFailed, "malformed terminology: " + what);
}

bool readClass(Cursor *reader, TerminologyClass *out) {
    out->name = counted(reader);
    out->code = readU32(reader);
    out->description = counted(reader);
    uint16_t count = readU16(reader);
    for (uint16_t n = 0; n < count && !reader->failed; ++n) {
        TerminologyProperty property;
        property.name = counted(reader);
        property.code = readU32(reader);
        property.type = readU32(reader);
        property.description = counted(reader);
        readU16(reader); // its flags, which this host does not use
        out->properties.push_back(property);
    }
    out->elementCount = readU16(reader);
    return !reader->failed;
}

Status readSuite(Cursor *reader, TerminologySuite *suite) {
    suite->name = counted(reader);
    suite->description = counted(reader);
    suite->code = readU32(reader);
    suite->level = readU16(reader);
    suite->version = readU16(reader);
    suite->eventCount = readU16(reader);
    if (reader->failed)
        return malformed("it ends inside a suite header");
    if (suite->eventCount != 0)
        return malformed("suite '" + codeText(suite->code) + "' has events, which this host does not read");
    uint16_t classes = readU16(reader);
    for (uint16_t n = 0; n < classes; ++n) {
        TerminologyClass item;
        if (!readClass(reader, &item))
            return malformed("it ends inside a class");
        if (item.elementCount != 0)
            return malformed("class '" + codeText(item.code) + "' has elements, which this host does not read");
        suite->classes.push_back(item);
    }
    return okStatus();
}

void appendLine(std::string *text, const char *label, const std::string &value) {
    char line[64];
    std::snprintf(line, sizeof line, "%-12s", label);
    *text += line;
    *text += value;
    *text += '\n';
}

} // namespace

std::string joined(const std::vector<std::string> &items, const char *prefix) {
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : " ") + std::string(prefix) + item;
    return text.empty() ? "(none)" : text;
}

const char *listedModeName(int mode) {
    static const char *const names[] = {"Bitmap", "Grayscale", "Indexed", "RGB", "CMYK", "HSL", "HSB",
                                        "Multichannel", "Duotone", "Lab", "Gray16", "RGB48", "Lab48",
                                        "CMYK64", "DeepMultichannel", "Duotone16"};
    return mode >= 0 && mode < 16 ? names[mode] : "?";
}

namespace {

std::string flagText(const FormatFlags &flags) {
    std::string text;
    auto add = [&text](bool set, const char *name) {
        if (set)
            text += (text.empty() ? "" : ", ") + std::string(name);
    };
    add(flags.canRead, "can read");
    add(flags.canWrite, "can write");
    add(flags.canWriteIfRead, "can write if read");
    add(flags.savesImageResources, "saves image resources");
    add(flags.canWriteTransparency, "can write transparency");
    add(flags.canCreateThumbnail, "can create thumbnail");
    return text.empty() ? "(none)" : text;
}

std::string modesText(const ModuleInfo &info) {
    std::string text;
    for (int mode = 0; mode < 16; ++mode)
        if ((info.modes & 1u << mode) != 0)
            text += (text.empty() ? "" : ", ") + std::string(listedModeName(mode));
    return text;
}

std::string channelsText(const ModuleInfo &info) {
    std::string text;
    for (size_t mode = 0; mode < info.maxChannels.size(); ++mode)
        text += (text.empty() ? "" : ", ") + std::string(listedModeName(static_cast<int>(mode))) + " " +
                std::to_string(info.maxChannels[mode]);
    return text.empty() ? "(not listed)" : text;
}

std::string propertyKeys(const ModuleInfo &info) {
    std::string text;
    for (const PropertyHeader &header : info.properties)
        text += (text.empty() ? "" : " ") + codeText(header.key) + "(" + std::to_string(header.length) + ")";
    return text;
}

} // namespace

Status parseTerminology(const uint8_t *bytes, size_t size, Terminology *terminology) {
    *terminology = Terminology{};
    Cursor reader{bytes, bytes == nullptr ? 0 : size, false};
    readU16(&reader); // the format word
    terminology->majorVersion = byteAt(&reader);
    terminology->minorVersion = byteAt(&reader);
    terminology->language = readU16(&reader);
    readU16(&reader); // the script
    uint16_t suites = readU16(&reader);
    if (reader.failed)
        return malformed("it is shorter than its 10-byte header");
    for (uint16_t n = 0; n < suites; ++n) {
        TerminologySuite suite;
        Status status = readSuite(&reader, &suite);
        if (!isOk(status))
            return status;
        terminology->suites.push_back(suite);
    }
    readU16(&reader); // the comparison count
    readU16(&reader); // the enumeration count
    if (reader.failed)
        return malformed("it ends before its comparison and enumeration counts");
    if (reader.left != 0)
        return malformed(std::to_string(reader.left) + " bytes follow its end");
    return okStatus();
}

std::string describeModuleInfo(const ModuleInfo &info) {
    std::string text;
    appendLine(&text, "kind", codeText(info.kind) + (info.kind == fourCharCode("8BIF") ? " (file format)" : ""));
    appendLine(&text, "name", info.name);
    appendLine(&text, "interface", std::to_string(info.versionMajor) + "." + std::to_string(info.versionMinor));
    appendLine(&text, "entry point", info.entryName + " ('" + hostEntryKey + "')");
    appendLine(&text, "reads", joined(info.readExtensions, "."));
    appendLine(&text, "writes", joined(info.writeExtensions, "."));
    appendLine(&text, "modes", modesText(info));
    appendLine(&text, "flags", flagText(info.flags));
    if (info.hasMaxSize)
        appendLine(&text, "largest", std::to_string(info.maxRows) + " rows x " + std::to_string(info.maxColumns) +
                                         " columns");
    appendLine(&text, "channels", channelsText(info));
    if (!info.enableExpression.empty())
        appendLine(&text, "enabled if", info.enableExpression);
    if (info.condition == ModuleInfo::Condition::modeList) {
        appendLine(&text, "enabled for", joined(info.enabledModes, "")); // never empty for a mode list
    } else if (info.condition == ModuleInfo::Condition::notEvaluated) {
        appendLine(&text, "enabled for", "(a condition this host does not evaluate; the mode flags decide)");
    }
    if (info.fileType != 0)
        appendLine(&text, "file type", "'" + codeText(info.fileType) + "', creator '" + codeText(info.fileCreator) + "'");
    for (size_t n = 0; n + 1 < info.readTypes.size(); n += 2)
        appendLine(&text, "reads type", "'" + codeText(info.readTypes[n]) + "', creator '" +
                                            codeText(info.readTypes[n + 1]) + "'");
    if (info.terminology.present)
        appendLine(&text, "scripting", "terminology " + std::to_string(info.terminology.terminologyID) + ", class '" +
                                           codeText(info.terminology.classID) + "', event '" +
                                           codeText(info.terminology.eventID) + "'");
    appendLine(&text, "properties", std::to_string(info.properties.size()) + ": " + propertyKeys(info));
    return text;
}

std::string describeTerminology(const Terminology &terminology) {
    std::string text = "terminology version " + std::to_string(terminology.majorVersion) + "." +
                       std::to_string(terminology.minorVersion) + ", language " +
                       std::to_string(terminology.language) + "\n";
    for (const TerminologySuite &suite : terminology.suites) {
        text += "  suite \"" + suite.name + "\" '" + codeText(suite.code) + "': " + suite.description + " (level " +
                std::to_string(suite.level) + ", version " + std::to_string(suite.version) + ")\n";
        for (const TerminologyClass &item : suite.classes) {
            text += "    class \"" + item.name + "\" '" + codeText(item.code) + "': " + item.description + "\n";
            for (const TerminologyProperty &property : item.properties)
                text += "      property \"" + property.name + "\" '" + codeText(property.code) + "' of type '" +
                        codeText(property.type) + "': " + property.description + "\n";
        }
    }
    return text;
}
