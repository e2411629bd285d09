// The source file of a document: surveyed at open, checked and copied from at save. Read
// through the platform at 64-bit offsets, so HDUs beyond 2 GB are reached.
#include "fits/source_file.h"

#include <cstdio>
#include <cstring>

#include "entry/globals.h"
#include "fits/header_format.h"
#include "fits/header_read.h"
#include "host/file_access.h"

namespace {

// FNV-1a: enough to tell a header that changed from the one read, which is all it is for.
void hashBytes(uint64_t *hash, const uint8_t *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        *hash = (*hash ^ bytes[i]) * 0x100000001b3u;
}

// Reads the header at `offset` block by block until the block that holds END; its cards are
// in *cards. False when the file ends first or END does not come within the blocks a header
// may have.
bool readSourceHeader(PlatformFile file, int64_t offset, HeaderCards *cards) {
    uint8_t block[headerBlockSize];
    for (int32_t blocks = 0; blocks < maxReadHeaderBlocks; ++blocks) {
        if (platformReadSourceAt(file, offset + int64_t{blocks} * headerBlockSize, block, headerBlockSize) !=
            headerBlockSize)
            return false;
        for (int32_t n = 0; n < cardsPerBlock; ++n)
            if (!appendCard(cards, block + n * cardBytes))
                return false;
        if (findEndCard(block, cardsPerBlock) >= 0)
            return true;
    }
    return false;
}

void countOther(SourceLayout *layout, const HduSummary &summary) {
    ++layout->otherHdus;
    layout->otherImages += summary.holdsImage ? 1 : 0;
    layout->otherTables += summary.isTable ? 1 : 0;
}

} // namespace

bool surveySource(PlatformFile file, int64_t imageDataStart, SourceLayout *layout) {
    *layout = SourceLayout{};
    layout->imageHdu = -1;
    PlatformSourceFacts facts{};
    if (!platformSourceFacts(file, &facts))
        return false;
    layout->fileBytes = facts.bytes;
    layout->modified = facts.modified;
    layout->headerHash = 0xcbf29ce484222325u;
    HeaderCards cards{};
    bool whole = true;
    int64_t offset = 0;
    for (int32_t hdu = 0; whole && offset < facts.bytes; ++hdu) {
        releaseCards(&cards);
        HduSummary summary{};
        whole = readSourceHeader(file, offset, &cards) && summarizeHdu(cards.bytes, cards.count, &summary);
        const int64_t dataStart = offset + headerBytes(cards);
        const int64_t end = dataStart + summary.dataBytes;
        whole = whole && end <= facts.bytes;
        if (whole && dataStart == imageDataStart) {
            layout->imageHdu = hdu;
            layout->imageStart = offset;
            layout->imageData = dataStart;
            layout->imageEnd = end;
        } else if (whole) {
            hashBytes(&layout->headerHash, cards.bytes, static_cast<size_t>(headerBytes(cards)));
            countOther(layout, summary);
        }
        offset = end;
    }
    releaseCards(&cards);
    return whole && layout->imageHdu >= 0;
}

bool sourceUnchanged(const uint16_t *path, const SourceLayout &layout, char *why, size_t room) {
    const PlatformFile file = platformOpenSource(path);
    if (file < 0) {
        std::snprintf(why, room, "cannot be read any more (moved, deleted or locked)");
        return false;
    }
    SourceLayout now{};
    const bool surveyed = surveySource(file, layout.imageData, &now);
    platformCloseSource(file);
    const bool same = surveyed && now.fileBytes == layout.fileBytes && now.modified == layout.modified &&
                      now.headerHash == layout.headerHash && now.imageStart == layout.imageStart &&
                      now.imageEnd == layout.imageEnd && now.imageHdu == layout.imageHdu;
    if (!same)
        std::snprintf(why, room, "changed since it was opened");
    return same;
}

void copySourceBytes(PluginGlobals *globals, const uint16_t *path, int64_t from, int64_t to) {
    if (globals->result != noErr || from >= to)
        return;
    const PlatformFile file = platformOpenSource(path);
    auto *buffer = static_cast<uint8_t *>(platformHeapAlloc(maxTransferBytes));
    if (file < 0 || buffer == nullptr)
        globals->result = file < 0 ? readErr : memFullErr;
    for (int64_t at = from; globals->result == noErr && at < to;) {
        const int32_t want = to - at < maxTransferBytes ? static_cast<int32_t>(to - at) : maxTransferBytes;
        const int32_t got = platformReadSourceAt(file, at, buffer, want);
        if (got != want) {
            globals->result = got < 0 ? readErr : eofErr;
            break;
        }
        writeExact(globals, got, buffer);
        at += got;
    }
    platformHeapFree(buffer);
    if (file >= 0)
        platformCloseSource(file);
}
