// Cards and their value texts.
#include "fits/header_format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

// 80 columns: the credit after "Photoshop Plugin by " fits in 47 characters, and the
// closing apostrophe stands well before column 80.
const char attributionCard[cardBytes + 1] =
    "KORVALIS= 'Photoshop Plugin by Korvalis Project 1997 <korvalis@example.org>'    ";
static_assert(sizeof attributionCard == cardBytes + 1);

int indexedKeyword(const uint8_t *card, const char *stem, bool loose) {
    // FITS writes n without leading zeros: NAXIS01 is another keyword, as it always was here.
    const size_t length = std::strlen(stem);
    if (std::memcmp(card, stem, length) != 0 || (!loose && card[length] == '0'))
        return 0;
    int n = 0;
    size_t column = length;
    for (; column < keywordColumns && card[column] >= '0' && card[column] <= '9'; ++column)
        n = n * 10 + (card[column] - '0');
    if (column == length)
        return 0;
    for (; column < keywordColumns; ++column)
        if (card[column] != ' ')
            return 0;
    return loose || n <= largestAxis ? n : 0;
}

int axisNumber(const uint8_t *card) { return indexedKeyword(card, "NAXIS"); }

bool cardHasKeyword(const uint8_t *card, const char *keyword) {
    return std::memcmp(card, keyword, keywordColumns) == 0;
}

bool cardAmong(const uint8_t *card, std::initializer_list<const char *> keywords,
               std::initializer_list<const char *> stems, bool loose) {
    for (const char *keyword : keywords)
        if (cardHasKeyword(card, keyword))
            return true;
    for (const char *stem : stems)
        if (indexedKeyword(card, stem, loose) > 0)
            return true;
    return false;
}

bool isSimpleCard(const uint8_t *card) { return cardHasKeyword(card, keywordSIMPLE) && card[8] == '='; }

namespace {

// Far beyond any 16-bit value, small enough never to overflow while digits accumulate.
constexpr int64_t integerValueCeiling = int64_t{1} << 40;

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The value columns as a cursor and an end; nothing past column 30 is looked at.
struct ValueText {
    const uint8_t *next;
    const uint8_t *end;
};

ValueText valueText(const uint8_t *card) {
    ValueText text{card + valueFirstColumn - 1, card + valueLastColumn};
    while (text.next < text.end && *text.next == ' ')
        ++text.next;
    return text;
}

bool takeSign(ValueText &text) {
    if (text.next < text.end && (*text.next == '+' || *text.next == '-'))
        return *text.next++ == '-';
    return false;
}

int takeDigits(ValueText &text, char *out, int room) {
    int taken = 0;
    while (text.next < text.end && isDigit(*text.next)) {
        if (taken < room)
            out[taken] = static_cast<char>(*text.next);
        ++taken;
        ++text.next;
    }
    return taken;
}

} // namespace

int64_t integerValue(const uint8_t *card) {
    ValueText text = valueText(card);
    bool negative = takeSign(text);
    int64_t value = 0;
    while (text.next < text.end && isDigit(*text.next)) {
        value = value * 10 + (*text.next++ - '0');
        if (value > integerValueCeiling)
            value = integerValueCeiling;
    }
    return negative ? -value : value;
}

namespace {

// The number of columns 11-30 as from_chars reads it: without its sign (from_chars takes
// none) and with a D exponent written as E; 20 columns always fit. 0 without digits.
int numberText(const uint8_t *card, char *number, bool *negative) {
    ValueText text = valueText(card);
    *negative = takeSign(text);
    int length = takeDigits(text, number, valueColumns);
    int digits = length;
    if (text.next < text.end && *text.next == '.') {
        number[length++] = '.';
        ++text.next;
        int fraction = takeDigits(text, number + length, valueColumns - length);
        length += fraction;
        digits += fraction;
    }
    if (digits == 0)
        return 0;
    if (text.next < text.end && (*text.next == 'E' || *text.next == 'e' || *text.next == 'D' || *text.next == 'd')) {
        ValueText exponent = text;
        ++exponent.next;
        char mark[valueColumns + 1];
        int markLength = 0;
        if (exponent.next < exponent.end && (*exponent.next == '+' || *exponent.next == '-'))
            mark[markLength++] = static_cast<char>(*exponent.next++);
        int exponentDigits = takeDigits(exponent, mark + markLength, valueColumns - markLength);
        if (exponentDigits > 0) {
            number[length++] = 'e';
            std::memcpy(number + length, mark, static_cast<size_t>(markLength + exponentDigits));
            length += markLength + exponentDigits;
        }
    }
    return length;
}

template <typename Real> Real parsedReal(const uint8_t *card) {
    char number[valueColumns + 1];
    bool negative = false;
    int length = numberText(card, number, &negative);
    Real value = 0;
    if (length > 0)
        std::from_chars(number, number + length, value);
    return negative ? -value : value;
}

} // namespace

