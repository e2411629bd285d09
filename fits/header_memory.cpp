// Header cards in memory of their own, and the header the session keeps.
#include <cstring>

#include "fits/header_format.h"
#include "platform/platform.h"

bool appendCard(HeaderCards *cards, const uint8_t *card) {
    if (cards->count == cards->capacity) {
        int32_t capacity = cards->capacity == 0 ? maxHeaderCards : cards->capacity * 2;
        auto *bytes = static_cast<uint8_t *>(platformNewFixedBlock(static_cast<size_t>(capacity) * cardBytes));
        if (bytes == nullptr)
            return false;
        if (cards->count > 0)
            std::memcpy(bytes, cards->bytes, static_cast<size_t>(cards->count) * cardBytes);
        platformDisposeFixedBlock(cards->bytes);
        cards->bytes = bytes;
        cards->capacity = capacity;
    }
    std::memcpy(cards->bytes + int64_t{cards->count} * cardBytes, card, cardBytes);
    ++cards->count;
    return true;
}

void releaseCards(HeaderCards *cards) {
    platformDisposeFixedBlock(cards->bytes);
    *cards = HeaderCards{};
}

bool headerIsRetained(const PluginGlobals *globals) { return globals->retainedHeader[0] == 'S'; }

int16_t retainedHeaderBlocks(const PluginGlobals *globals) {
    if (!headerIsRetained(globals))
        return 0;
    int32_t end = findEndCard(globals->retainedHeader, maxHeaderCards);
    return end < 0 ? 0 : static_cast<int16_t>(end / cardsPerBlock + 1);
}

KeptHeader keptHeader(const PluginGlobals *globals) {
    // The long copy counts only while retainedHeader still starts it, as the two were kept.
    if (headerIsRetained(globals) && globals->longHeader != nullptr && globals->longHeaderBlocks > maxHeaderBlocks &&
        std::memcmp(globals->longHeader, globals->retainedHeader, retainedHeaderSize) == 0)
        return KeptHeader{globals->longHeader, globals->longHeaderBlocks};
    return KeptHeader{globals->retainedHeader, retainedHeaderBlocks(globals)};
}

bool keepHeaderBlocks(PluginGlobals *globals, const uint8_t *bytes, int32_t blocks) {
    uint8_t *whole = nullptr;
    if (blocks > maxHeaderBlocks) {
        whole = static_cast<uint8_t *>(platformNewFixedBlock(static_cast<size_t>(blocks) * headerBlockSize));
        if (whole == nullptr)
            return false;
        std::memcpy(whole, bytes, static_cast<size_t>(blocks) * headerBlockSize);
    }
    // The session's own long header is released when the call commits (see ENTRYPOINT); one
    // this call made is its own to release.
    if (globals->longHeader != globals->enteredLongHeader)
        platformDisposeFixedBlock(globals->longHeader);
    globals->longHeader = whole;
    globals->longHeaderBlocks = whole != nullptr ? blocks : 0;
    const int32_t first = blocks < maxHeaderBlocks ? blocks : maxHeaderBlocks;
    std::memcpy(globals->retainedHeader, bytes, static_cast<size_t>(first) * headerBlockSize);
    return true;
}
