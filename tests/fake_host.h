// An in-process fake host for unit tests: a FormatRecord whose callbacks record every call,
// hold a host image for rows to land in or come from, and fail on demand.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "host/host_records.h"

struct AdvanceCall {
    Rect rect;
    int16_t loPlane, hiPlane, colBytes;
    int32_t rowBytes, planeBytes;
    void *data;
    std::vector<uint8_t> row; // bytes of the row as the host saw (read) or gave (write) them
};

struct FakeHost {
    FormatRecord record{};
    BufferProcs bufferProcs{};
    HandleProcs handleProcs{};
    PlatformData platformData{};
    AboutRecord about{};
    intptr_t dataSlot = 0;

    // Host image: planes × rows × (columns × bytes per sample), filled by reads, read by writes.
    std::vector<uint8_t> image;
    bool writing = false;

    std::vector<AdvanceCall> advanceCalls;
    std::vector<std::pair<int32_t, int32_t>> progressCalls;
    int advanceFailCall = 0; // this call (from 1) returns advanceFailCode
    OSErr advanceFailCode = userCanceledErr;
    OSErr allocateResult = noErr; // a non-zero code is returned and no buffer is made
    bool lockGivesNull = false;   // lockProc answers null for a buffer it did allocate
    int allocateCalls = 0, lockCalls = 0, freeCalls = 0, liveBuffers = 0;
    std::vector<int32_t> allocateSizes;
    int disposeCalls = 0;
    int liveHandles = 0;         // handles made by newProc and not yet disposed
    bool failNewHandle = false;  // newProc answers null
    // Runs at the next advance, as a call on another thread runs while the module waits on the
    // host (an open while a save runs in the background); the waiting call's record is kept.
    void (*duringAdvance)() = nullptr;
};

// The fake host's own signature ('Ktst'): a host that keeps 16-bit samples on 0 … 65535.
// editorSignature ('8BIM') makes it an editor, whose 16-bit samples run 0 … 32768.
constexpr OSType fakeHostSignature = 0x4B747374u;
constexpr OSType editorSignature = 0x3842494Du;

// The fake host the callbacks reach; set up by resetFakeHost.
extern FakeHost fakeHost;

// A fresh host with every service present and usable, dataFork set to `file`.
void resetFakeHost(intptr_t file = 1);

// Closes the document: disposes of the record the module left in revertInfo and clears the
// field, so that the next save is one of a new document.
void closeFakeDocument();

// Sets the image geometry the way a host does before a save, and the host image's contents.
void setHostImage(int16_t rows, int16_t columns, int16_t depth, int16_t planes, const std::vector<uint8_t> &pixels);

// Calls ENTRYPOINT with the fake host's record (its About record for the About selector)
// and data slot; returns the result slot.
int16_t callModule(int16_t selector);
