// The host's services and callbacks, and the checked hand-over of rows.
#include "hostsim/host_session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostsim/code_page.h"

namespace {

// The callbacks take no context, so they reach the session of the call under way through
// this pointer; callModule sets it for exactly the length of one module call.
HostSession *activeSession = nullptr;

// The host's own figures for a record it hands out.
constexpr int32_t hostMaxData = 64 << 20;
constexpr Fixed seventyTwoDpi = 72 << 16;
constexpr OSErr paramErr = -50;
constexpr OSErr nilHandleErr = -109;

HostBuffer *findBuffer(HostSession *session, BufferID id) {
    for (HostBuffer *buffer : session->buffers)
        if (reinterpret_cast<BufferID>(buffer) == id)
            return buffer;
    return nullptr;
}

HostHandle *findHandle(const HostSession *session, Handle handle) {
    for (HostHandle *entry : session->handles)
        if (reinterpret_cast<Handle>(&entry->pointer) == handle)
            return entry;
    return nullptr;
}

void noteFault(HostSession *session, const std::string &what) {
    if (session->fault.empty())
        session->fault = what;
}

OSErr allocateProc64(int64_t size, BufferID *bufferID) {
    HostSession *session = activeSession;
    if (session == nullptr || bufferID == nullptr)
        return paramErr;
    *bufferID = nullptr;
    if (size < 0)
        return paramErr;
    ++session->allocations;
    if (session->allocations == session->failAllocationAt)
        return memFullErr;
    if (static_cast<uint64_t>(size) > session->bufferBytesLimit - session->bufferBytesInUse)
        return memFullErr;
    auto *buffer = static_cast<HostBuffer *>(std::calloc(1, sizeof(HostBuffer)));
    uint8_t *bytes = static_cast<uint8_t *>(std::calloc(size == 0 ? 1 : static_cast<size_t>(size), 1));
    if (buffer == nullptr || bytes == nullptr) {
        std::free(buffer);
        std::free(bytes);
        return memFullErr;
    }
    *buffer = HostBuffer{bytes, size, 0};
    session->buffers.push_back(buffer);
    session->bufferBytesInUse += static_cast<uint64_t>(size);
    *bufferID = reinterpret_cast<BufferID>(buffer);
    return noErr;
}

OSErr allocateProc(int32_t size, BufferID *bufferID) { return allocateProc64(size, bufferID); }

Ptr lockProc(BufferID bufferID, Boolean) {
    HostBuffer *buffer = activeSession != nullptr ? findBuffer(activeSession, bufferID) : nullptr;
    if (buffer == nullptr)
        return nullptr;
    ++buffer->locks;
    return reinterpret_cast<Ptr>(buffer->bytes);
}

void unlockProc(BufferID bufferID) {
    HostBuffer *buffer = activeSession != nullptr ? findBuffer(activeSession, bufferID) : nullptr;
    if (buffer != nullptr && buffer->locks > 0)
        --buffer->locks;
}

void freeBuffer(HostSession *session, HostBuffer *buffer) {
    session->buffers.erase(std::find(session->buffers.begin(), session->buffers.end(), buffer));
    session->bufferBytesInUse -= static_cast<uint64_t>(buffer->size);
    std::free(buffer->bytes);
    std::free(buffer);
}

void freeProc(BufferID bufferID) {
    if (activeSession == nullptr)
        return;
    HostBuffer *buffer = findBuffer(activeSession, bufferID);
    if (buffer == nullptr) {
        noteFault(activeSession, "the module freed a buffer the host never gave it");
        return;
    }
    freeBuffer(activeSession, buffer);
}

int64_t spaceProc64() {
    if (activeSession == nullptr)
        return 0;
    return static_cast<int64_t>(activeSession->bufferBytesLimit - activeSession->bufferBytesInUse);
}

int32_t spaceProc() { return static_cast<int32_t>(std::min<int64_t>(spaceProc64(), INT32_MAX)); }
OSErr reserveProc(int32_t) { return noErr; }

Handle newHandle(int32_t size) {
    HostSession *session = activeSession;
    if (session == nullptr || size < 0)
        return nullptr;
    auto *entry = static_cast<HostHandle *>(std::calloc(1, sizeof(HostHandle)));
    char *bytes = static_cast<char *>(std::calloc(size == 0 ? 1 : static_cast<size_t>(size), 1));
    if (entry == nullptr || bytes == nullptr) {
        std::free(entry);
        std::free(bytes);
        return nullptr;
    }
    *entry = HostHandle{bytes, size, 0};
    session->handles.push_back(entry);
    ++session->handlesMade;
    return reinterpret_cast<Handle>(&entry->pointer);
}

// A freed handle is no longer kept with any document either.
void freeHandle(HostSession *session, HostHandle *entry) {
    session->handles.erase(std::find(session->handles.begin(), session->handles.end(), entry));
    dropHandle(session, reinterpret_cast<Handle>(&entry->pointer));
    std::free(entry->pointer);
    std::free(entry);
}

void disposeHandle(Handle handle) {
    if (activeSession == nullptr || handle == nullptr)
        return;
    HostHandle *entry = findHandle(activeSession, handle);
    if (entry == nullptr) {
        noteFault(activeSession, "the module disposed of a handle the host never gave it");
        return;
    }
    ++activeSession->handlesDisposed;
    freeHandle(activeSession, entry);
}

int32_t handleSize(Handle handle) {
    HostHandle *entry = activeSession != nullptr ? findHandle(activeSession, handle) : nullptr;
    return entry != nullptr ? entry->size : 0;
}

OSErr setHandleSize(Handle handle, int32_t size) {
    HostHandle *entry = activeSession != nullptr ? findHandle(activeSession, handle) : nullptr;
    if (entry == nullptr || size < 0)
        return entry == nullptr ? nilHandleErr : paramErr;
    char *bytes = static_cast<char *>(std::realloc(entry->pointer, size == 0 ? 1 : static_cast<size_t>(size)));
    if (bytes == nullptr)
        return memFullErr;
    if (size > entry->size)
        std::memset(bytes + entry->size, 0, static_cast<size_t>(size - entry->size));
    entry->pointer = bytes;
    entry->size = size;
    return noErr;
}

Ptr lockHandle(Handle handle, Boolean) {
    HostHandle *entry = activeSession != nullptr ? findHandle(activeSession, handle) : nullptr;
    if (entry == nullptr)
        return nullptr;
    ++entry->locks;
    return entry->pointer;
}

void unlockHandle(Handle handle) {
    HostHandle *entry = activeSession != nullptr ? findHandle(activeSession, handle) : nullptr;
    if (entry != nullptr)
        entry->locks = 0; // one unlock undoes every lock
}

void recoverSpace(int32_t) {}

bool userAborts(const HostSession &session) {
    return session.cancelled || (session.cancelAfterRows >= 0 && session.rowsMoved >= session.cancelAfterRows);
}

Boolean abortProc() { return activeSession != nullptr && userAborts(*activeSession) ? 1 : 0; }

void progressProc(int32_t done, int32_t total) {
    HostSession *session = activeSession;
    if (session == nullptr || !session->progressBar)
        return;
    int32_t percent = total <= 0 ? 100 : static_cast<int32_t>(std::clamp<int64_t>(int64_t{done} * 100 / total, 0, 100));
    if (percent == session->progressShown)
        return;
    session->progressShown = percent;
    const auto filled = static_cast<size_t>(percent * 40 / 100);
    const std::string bar = std::string(filled, '#') + std::string(40 - filled, '.');
    char line[64];
    std::snprintf(line, sizeof line, "\r  rows [%s] %3d%%", bar.c_str(), static_cast<int>(percent));
    // Drawn during a module call, while the module's standard error may be caught.
    writeStandardError(session->moduleOutput, line);
}

OSErr advanceState() { return activeSession != nullptr ? moveRows(activeSession) : paramErr; }

void fillServices(HostSession *session) {
    session->bufferProcs = BufferProcs{kCurrentBufferProcsVersion, kCurrentBufferProcsCount, allocateProc, lockProc,
                                       unlockProc, freeProc, spaceProc, reserveProc, allocateProc64, spaceProc64};
    session->handleProcs = HandleProcs{kCurrentHandleProcsVersion, kCurrentHandleProcsCount, newHandle,
                                       disposeHandle, handleSize, setHandleSize, lockHandle, unlockHandle,
                                       recoverSpace, disposeHandle};
}

// One request of advanceState, as the record describes it, widened for the checks.
struct RowRequest {
    int32_t top, left, bottom, right;
    int32_t loPlane, hiPlane;
    int64_t colBytes, rowBytes, planeBytes;
    uint8_t *data;
};

RowRequest requestOf(const FormatRecord &record) {
    return RowRequest{record.theRect.top, record.theRect.left, record.theRect.bottom, record.theRect.right,
                      record.loPlane, record.hiPlane, record.colBytes, record.rowBytes,
                      record.loPlane == record.hiPlane ? 0 : int64_t{record.planeBytes},
                      static_cast<uint8_t *>(record.data)};
}

// Bytes from `data` to the end of the host buffer it lies in; -1 when it lies in none.
int64_t bytesAvailable(const HostSession &session, const uint8_t *data) {
    auto at = reinterpret_cast<uintptr_t>(data);
    for (const HostBuffer *buffer : session.buffers) {
        auto start = reinterpret_cast<uintptr_t>(buffer->bytes);
        if (at >= start && at - start < static_cast<uint64_t>(buffer->size))
            return buffer->size - static_cast<int64_t>(at - start);
    }
    return -1;
}

std::string rectText(const RowRequest &request) {
    char text[128];
    std::snprintf(text, sizeof text, "rows %d..%d, columns %d..%d, planes %d..%d", static_cast<int>(request.top),
                  static_cast<int>(request.bottom), static_cast<int>(request.left), static_cast<int>(request.right),
                  static_cast<int>(request.loPlane), static_cast<int>(request.hiPlane));
    return text;
}

// Empty when the request is one the host can serve; otherwise why not.
std::string checkRequest(const HostSession &session, const RowRequest &request) {
    const HostImage &image = *session.image;
    if (request.top < 0 || request.left < 0 || request.bottom > image.rows || request.right > image.columns)
        return "the rectangle " + rectText(request) + " lies outside the " + std::to_string(image.rows) + " x " +
               std::to_string(image.columns) + " image";
    if (request.loPlane < 0 || request.hiPlane < request.loPlane || request.hiPlane >= image.planes)
        return "the planes of " + rectText(request) + " are not among the image's " + std::to_string(image.planes);
    if (request.colBytes < sampleBytes(image) || request.rowBytes < 0 || request.planeBytes < 0)
        return "the steps (colBytes " + std::to_string(request.colBytes) + ", rowBytes " +
               std::to_string(request.rowBytes) + ", planeBytes " + std::to_string(request.planeBytes) +
               ") do not fit " + std::to_string(image.depth) + "-bit samples";
    if (request.data == nullptr)
        return "data is null for " + rectText(request);
    int64_t extent = (request.bottom - request.top - 1) * request.rowBytes +
                     (request.right - request.left - 1) * request.colBytes +
                     (request.hiPlane - request.loPlane) * request.planeBytes + sampleBytes(image);
    int64_t available = bytesAvailable(session, request.data);
    if (available < 0)
        return "data does not point into a buffer from the host's buffer services";
    if (extent > available)
        return rectText(request) + " needs " + std::to_string(extent) + " bytes from data, but its buffer holds " +
               std::to_string(available);
    return std::string();
}

void copySamples(HostSession *session, const RowRequest &request) {
    HostImage &image = *session->image;
    const auto bytes = static_cast<size_t>(sampleBytes(image));
    const bool reading = session->transfer == Transfer::reading;
    for (int32_t plane = request.loPlane; plane <= request.hiPlane; ++plane) {
        for (int32_t row = request.top; row < request.bottom; ++row) {
            uint8_t *line = request.data + (plane - request.loPlane) * request.planeBytes +
                            (row - request.top) * request.rowBytes;
            uint8_t *stored = image.pixels.data.get() + static_cast<size_t>(plane) * planeBytes(image) +
                              static_cast<size_t>(row) * rowBytes(image) + static_cast<size_t>(request.left) * bytes;
            const auto columns = static_cast<size_t>(request.right - request.left);
            // A read copies from the module's rows into the image, a write the other way.
            uint8_t *to = reading ? stored : line;
            const uint8_t *from = reading ? line : stored;
            const int64_t toStep = reading ? static_cast<int64_t>(bytes) : request.colBytes;
            const int64_t fromStep = reading ? request.colBytes : static_cast<int64_t>(bytes);
            // Samples side by side, as the image holds them: the row is one copy.
            if (request.colBytes == static_cast<int64_t>(bytes))
                std::memcpy(to, from, columns * bytes);
            else
                for (size_t column = 0; column < columns; ++column)
                    std::memcpy(to + static_cast<int64_t>(column) * toStep,
                                from + static_cast<int64_t>(column) * fromStep, bytes);
            if (reading && request.left == 0 && request.right == image.columns)
                session->delivered[static_cast<size_t>(plane) * static_cast<size_t>(image.rows) +
                                   static_cast<size_t>(row)] = 1;
            ++session->rowsMoved;
        }
    }
}

} // namespace

