// Code page 1252 to UTF-8, or to the locale's character set.
#include "hostsim/code_page.h"

#include <cctype>
#include <cerrno>
#include <cstdint>

#if !defined(_WIN32)
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#endif

namespace {

// Code page 1252's 0x80-0x9F, where it departs from Latin-1; 0 marks the undefined five.
constexpr uint16_t upperControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void appendUtf8(std::string *out, uint32_t code) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | code >> 6));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | code >> 12));
        out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// "UTF-8", "utf8", "ANSI_X3.4-1968": lower case without the punctuation, for comparison.
std::string plainName(const std::string &name) {
    std::string plain;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            plain.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return plain;
}

} // namespace

std::string utf8FromCp1252(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        auto byte = static_cast<uint8_t>(c);
        uint32_t code = byte;
        if (byte >= 0x80 && byte < 0xA0)
            code = upperControls[byte - 0x80] != 0 ? upperControls[byte - 0x80] : 0xFFFD;
        appendUtf8(&out, code);
    }
    return out;
}

std::string textForCharset(const std::string &text, const std::string &charset) {
    const std::string plain = plainName(charset);
    if (plain.empty() || plain == "utf8" || plain == "ansix341968" || plain == "ascii" || plain == "usascii")
        return utf8FromCp1252(text);
#if defined(_WIN32)
    return utf8FromCp1252(text);
#else
    iconv_t converter = iconv_open((charset + "//TRANSLIT").c_str(), "CP1252");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return utf8FromCp1252(text);
    std::string out;
    std::string input = text;
    char *in = &input[0];
    size_t inLeft = input.size();
    char chunk[256];
    for (bool flushing = false; !flushing;) {
        // Once all input is taken, a last call without input writes what the converter still holds.
        flushing = inLeft == 0;
        char *at = chunk;
        size_t room = sizeof chunk;
        size_t done = iconv(converter, flushing ? nullptr : &in, flushing ? nullptr : &inLeft, &at, &room);
        out.append(chunk, static_cast<size_t>(at - chunk));
        if (!flushing && done == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte the set cannot hold even transliterated, or one code page 1252 leaves undefined.
            out.push_back('?');
            ++in;
            --inLeft;
        }
    }
    iconv_close(converter);
    return out;
#endif
}

std::string localeCharset() {
#if defined(_WIN32)
    return "UTF-8";
#else
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0))
        return "UTF-8";
    std::string charset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return charset;
#endif
}

std::string localeTextFromCp1252(const std::string &text) {
    static const std::string charset = localeCharset();
    return textForCharset(text, charset);
}