float realValue(const uint8_t *card) { return parsedReal<float>(card); }

double exactRealValue(const uint8_t *card) { return parsedReal<double>(card); }

bool wholeValue(const uint8_t *card, int64_t *value) {
    char number[valueColumns + 1];
    ValueText text = valueText(card);
    bool negative = takeSign(text);
    int length = takeDigits(text, number, valueColumns);
    // An integer value is all of its text: BLANK = 1.5 names no stored integer.
    while (text.next < text.end && *text.next == ' ')
        ++text.next;
    if (length == 0 || length > valueColumns || text.next != text.end)
        return false;
    uint64_t magnitude = 0;
    if (std::from_chars(number, number + length, magnitude).ec != std::errc())
        return false;
    if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1))
        return false;
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool logicalValue(const uint8_t *card) {
    for (int column = valueFirstColumn - 1; column < valueLastColumn; ++column)
        if (card[column] != ' ')
            return card[column] == 'T';
    return false;
}

bool stringValue(const uint8_t *card, char *text, size_t room) {
    // A string starts with an apostrophe, in column 11 as FITS asks or after blanks as some
    // writers put it, and may run to column 80; two
    // apostrophes stand for one, and trailing blanks do not count. The blanks are those of the
    // whole string: a cut string ending in blanks keeps them, so that it never equals a shorter one.
    size_t length = 0;
    size_t whole = 0;       // characters of the whole string
    size_t significant = 0; // of which up to its last non-blank
    int first = valueFirstColumn - 1;
    while (first < cardBytes && card[first] == ' ')
        ++first;
    if (first == cardBytes || card[first] != '\'')
        return false;
    for (int column = first + 1; column < cardBytes; ++column) {
        char c = static_cast<char>(card[column]);
        if (c == '\'') {
            if (column + 1 < cardBytes && card[column + 1] == '\'') {
                ++column;
            } else {
                text[length < significant ? length : significant] = '\0';
                return true;
            }
        }
        ++whole;
        if (c != ' ')
            significant = whole;
        if (length + 1 < room)
            text[length++] = c;
    }
    return false;
}

void placeValue(uint8_t *card, const char *text) {
    std::memset(card + valueFirstColumn - 1, ' ', valueColumns);
    size_t length = std::strlen(text);
    if (length > static_cast<size_t>(valueColumns))
        length = valueColumns;
    std::memcpy(card + valueLastColumn - length, text, length);
}

void composeCard(uint8_t *card, const char *keyword, const char *value) {
    std::memset(card, ' ', cardBytes);
    std::memcpy(card, keyword, keywordColumns);
    std::memcpy(card + keywordColumns, "= ", 2);
    placeValue(card, value);
}

void decimalText(int32_t value, char *text) { std::snprintf(text, 12, "%ld", static_cast<long>(value)); }

void appendCount(char *text, size_t room, const char *separator, int32_t count, const char *one, const char *many) {
    const size_t used = std::strlen(text);
    std::snprintf(text + used, room - used, "%s%d %s", separator, static_cast<int>(count), count == 1 ? one : many);
}

int32_t findCardBefore(const uint8_t *header, int32_t cards, const char *keyword) {
    for (int32_t n = 0; n < cards; ++n)
        if (cardHasKeyword(header + int64_t{n} * cardBytes, keyword))
            return n;
    return -1;
}