void retireSession(HostSession *session) {
    // Held for the rest of the process, as a host holds it. The list itself is never
    // destroyed, so the blocks stay reachable even while static destructors run at exit.
    static auto *retiredSlots = new std::vector<intptr_t>;
    if (session->dataSlot != 0)
        retiredSlots->push_back(session->dataSlot);
    session->dataSlot = 0;
}

void initSession(HostSession *session, PluginEntry entry, const ModuleInfo *info) {
    retireSession(session);
    session->entry = entry;
    session->info = info;
    fillServices(session);
    session->platformData.hwnd = 0;
    setHostScale(session, fullRangeLargest);
}

void setHostScale(HostSession *session, uint32_t largest) {
    session->largestSample = largest;
    session->signature = largest == editorScaleLargest ? editorSignature : ownSignature;
}

int32_t reclaimModuleMemory(HostSession *session) {
    auto left = static_cast<int32_t>(session->buffers.size());
    while (!session->buffers.empty())
        freeBuffer(session, session->buffers.back());
    std::vector<HostHandle *> handles = session->handles;
    for (HostHandle *entry : handles) {
        const auto handle = reinterpret_cast<Handle>(&entry->pointer);
        if (std::find(session->heldHandles.begin(), session->heldHandles.end(), handle) != session->heldHandles.end())
            continue;
        ++session->handlesLeftBehind;
        ++left;
        freeHandle(session, entry);
    }
    return left;
}

