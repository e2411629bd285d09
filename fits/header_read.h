// The pieces of header reading that tests reach directly.
#pragma once

#include <cstdint>

// True when the card's columns 1-8 are "SIMPLE  " and column 9 is "=".
bool isSimpleCard(const uint8_t *card);

// Stores the card in the next slot of HeaderImage; once END has been seen in a header without
// an attribution card, the attribution card goes in first (once per read, and only while the
// header is still short of a full first block). Cards beyond 144 are dropped.
void appendHeaderCard(const uint8_t *card, bool endSeen, bool attributionSeen);
