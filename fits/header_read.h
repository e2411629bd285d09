// The pieces of header reading that tests reach directly.
#pragma once

#include <cstdint>

// True when the card's columns 1-8 are "SIMPLE  " and column 9 is "=".
bool isSimpleCard(const uint8_t *card);


// What one HDU's header says of it, for a walk that does not open it: its data's bytes,
// padded to whole blocks, and whether it holds an image or a table.
struct HduSummary {
    int64_t dataBytes;
    bool holdsImage;
    bool isTable;
};

// Summarizes the header in the first `count` cards; false when END is not among them.
bool summarizeHdu(const uint8_t *cards, int32_t count, HduSummary *summary);