void endSessionMemory(HostSession *session) {
    session->heldHandles.clear();
    reclaimModuleMemory(session);
}

bool handleIsLive(const HostSession &session, Handle handle) {
    return handle != nullptr && findHandle(&session, handle) != nullptr;
}

bool holdHandle(HostSession *session, Handle handle) {
    if (!handleIsLive(*session, handle))
        return false;
    if (std::find(session->heldHandles.begin(), session->heldHandles.end(), handle) == session->heldHandles.end())
        session->heldHandles.push_back(handle);
    return true;
}

void dropHandle(HostSession *session, Handle handle) {
    auto held = std::find(session->heldHandles.begin(), session->heldHandles.end(), handle);
    if (held != session->heldHandles.end())
        session->heldHandles.erase(held);
}

void disposeHeldHandle(HostSession *session, Handle handle) {
    dropHandle(session, handle);
    if (!handleIsLive(*session, handle))
        return; // already disposed of by the module: nothing is left to dispose of
    // The services find their session through the call under way, as the module's calls do.
    HostSession *outer = activeSession;
    activeSession = session;
    session->handleProcs.disposeProc(handle);
    activeSession = outer;
}

std::string handleTally(const HostSession &session) {
    return "handles: " + std::to_string(session.handlesMade) + " made, " + std::to_string(session.handlesDisposed) +
           " disposed, " + std::to_string(session.handlesLeftBehind) + " left behind";
}

