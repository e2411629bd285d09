// The property list and terminology read back field by field, the string table, and the
// data the Linux module exports for a host to read without calling it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "resources/plugin_resources.h"

namespace {

// Reads little-endian fields front to back; a read past the end sets `overrun` and gives 0.
struct Cursor {
    const uint8_t *bytes;
    size_t size;
    size_t at = 0;
    bool overrun = false;
};

bool take(Cursor &c, size_t count) {
    if (c.overrun || c.size - c.at < count) {
        c.overrun = true;
        return false;
    }
    return true;
}

uint32_t readLittle(Cursor &c, size_t count) {
    if (!take(c, count))
        return 0;
    uint32_t value = 0;
    for (size_t k = 0; k < count; ++k)
        value |= uint32_t{c.bytes[c.at + k]} << (8 * k);
    c.at += count;
    return value;
}

uint8_t readByte(Cursor &c) { return static_cast<uint8_t>(readLittle(c, 1)); }
uint16_t readWord(Cursor &c) { return static_cast<uint16_t>(readLittle(c, 2)); }
uint32_t readLong(Cursor &c) { return readLittle(c, 4); }

// A code is a little-endian integer whose top byte is the first character.
std::string readCode(Cursor &c) {
    uint32_t value = readLong(c);
    std::string code;
    for (int shift = 24; shift >= 0; shift -= 8)
        code += static_cast<char>(value >> shift);
    return code;
}

std::string readChars(Cursor &c, size_t count) {
    if (!take(c, count))
        return {};
    std::string text(reinterpret_cast<const char *>(c.bytes + c.at), count);
    c.at += count;
    return text;
}

std::string readCounted(Cursor &c) { return readChars(c, readByte(c)); }

struct Property {
    std::string vendor, key;
    uint32_t id, length;
    std::vector<uint8_t> data;
};

std::vector<Property> parsePropertyList(Cursor &c, uint32_t *count) {
    EXPECT_EQ(readWord(c), 1);
    EXPECT_EQ(readLong(c), 0u) << "list version";
    *count = readLong(c);
    std::vector<Property> properties;
    for (uint32_t k = 0; k < *count && !c.overrun; ++k) {
        Property p;
        p.vendor = readCode(c);
        p.key = readCode(c);
        p.id = readLong(c);
        p.length = readLong(c);
        if (take(c, p.length)) {
            p.data.assign(c.bytes + c.at, c.bytes + c.at + p.length);
            c.at += p.length;
        }
        properties.push_back(p);
    }
    return properties;
}

std::vector<Property> propertyList() {
    Cursor c{pluginPropertyList.data(), pluginPropertyListSize};
    uint32_t count = 0;
    std::vector<Property> properties = parsePropertyList(c, &count);
    EXPECT_FALSE(c.overrun);
    return properties;
}

const Property *findProperty(const std::vector<Property> &properties, const std::string &key) {
    for (const Property &p : properties)
        if (p.key == key)
            return &p;
    return nullptr;
}

std::string asText(const std::vector<uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(PropertyList, HoldsExactlyFourteenPropertiesAndEndsAtItsLastByte) {
    ASSERT_EQ(pluginPropertyListSize, 358u);
    Cursor c{pluginPropertyList.data(), pluginPropertyListSize};
    uint32_t count = 0;
    std::vector<Property> properties = parsePropertyList(c, &count);
    EXPECT_EQ(count, 14u);
    EXPECT_FALSE(c.overrun);
    EXPECT_EQ(c.at, 358u) << "no bytes after the fourteenth property";
    for (const Property &p : properties) {
        EXPECT_EQ(p.vendor, "8BIM") << p.key;
        EXPECT_EQ(p.id, 0u) << p.key;
        EXPECT_EQ(p.length % 4, 0u) << p.key;
    }
}

struct ExpectedProperty {
    const char *key;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> bytesOf(const std::string &text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Each list's properties in order, with their bytes as a host reads them. The 64-bit list
// differs in its entry point's key, its modes, its enabling condition and its extensions.
std::vector<ExpectedProperty> expectedLayout(bool wide) {
    const std::vector<uint8_t> extensions = bytesOf(wide ? "FTS FIT FITSFZ  " : "FTS FIT ");
    std::vector<uint8_t> channels{1, 0};
    for (int mode = 1; mode < 12; ++mode)
        channels.insert(channels.end(), {24, 0});
    // Condition texts are zero-terminated and padded with zeros to a multiple of four.
    std::vector<uint8_t> enable = bytesOf(wide ? "in (PSHOP_ImageMode, GrayScaleMode, Gray16Mode, RGBMode, "
                                                 "RGB48Mode, MultichannelMode, DeepMultichannelMode)"
                                               : "true");
    do
        enable.push_back(0);
    while (enable.size() % 4 != 0);
    return {
        {"kind", {0x46, 0x49, 0x42, 0x38}},
        {"name", {4, 'F', 'I', 'T', 'S', 0, 0, 0}},
        {"vers", {0x00, 0x00, 0x01, 0x00}},
        {wide ? "8664" : "wx86", {'E', 'N', 'T', 'R', 'Y', 'P', 'O', 'I', 'N', 'T', 0, 0}},
        {"hstm", {0, 0, 0, 0, 0x50, 0x6d, 0x69, 0x73, 0x6c, 0x6c, 0x75, 0x6e, 0x80, 0x3e, 0, 0, 0, 0, 0, 0}},
        // All ten modes; or grayscale (0x40), RGB (0x10) and multichannel (0x01) only.
        {"mode", {static_cast<uint8_t>(wide ? 0x51 : 0xff), static_cast<uint8_t>(wide ? 0x00 : 0xc0), 0x00, 0x00}},
        {"enbl", enable},
        {"fmTC", {0x46, 0x31, 0x42, 0x38, 0x4d, 0x49, 0x42, 0x38}},
        {"RdTy", {0x46, 0x31, 0x42, 0x38, ' ', ' ', ' ', ' '}},
        {"RdEx", extensions},
        {"WrEx", extensions},
        {"fmtf", {0x78, 0x00, 0x00, 0x00}},
        {"mxsz", {0xff, 0x7f, 0xff, 0x7f}},
        {"mxch", channels},
    };
}

TEST(PropertyList, EachListCarriesItsPublishedBytesToItsLastByte) {
    struct List {
        const char *name;
        const uint8_t *bytes;
        size_t size;
        bool wide;
    };
    const List lists[] = {{"32-bit", pluginPropertyList.data(), pluginPropertyListSize, false},
                          {"64-bit", pluginPropertyList64.data(), pluginPropertyList64.size(), true}};
    for (const List &list : lists) {
        SCOPED_TRACE(list.name);
        Cursor c{list.bytes, list.size};
        uint32_t count = 0;
        std::vector<Property> properties = parsePropertyList(c, &count);
        EXPECT_FALSE(c.overrun);
        EXPECT_EQ(c.at, list.size) << "no bytes after the last property";
        const std::vector<ExpectedProperty> table = expectedLayout(list.wide);
        ASSERT_EQ(properties.size(), table.size());
        for (size_t k = 0; k < properties.size(); ++k) {
            EXPECT_EQ(properties[k].key, table[k].key) << "property " << k + 1;
            EXPECT_EQ(properties[k].length, table[k].data.size()) << table[k].key;
            EXPECT_EQ(properties[k].data, table[k].data) << table[k].key;
        }
        EXPECT_EQ(findProperty(properties, list.wide ? "wx86" : "8664"), nullptr) << "one entry point key only";
    }
    EXPECT_EQ(pluginPropertyList64.size(), 474u);
}

TEST(PropertyList, CodesReadReversedButExtensionsReadInOrder) {
    std::vector<Property> properties = propertyList();
    const Property *kind = findProperty(properties, "kind");
    ASSERT_NE(kind, nullptr);
    EXPECT_EQ(asText(kind->data), "FIB8") << "8BIF is stored back to front";
    for (const char *key : {"RdEx", "WrEx"}) {
        const Property *p = findProperty(properties, key);
        ASSERT_NE(p, nullptr) << key;
        EXPECT_EQ(asText(p->data), "FTS FIT ") << key;
    }
    const Property *entry = findProperty(properties, "wx86");
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(entry->data.data()), "ENTRYPOINT");
}

TEST(PropertyList, ModesAreTheTenTopBitsAndChannelsHaveTwelveEntries) {
    std::vector<Property> properties = propertyList();
    const Property *mode = findProperty(properties, "mode");
    ASSERT_NE(mode, nullptr);
    ASSERT_EQ(mode->data.size(), 4u);
    uint32_t bits = uint32_t{mode->data[0]} << 24 | uint32_t{mode->data[1]} << 16 | uint32_t{mode->data[2]} << 8 |
                    mode->data[3];
    EXPECT_EQ(bits, 0xFFC00000u);

    const Property *channels = findProperty(properties, "mxch");
    ASSERT_NE(channels, nullptr);
    Cursor c{channels->data.data(), channels->data.size()};
    std::vector<int16_t> perMode;
    while (c.at < c.size)
        perMode.push_back(static_cast<int16_t>(readWord(c)));
    ASSERT_EQ(perMode.size(), 12u);
    EXPECT_EQ(perMode[0], 1) << "bitmap";
    for (size_t m = 1; m < perMode.size(); ++m)
        EXPECT_EQ(perMode[m], 24) << "mode " << m;

    const Property *size = findProperty(properties, "mxsz");
    ASSERT_NE(size, nullptr);
    Cursor s{size->data.data(), size->data.size()};
    EXPECT_EQ(static_cast<int16_t>(readWord(s)), 32767) << "rows";
    EXPECT_EQ(static_cast<int16_t>(readWord(s)), 32767) << "columns";
}

struct TerminologyProperty {
    std::string name, code, type, description;
    uint16_t flags;
};

TEST(Terminology, ReadsBackFieldByFieldToItsLastByte) {
    ASSERT_EQ(pluginTerminologySize, 187u);
    Cursor c{pluginTerminology.data(), pluginTerminologySize};
    EXPECT_EQ(readWord(c), 1);
    EXPECT_EQ(readByte(c), 1) << "major version";
    EXPECT_EQ(readByte(c), 0) << "minor version";
    EXPECT_EQ(readWord(c), 0) << "language";
    EXPECT_EQ(readWord(c), 0) << "script";
    EXPECT_EQ(readWord(c), 1) << "suites";

    std::string vendor = readCounted(c);
    EXPECT_EQ(vendor.size(), 15u);
    EXPECT_NE(vendor.find("Korvalis"), std::string::npos);
    EXPECT_EQ(readCounted(c), "For Free Use");
    EXPECT_EQ(readCode(c), "sdK4");
    EXPECT_EQ(readWord(c), 1) << "level";
    EXPECT_EQ(readWord(c), 1) << "version";
    EXPECT_EQ(readWord(c), 0) << "events";
    EXPECT_EQ(readWord(c), 1) << "classes";

    EXPECT_EQ(readCounted(c), vendor + " Korvalis");
    EXPECT_EQ(readCode(c), "simP");
    EXPECT_EQ(readCounted(c), "FITS plug-in");
    ASSERT_EQ(readWord(c), 3) << "properties";
    const TerminologyProperty expected[] = {
        {"<Inheritance>", "c@#^", "Fmt ", "parent class format", 0},
        {"foo", "fooB", "bool", "foobar", 0},
        {"bar", "barF", "bool", "foobar", 0},
    };
    for (const TerminologyProperty &e : expected) {
        EXPECT_EQ(readCounted(c), e.name);
        EXPECT_EQ(readCode(c), e.code) << e.name;
        EXPECT_EQ(readCode(c), e.type) << e.name;
        EXPECT_EQ(readCounted(c), e.description) << e.name;
        EXPECT_EQ(readWord(c), e.flags) << e.name;
    }
    EXPECT_EQ(readWord(c), 0) << "elements";
    EXPECT_EQ(readWord(c), 0) << "comparison operators";
    EXPECT_EQ(readWord(c), 0) << "enumerations";
    EXPECT_FALSE(c.overrun);
    EXPECT_EQ(c.at, 187u);
}

TEST(Terminology, PropertyListLinksToItsIdAndClass) {
    std::vector<Property> properties = propertyList();
    const Property *link = findProperty(properties, "hstm");
    ASSERT_NE(link, nullptr);
    Cursor c{link->data.data(), link->data.size()};
    EXPECT_EQ(readLong(c), 0u) << "link version";
    std::string linkedClass = readCode(c);
    EXPECT_EQ(readCode(c), "null");
    EXPECT_EQ(readWord(c), pluginResourceID) << "the terminology resource's id";
    EXPECT_EQ(readByte(c), 0) << "empty scope";

    // The class code in the terminology follows the vendor name, its description and the
    // suite's fixed fields; find it by walking the counted strings.
    Cursor t{pluginTerminology.data(), pluginTerminologySize};
    t.at = 10;
    readCounted(t);
    readCounted(t);
    t.at += 4 + 4 * 2;
    readCounted(t);
    EXPECT_EQ(readCode(t), linkedClass);
    EXPECT_EQ(linkedClass, "simP");
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> result(1);
    for (char c : text) {
        if (c == '\n')
            result.emplace_back();
        else
            result.back() += c;
    }
    return result;
}

TEST(StringTable, HoldsTheSixTextsInCodePage1252) {
    EXPECT_STREQ(findStringResource(16001), "FITS");
    EXPECT_STREQ(findStringResource(16990), "An integer is required between ^1 and ^2.");
    EXPECT_STREQ(findStringResource(16991), "A decimal number is required between ^1 and ^2.");
    EXPECT_STREQ(findStringResource(16992), "This plug-in requires Adobe Photoshop\xAE ^1 or later functionality.");
    EXPECT_STREQ(findStringResource(16993), "This plug-in is incompatible with this version of the host program.");
    EXPECT_EQ(findStringResource(16994), nullptr);
    EXPECT_EQ(findStringResource(0), nullptr);
    EXPECT_EQ(static_cast<uint8_t>(std::strchr(findStringResource(16992), '^')[-2]), 0xAE)
        << "the registered sign is one byte";
}

TEST(StringTable, AboutTextIsNineLinesThatFitTheBox) {
    const char *about = findStringResource(16000);
    ASSERT_NE(about, nullptr);
    std::vector<std::string> text = lines(about);
    ASSERT_EQ(text.size(), 9u);
    EXPECT_EQ(text[0], "FITS");
    EXPECT_EQ(text[1], "");
    EXPECT_EQ(text[2], "Version 1.5a This Release 03-05-98");
    EXPECT_NE(text[3].find("Korvalis"), std::string::npos) << "author";
    EXPECT_NE(text[4].find("Korvalis"), std::string::npos) << "contact";
    EXPECT_EQ(text[5], "");
    EXPECT_EQ(text[6], "A plug-in image format module that reads and writes a subset of FITS formatted files in "
                       "Adobe Photoshop\xAE.");
    EXPECT_EQ(text[7], "");
    EXPECT_FALSE(text[8].empty()) << "terms of use";
    EXPECT_LE(std::strlen(about), 254u) << "the box shows 254 characters";
}

TEST(StringTable, CopiesLikeLoadStringA) {
    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(copyStringResource(16001, buffer, 8), 4);
    EXPECT_STREQ(buffer, "FITS");
    EXPECT_EQ(copyStringResource(16001, buffer, 3), 2);
    EXPECT_STREQ(buffer, "FI");
    EXPECT_EQ(copyStringResource(16001, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(copyStringResource(16001, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'z') << "a limit of 0 touches nothing";
    EXPECT_EQ(copyStringResource(12345, buffer, 8), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(copyStringText(nullptr, buffer, 8), 0);
}

// What a host stand-in sees: the module's own copies of the data, found by symbol name; the
// 64-bit list, which the module declares for its x86-64 code, and the 32-bit one beside it.
TEST(ModuleExports, PropertyListAndTerminologyAreDataWithTheirSizes) {
    void *module = dlopen(KORVALIS_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    struct Exported {
        const char *data, *size;
        uint32_t expectedSize;
        const uint8_t *ours;
    };
    const Exported exported[] = {
        {"pluginPropertyList64", "pluginPropertyList64Size", 474, pluginPropertyList64.data()},
        {"pluginPropertyList", "pluginPropertyListSize", 358, pluginPropertyList.data()},
        {"pluginTerminology", "pluginTerminologySize", 187, pluginTerminology.data()},
    };
    for (const Exported &e : exported) {
        auto *bytes = static_cast<const uint8_t *>(dlsym(module, e.data));
        auto *size = static_cast<const uint32_t *>(dlsym(module, e.size));
        ASSERT_NE(bytes, nullptr) << e.data;
        ASSERT_NE(size, nullptr) << e.size;
        EXPECT_EQ(*size, e.expectedSize) << e.size;
        EXPECT_EQ(std::memcmp(bytes, e.ours, e.expectedSize), 0) << e.data;
    }
    EXPECT_NE(dlsym(module, "ENTRYPOINT"), nullptr);
    dlclose(module);
}

} // namespace
