// The document record in revertInfo: a tag, a version and the record's own size first, so that
// a handle another module or another version of this one left there is never taken for ours.
// The headers and the path follow the record, in that order.
#include "fits/document.h"

#include <cstring>

#include "fits/header_format.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

constexpr char documentTag[4] = {'K', 'V', 'D', 'R'};
// 3: the image record carries how its tiles are compressed, beside the source file's layout.
constexpr int32_t documentVersion = 3;
constexpr int32_t longestPath = 32768; // UTF-16 units, as the longest Windows path

struct DocumentRecord {
    char tag[4];
    int32_t version;
    int32_t recordBytes; // sizeof(DocumentRecord) of the module that wrote it
    int32_t blocks;      // kept header blocks that follow the record
    int32_t ownBlocks;   // then the extension's own header blocks
    int32_t pathUnits;   // then the path, its final 0 included; 0 without a source
    bool hasSource;
    bool sourceUnread;
    SourceLayout layout;
    ImageDescription image;
};

// Handles the module can fill and read back: the handle services and their lock procs.
bool documentServicesUsable(const HandleProcs *procs) {
    return handleServicesUsable(procs) && procs->lockProc != nullptr && procs->unlockProc != nullptr;
}

int64_t tailBytes(int32_t blocks, int32_t ownBlocks, int32_t pathUnits) {
    return (int64_t{blocks} + ownBlocks) * headerBlockSize + int64_t{pathUnits} * 2;
}

int32_t pathUnitsOf(const uint16_t *path) {
    if (path == nullptr)
        return 0;
    int32_t units = 0;
    while (units < longestPath && path[units] != 0)
        ++units;
    return units < longestPath ? units + 1 : 0;
}

// The record behind revertInfo, locked, when it is one of ours; null otherwise (and unlocked).
const DocumentRecord *lockDocument(const FormatRecord *record) {
    const HandleProcs *procs = record->handleProcs;
    if (record->revertInfo == nullptr || !documentServicesUsable(procs))
        return nullptr;
    const int32_t size = procs->getSizeProc(record->revertInfo);
    if (size < static_cast<int32_t>(sizeof(DocumentRecord)))
        return nullptr;
    const auto *document = reinterpret_cast<const DocumentRecord *>(procs->lockProc(record->revertInfo, false));
    if (document != nullptr && std::memcmp(document->tag, documentTag, sizeof documentTag) == 0 &&
        document->version == documentVersion && document->recordBytes == static_cast<int32_t>(sizeof(DocumentRecord)) &&
        document->blocks >= 1 && document->blocks <= maxReadHeaderBlocks && document->ownBlocks >= 0 &&
        document->ownBlocks <= maxReadHeaderBlocks && document->pathUnits >= 0 && document->pathUnits <= longestPath &&
        int64_t{sizeof(DocumentRecord)} + tailBytes(document->blocks, document->ownBlocks, document->pathUnits) == size)
        return document;
    if (document != nullptr)
        procs->unlockProc(record->revertInfo);
    return nullptr;
}