FormatRecord *beginOperation(HostSession *session) {
    auto *record = static_cast<FormatRecord *>(std::calloc(1, sizeof(FormatRecord)));
    if (record == nullptr)
        return nullptr;
    record->serialNumber = ++session->serialNumber;
    record->abortProc = abortProc;
    record->progressProc = progressProc;
    record->maxData = hostMaxData;
    record->dataFork = -1; // undefined until a Read or Write sequence opens the file
    record->rsrcFork = -1;
    record->imageHRes = seventyTwoDpi;
    record->imageVRes = seventyTwoDpi;
    for (int16_t plane = 0; plane < 16; ++plane)
        record->planeMap[plane] = plane;
    record->canTranspose = 0;
    record->hostSig = session->signature;
    record->hostModes = static_cast<int16_t>(1 << plugInModeGrayScale | 1 << plugInModeRGBColor);
    record->platformData = &session->platformData;
    record->bufferProcs = &session->bufferProcs;
    record->handleProcs = &session->handleProcs;
    record->advanceState = advanceState;
    session->record = record;
    session->fault.clear();
    session->progressShown = -1;
    return record;
}

void endOperation(HostSession *session) {
    finishProgress(session);
    std::free(session->record);
    session->record = nullptr;
    endTransfer(session);
}

int16_t callModule(HostSession *session, int16_t selector, void *record) {
    int16_t result = noErr;
    HostSession *outer = activeSession;
    activeSession = session;
    startCatching(&session->moduleOutput);
    session->entry(selector, record, &session->dataSlot, &result);
    std::string text = stopCatching(&session->moduleOutput);
    activeSession = outer;
    if (!text.empty())
        showModuleText(session, text);
    return result;
}

