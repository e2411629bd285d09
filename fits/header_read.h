// The pieces of header reading that tests reach directly.
#pragma once

#include <cstdint>

// True when the card's columns 1-8 are "SIMPLE  " and column 9 is "=".
bool isSimpleCard(const uint8_t *card);

