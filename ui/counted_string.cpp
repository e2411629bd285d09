// Counted strings and the placeholder and number formatting behind the alert texts.
#include "ui/counted_string.h"

#include <cmath>
#include <cstdint>

namespace {

uint8_t lengthOf(const CountedString *text) { return text->bytes[0]; }

const char *charsOf(const CountedString *text) { return reinterpret_cast<const char *>(text->bytes); }

// Keeps the characters readable as a zero-terminated string from the second byte. A string
// of 255 characters (only ever made elsewhere) has no room for the zero byte.
void terminate(CountedString *text) {
    if (lengthOf(text) < 255)
        text->bytes[lengthOf(text) + 1] = 0;
}

bool isPlaceholderDigit(uint8_t c) { return c >= '0' && c <= '2'; }

// Truncates toward zero into a signed 32-bit integer. Values outside its range saturate and
// NaN gives 0, so that no value can make the conversion undefined.
int32_t trunc32(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return INT32_MAX;
    if (value <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// 10^n by repeated multiplication, as the rounding rule is written; 1.0 for n <= 0.
double powerOfTen(int32_t n) {
    double power = 1.0;
    for (int32_t k = 0; k < n; ++k)
        power *= 10.0;
    return power;
}

double fractionOf(double value) { return value - trunc32(value); }

void setEmpty(CountedString *text) {
    text->bytes[0] = 0;
    text->bytes[1] = 0;
}

void appendChar(CountedString *dst, char c) { appendChars(dst, &c, 0, 1); }

} // namespace

void appendChars(CountedString *dst, const char *src, int16_t start, int16_t count) {
    uint8_t length = lengthOf(dst);
    for (int16_t k = 0; k < count && length < countedStringLimit; ++k)
        dst->bytes[++length] = static_cast<uint8_t>(src[start + k]);
    dst->bytes[0] = length;
    terminate(dst);
}

void expandParams(CountedString *text, const CountedString *param0, const CountedString *param1,
                  const CountedString *param2) {
    const CountedString *params[] = {param0, param1, param2};
    int16_t i = 0;
    bool armed = false;
    while (i < lengthOf(text)) {
        ++i;
        uint8_t c = text->bytes[i];
        if (c == '^') {
            armed = true;
        } else if (isPlaceholderDigit(c) && armed) {
            armed = false;
            const CountedString *param = params[c - '0'];
            CountedString rebuilt{};
            appendChars(&rebuilt, charsOf(text), 1, static_cast<int16_t>(i - 2));
            if (param != nullptr)
                appendChars(&rebuilt, charsOf(param), 1, lengthOf(param));
            appendChars(&rebuilt, charsOf(text), static_cast<int16_t>(i + 1),
                        static_cast<int16_t>(lengthOf(text) - i));
            *text = rebuilt;
            // The scan goes on at the digit's former position, so the parameter's first
            // character is not looked at again.
            --i;
        } else {
            armed = false;
        }
    }
}

void formatDecimal(CountedString *out, double value, int16_t places) {
    setEmpty(out);
    if (fractionOf(value * powerOfTen(places)) * 10.0 >= 5.0)
        value += 5.0 / powerOfTen(places + 1);
    // A zero in the last place is dropped, once only: 12.0 with three places is "12.0".
    if (places > 1 && fractionOf(value * powerOfTen(places - 1)) * 10.0 < 1.0)
        --places;
    formatInteger(trunc32(value), out);
    appendChar(out, '.');
    double f = fractionOf(value);
    for (;;) {
        f *= 10.0;
        int32_t d = trunc32(f);
        // For the non-negative values this is meant for, d is a digit already; the remainder
        // only keeps a saturated d from overflowing.
        appendChar(out, static_cast<char>('0' + d % 10));
        f -= d;
        if (f <= 0.0)
            break;
        // Fewer than one place still gives one digit and stops.
        if (--places <= 0)
            break;
    }
}

void formatInteger(int32_t value, CountedString *out) {
    setEmpty(out);
    // Widened first so that the most negative value has a magnitude.
    int64_t magnitude = value < 0 ? -static_cast<int64_t>(value) : value;
    char digits[10];
    int16_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (value < 0)
        appendChar(out, '-');
    while (count > 0)
        appendChar(out, digits[--count]);
}