OSErr moveRows(HostSession *session) {
    if (!session->fault.empty())
        return paramErr; // a refused request is not served later either
    if (session->transfer == Transfer::none || session->image == nullptr || session->record == nullptr) {
        noteFault(session, "the module called advanceState outside a read or a write");
        return paramErr;
    }
    RowRequest request = requestOf(*session->record);
    if (request.top >= request.bottom || request.left >= request.right)
        return noErr; // an empty rectangle asks for nothing
    if (userAborts(*session)) {
        session->cancelled = true;
        return userCanceledErr;
    }
    std::string problem = checkRequest(*session, request);
    if (!problem.empty()) {
        noteFault(session, problem);
        return paramErr;
    }
    copySamples(session, request);
    return noErr;
}

void beginTransfer(HostSession *session, HostImage *image, Transfer direction) {
    session->image = image;
    session->transfer = direction;
    session->rowsMoved = 0;
    session->cancelled = false;
    session->delivered.assign(direction == Transfer::reading
                                  ? static_cast<size_t>(image->rows) * static_cast<size_t>(image->planes)
                                  : 0,
                              0);
}

void endTransfer(HostSession *session) {
    session->transfer = Transfer::none;
    session->image = nullptr;
}

bool everyRowDelivered(const HostSession &session) {
    return std::all_of(session.delivered.begin(), session.delivered.end(), [](uint8_t row) { return row != 0; });
}

void finishProgress(HostSession *session) {
    if (session->progressShown >= 0 && session->progressBar)
        writeStandardError(session->moduleOutput, "\r" + std::string(60, ' ') + "\r");
    session->progressShown = -1;
}

void showModuleText(HostSession *session, const std::string &text) {
    if (session->holdModuleText) {
        session->heldModuleText += text;
        return;
    }
    writeStandardError(session->moduleOutput, localeTextFromCp1252(text));
}

void releaseModuleText(HostSession *session) {
    std::string text;
    text.swap(session->heldModuleText);
    writeStandardError(session->moduleOutput, localeTextFromCp1252(text));
}
