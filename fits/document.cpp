// The document record in revertInfo: a tag, a version and the record's own size first, so that
// a handle another module or another version of this one left there is never taken for ours.
#include "fits/document.h"

#include <cstring>

#include "fits/header_format.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

constexpr char documentTag[4] = {'K', 'V', 'D', 'R'};
// 2: the image record carries how its tiles are compressed.
constexpr int32_t documentVersion = 2;

struct DocumentRecord {
    char tag[4];
    int32_t version;
    int32_t recordBytes; // sizeof(DocumentRecord) of the module that wrote it
    int32_t blocks;      // header blocks that follow the record
    ImageDescription image;
};

// Handles the module can fill and read back: the handle services and their lock procs.
bool documentServicesUsable(const HandleProcs *procs) {
    return handleServicesUsable(procs) && procs->lockProc != nullptr && procs->unlockProc != nullptr;
}

int64_t documentBytes(int32_t blocks) { return int64_t{sizeof(DocumentRecord)} + int64_t{blocks} * headerBlockSize; }

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
        document->blocks >= 1 && document->blocks <= maxReadHeaderBlocks && documentBytes(document->blocks) == size)
        return document;
    if (document != nullptr)
        procs->unlockProc(record->revertInfo);
    return nullptr;
}

} // namespace

namespace {

void fillDocument(DocumentRecord *document, const ImageDescription &image, const uint8_t *header, int32_t blocks) {
    *document = DocumentRecord{};
    std::memcpy(document->tag, documentTag, sizeof documentTag);
    document->version = documentVersion;
    document->recordBytes = sizeof(DocumentRecord);
    document->blocks = blocks;
    document->image = image;
    std::memcpy(document + 1, header, static_cast<size_t>(blocks) * headerBlockSize);
}

// Refills the handle, at the size the record takes; false (the handle as it was, or
// emptied of a record of ours when it could not be refilled) when it cannot be.
bool refillHandle(const HandleProcs *procs, Handle handle, const ImageDescription &image, const uint8_t *header,
                  int32_t blocks) {
    const auto size = static_cast<int32_t>(documentBytes(blocks));
    if (procs->getSizeProc(handle) != size && procs->setSizeProc(handle, size) != noErr)
        return false;
    auto *document = reinterpret_cast<DocumentRecord *>(procs->lockProc(handle, false));
    if (document == nullptr)
        return false;
    fillDocument(document, image, header, blocks);
    procs->unlockProc(handle);
    return true;
}

} // namespace

int16_t keepDocument(FormatRecord *record, const ImageDescription &image, const uint8_t *header, int32_t blocks) {
    const HandleProcs *procs = record->handleProcs;
    // Without lock procs no record can be made; the document is then kept as the session's
    // retained header alone, as a host that keeps no revertInfo would have it.
    if (!documentServicesUsable(procs))
        return noErr;
    // A record of ours already there is the document's (a revert, or a save that brings its
    // header up to date): the host keeps that handle, so it is refilled rather than replaced.
    if (lockDocument(record) != nullptr) {
        procs->unlockProc(record->revertInfo);
        return refillHandle(procs, record->revertInfo, image, header, blocks) ? noErr : memFullErr;
    }
    Handle handle = procs->newProc(static_cast<int32_t>(documentBytes(blocks)));
    if (handle == nullptr)
        return memFullErr;
    if (!refillHandle(procs, handle, image, header, blocks)) {
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
    const size_t bytes = static_cast<size_t>(kept->blocks) * headerBlockSize;
    document->header = static_cast<uint8_t *>(platformNewFixedBlock(bytes));
    if (document->header != nullptr) {
        std::memcpy(document->header, kept + 1, bytes);
        document->image = kept->image;
        document->blocks = kept->blocks;
    }
    record->handleProcs->unlockProc(record->revertInfo);
    return document->header != nullptr;
}

void releaseDocument(Document *document) {
    platformDisposeFixedBlock(document->header);
    *document = Document{};
}