// Refills the handle, at the size the record takes; false (the handle as it was) when it
// cannot be.
bool refillHandle(const HandleProcs *procs, Handle handle, const Document &document) {
    const int32_t pathUnits = document.hasSource ? pathUnitsOf(document.path) : 0;
    const auto size =
        static_cast<int32_t>(int64_t{sizeof(DocumentRecord)} + tailBytes(document.blocks, document.ownBlocks, pathUnits));
    if (procs->getSizeProc(handle) != size && procs->setSizeProc(handle, size) != noErr)
        return false;
    auto *kept = reinterpret_cast<DocumentRecord *>(procs->lockProc(handle, false));
    if (kept == nullptr)
        return false;
    *kept = DocumentRecord{};
    std::memcpy(kept->tag, documentTag, sizeof documentTag);
    kept->version = documentVersion;
    kept->recordBytes = sizeof(DocumentRecord);
    kept->blocks = document.blocks;
    kept->ownBlocks = document.ownBlocks;
    kept->pathUnits = pathUnits;
    kept->hasSource = pathUnits > 0;
    kept->sourceUnread = document.sourceUnread;
    kept->layout = document.layout;
    kept->image = document.image;
    auto *tail = reinterpret_cast<uint8_t *>(kept + 1);
    std::memcpy(tail, document.header, static_cast<size_t>(document.blocks) * headerBlockSize);
    tail += static_cast<size_t>(document.blocks) * headerBlockSize;
    if (document.ownBlocks > 0)
        std::memcpy(tail, document.ownHeader, static_cast<size_t>(document.ownBlocks) * headerBlockSize);
    tail += static_cast<size_t>(document.ownBlocks) * headerBlockSize;
    if (pathUnits > 0)
        std::memcpy(tail, document.path, static_cast<size_t>(pathUnits) * 2);
    procs->unlockProc(handle);
    return true;
}

} // namespace

int16_t keepDocument(FormatRecord *record, const Document &document) {
    const HandleProcs *procs = record->handleProcs;
    // Without lock procs no record can be made; the document is then kept as the session's
    // retained header alone, as a host that keeps no revertInfo would have it.
    if (!documentServicesUsable(procs))
        return noErr;
    // A record of ours already there is the document's (a revert, or a save that brings its
    // header up to date): the host keeps that handle, so it is refilled rather than replaced.
    if (lockDocument(record) != nullptr) {
        procs->unlockProc(record->revertInfo);
        return refillHandle(procs, record->revertInfo, document) ? noErr : memFullErr;
    }
    const int32_t pathUnits = document.hasSource ? pathUnitsOf(document.path) : 0;
    Handle handle = procs->newProc(static_cast<int32_t>(int64_t{sizeof(DocumentRecord)} +
                                                        tailBytes(document.blocks, document.ownBlocks, pathUnits)));
    if (handle == nullptr)
        return memFullErr;
    if (!refillHandle(procs, handle, document)) {
        procs->disposeProc(handle);
        return memFullErr;
    }
    record->revertInfo = handle;
    return noErr;
}

bool documentImage(const FormatRecord *record, ImageDescription *image) {
    const DocumentRecord *document = lockDocument(record);
    if (document == nullptr)
        return false;
    *image = document->image;
    record->handleProcs->unlockProc(record->revertInfo);
    return true;
}

bool takeDocument(const FormatRecord *record, Document *document) {
    *document = Document{};
    const DocumentRecord *kept = lockDocument(record);
    if (kept == nullptr)
        return false;
    const auto bytes = static_cast<size_t>(tailBytes(kept->blocks, kept->ownBlocks, kept->pathUnits));
    document->memory = static_cast<uint8_t *>(platformNewFixedBlock(bytes));
    if (document->memory != nullptr) {
        std::memcpy(document->memory, kept + 1, bytes);
        document->image = kept->image;
        document->header = document->memory;
        document->blocks = kept->blocks;
        document->ownBlocks = kept->ownBlocks;
        document->ownHeader = kept->ownBlocks > 0 ? document->memory + size_t(kept->blocks) * headerBlockSize : nullptr;
        document->hasSource = kept->hasSource && kept->pathUnits > 0;
        document->sourceUnread = kept->sourceUnread;
        document->layout = kept->layout;
        document->path = document->hasSource
                             ? reinterpret_cast<const uint16_t *>(document->memory + size_t(kept->blocks + kept->ownBlocks) *
                                                                                         headerBlockSize)
                             : nullptr;
    }
    record->handleProcs->unlockProc(record->revertInfo);
    return document->memory != nullptr;
}

void releaseDocument(Document *document) {
    platformDisposeFixedBlock(document->memory);
    *document = Document{};
}

const uint16_t *readFilePath(const FormatRecord *record) {
    const auto *named = static_cast<const HostFileName *>(record->fileSpec2);
    return named != nullptr ? named->mReference : nullptr;
}
