// Header reading for a walk over a file's HDUs that opens none of them.
#pragma once

#include <cstdint>

// What one HDU's header says of it, for a walk that does not open it: its data's bytes,
// padded to whole blocks, and whether it holds an image or a table.
struct HduSummary {
    int64_t dataBytes;
    bool holdsImage;
    bool isTable;
};

// Summarizes the header in the first `count` cards; false when END is not among them.
bool summarizeHdu(const uint8_t *cards, int32_t count, HduSummary *summary);
