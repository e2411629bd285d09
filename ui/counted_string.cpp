// placeholder
#include "ui/counted_string.h"
void appendChars(CountedString *, const char *, int16_t, int16_t) {}
void expandParams(CountedString *, const CountedString *, const CountedString *, const CountedString *) {}
void formatDecimal(CountedString *, double, int16_t) {}
void formatInteger(int32_t, CountedString *) {}
