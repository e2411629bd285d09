// The counting side of --wrap: a small table of the blocks allocated while counting. The
// module holds a handful at a time, so a linear table is enough; a block that does not fit is
// passed through uncounted and shows as a failure of the count, not as a smaller peak.
#include "bench/heap_count.h"

#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *block);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
void __wrap_free(void *block);
}

namespace {

struct Block {
    void *address;
    int64_t size;
};

constexpr int tableSize = 256;
Block table[tableSize];
bool counting = false;
bool overflowed = false;
int entries = 0; // blocks in the table, so that a free outside a count costs nothing
int64_t live = 0;
HeapCount current;

void remember(void *address, int64_t size) {
    if (!counting || address == nullptr)
        return;
    ++current.calls;
    for (Block &block : table) {
        if (block.address == nullptr) {
            block = Block{address, size};
            ++entries;
            live += size;
            if (live > current.peak)
                current.peak = live;
            return;
        }
    }
    overflowed = true;
}

void forget(void *address) {
    if (address == nullptr || entries == 0)
        return;
    for (Block &block : table) {
        if (block.address == address) {
            live -= block.size;
            --entries;
            block = Block{};
            return;
        }
    }
}

} // namespace

void *__wrap_malloc(size_t size) {
    void *block = __real_malloc(size);
    remember(block, static_cast<int64_t>(size));
    return block;
}

void *__wrap_calloc(size_t count, size_t size) {
    void *block = __real_calloc(count, size);
    remember(block, static_cast<int64_t>(count * size));
    return block;
}

void __wrap_free(void *block) {
    forget(block);
    __real_free(block);
}

void startHeapCount() {
    current = HeapCount{};
    overflowed = false;
    counting = true;
    // Blocks still live from an earlier count (none, when the module frees what it takes)
    // belong to that count.
    live = 0;
    entries = 0;
    for (Block &block : table)
        block = Block{};
}

HeapCount stopHeapCount() {
    counting = false;
    if (overflowed)
        current.peak = -1;
    return current;
}
