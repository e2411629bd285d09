// The FITS header as the module reads and writes it: cards, blocks, keywords, value texts,
// the attribution card, and the header the session keeps.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "entry/globals.h"
#include "fits/image_description.h"

constexpr int16_t headerBlockSize = 2880;
constexpr int32_t cardBytes = 80;
constexpr int16_t cardsPerBlock = 36;
// The reader keeps at most four blocks, the size of retainedHeader.
constexpr int16_t maxHeaderBlocks = 4;
constexpr int16_t maxHeaderCards = maxHeaderBlocks * cardsPerBlock;
constexpr int32_t headerImageSize = int32_t{maxHeaderBlocks} * headerBlockSize;
static_assert(headerImageSize == retainedHeaderSize);

// Longer headers are read and kept in memory of their own, up to a size no real file reaches.
constexpr int32_t maxReadHeaderBlocks = 1000;
constexpr int32_t maxReadHeaderCards = maxReadHeaderBlocks * cardsPerBlock;

// Column numbers are counted from 1, as FITS counts them.
constexpr int keywordColumns = 8;
constexpr int valueFirstColumn = 11;
constexpr int valueLastColumn = 30;
constexpr int valueColumns = valueLastColumn - valueFirstColumn + 1;

// Keywords as they stand in columns 1-8.
constexpr char keywordSIMPLE[] = "SIMPLE  ";
constexpr char keywordBITPIX[] = "BITPIX  ";
constexpr char keywordNAXIS[] = "NAXIS   ";
constexpr char keywordNAXIS1[] = "NAXIS1  ";
constexpr char keywordNAXIS2[] = "NAXIS2  ";
constexpr char keywordNAXIS3[] = "NAXIS3  ";
constexpr char keywordBZERO[] = "BZERO   ";
constexpr char keywordBSCALE[] = "BSCALE  ";
constexpr char keywordBLANK[] = "BLANK   ";
constexpr char keywordROWORDER[] = "ROWORDER";
constexpr char keywordEND[] = "END     ";
constexpr char keywordKORVALIS[] = "KORVALIS";

// The module's attribution, a FITS character string: KORVALIS= 'Photoshop Plugin by ...'.
extern const char attributionCard[cardBytes + 1];


// The cards of a header of any length, in fixed memory that doubles as it fills.
struct HeaderCards {
    uint8_t *bytes; // card n at bytes 80n .. 80n + 79
    int32_t count;
    int32_t capacity;
};

// Appends a card; false when no memory is left for it (the cards so far stay).
bool appendCard(HeaderCards *cards, const uint8_t *card);

// Releases the memory of the cards and empties them.
void releaseCards(HeaderCards *cards);

// Bytes the cards take in the file: a header's length once it is read whole.
inline int64_t headerBytes(const HeaderCards &cards) { return int64_t{cards.count} * cardBytes; }

// Card n of the cards.
inline const uint8_t *cardOf(const HeaderCards &cards, int32_t n) { return cards.bytes + int64_t{n} * cardBytes; }

// True when the card's columns 1-8 hold `keyword` (8 characters).
bool cardHasKeyword(const uint8_t *card, const char *keyword);

// Whether the card's keyword is one of `keywords`, or one of `stems` with an index after it
// (as indexedKeyword takes it, loosely when `loose`).
bool cardAmong(const uint8_t *card, std::initializer_list<const char *> keywords,
               std::initializer_list<const char *> stems = {}, bool loose = false);

// True when the card's columns 1-8 are "SIMPLE  " and column 9 is "=".
bool isSimpleCard(const uint8_t *card);

// FITS allows axes NAXIS1 to NAXIS999.
constexpr int largestAxis = 999;

// n of a keyword `stem` followed by n (1 to 999) and blanks in columns 1-8; 0 for any other keyword.
// `loose` takes any digits, leading zeros and all, as the n they spell.
int indexedKeyword(const uint8_t *card, const char *stem, bool loose = false);

// n of an NAXISn keyword (1 to 999) in columns 1-8; 0 for any other keyword, NAXIS included.
int axisNumber(const uint8_t *card);

// Integer value of columns 11-30: blanks, an optional sign, digits up to the first other
// character; 0 without digits. Saturates far beyond 16 bits so that callers can refuse
// large values instead of wrapping them.
int64_t integerValue(const uint8_t *card);

// Real value of columns 11-30: blanks, sign, digits with an optional point and an optional
// exponent (E, e, or FITS's D for double precision), rounded to the nearest float; 0
// without a number.
float realValue(const uint8_t *card);

// The same value in double precision, for the codings that are converted in double.
double exactRealValue(const uint8_t *card);

// Integer value of columns 11-30 in the full 64-bit range, when the columns hold an integer
// and nothing else (blanks aside). False for any other text or a value beyond 64 bits.
bool wholeValue(const uint8_t *card, int64_t *value);

// A logical value: T in the value columns, after blanks.
bool logicalValue(const uint8_t *card);

// The character string that starts at column 11 (or after blanks there), without its apostrophes and trailing blanks,
// cut to fit `room` bytes with its terminating zero. False when the card holds no string.
bool stringValue(const uint8_t *card, char *text, size_t room);

// Sets columns 11-30 to blanks and places `text` so that its last character is in column 30.
void placeValue(uint8_t *card, const char *text);

// Writes a whole card: keyword, "= ", the value right-justified, blanks after column 30.
void composeCard(uint8_t *card, const char *keyword, const char *value);

// Decimal text of `value` into `text`, which has room for 12 characters.
void decimalText(int32_t value, char *text);

// Appends `separator` and "2 tables" (`count`, then `one` or `many`) to the text in `room` bytes.
void appendCount(char *text, size_t room, const char *separator, int32_t count, const char *one, const char *many);

// True when a header is retained: the first byte of retainedHeader is "S".
bool headerIsRetained(const PluginGlobals *globals);

// Index of the first card with `keyword` among the first `cards` cards of `header`; -1 when none.
int32_t findCardBefore(const uint8_t *header, int32_t cards, const char *keyword);

// Index of the first END card among the first `cards` cards of `header`; -1 when none.
inline int32_t findEndCard(const uint8_t *header, int32_t cards) { return findCardBefore(header, cards, keywordEND); }

// The header a session keeps: its bytes and blocks. The first blocks are in retainedHeader;
// a longer header is held whole in the session's longHeader. Blocks 0 when none is kept.
struct KeptHeader {
    const uint8_t *bytes;
    int32_t blocks;
};
KeptHeader keptHeader(const PluginGlobals *globals);

// Makes the `blocks` blocks at `bytes` the kept header: in retainedHeader, and whole in
// longHeader when they do not fit there. False (the kept header as it was) when no memory is left.
bool keepHeaderBlocks(PluginGlobals *globals, const uint8_t *bytes, int32_t blocks);

// Blocks of the retained header, taken from the header itself: the block that holds its
// END card. 0 when no header is retained or it has no END in its four blocks.
int16_t retainedHeaderBlocks(const PluginGlobals *globals);
