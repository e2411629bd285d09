// Counted strings (a length byte and up to 255 characters) and the text routines of the alerts.
#pragma once

#include <cstdint>

// Most characters a text built by the alert path holds; a zero byte always follows them.
constexpr int16_t countedStringLimit = 254;

// bytes[0] is the length n; bytes[1..n] the characters; bytes[n + 1] is 0.
struct CountedString {
    uint8_t bytes[256];
};

// Appends `count` characters of `src` from index `start`, keeping at most 254 characters,
// and puts a zero byte after the last one. A CountedString source is passed with start 1.
void appendChars(CountedString *dst, const char *src, int16_t start, int16_t count);

// Replaces each ^0, ^1, ^2 in `text` with the parameter of that number; an absent (null)
// parameter counts as empty. The result keeps at most 254 characters.
void expandParams(CountedString *text, const CountedString *param0, const CountedString *param1,
                  const CountedString *param2);

// Writes `value` (non-negative) with a decimal point and at most `places` fraction digits,
// at least one, rounding half up at the last place.
void formatDecimal(CountedString *out, double value, int16_t places);

// Sets `out` to the decimal text of `value`, with a leading minus sign when negative.
void formatInteger(int32_t value, CountedString *out);
