// One host session: the records and services a host gives a format module, and the rows
// that change hands through advanceState. One process is one session, so the module's data
// slot (and with it the header it retains) lives as long as the session does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_records.h"
#include "hostsim/host_files.h"
#include "hostsim/host_image.h"
#include "hostsim/property_list.h"

// A buffer handed out by the buffer services; its address is the BufferID.
struct HostBuffer {
    uint8_t *bytes;
    int64_t size;
    int32_t locks;
};

// A handle of the handle services: the master pointer comes first, so the address of the
// record is the Handle itself.
struct HostHandle {
    char *pointer;
    int32_t size;
    int32_t locks;
};

enum class Transfer : uint8_t { none, reading, writing };

// The signatures the host signs its records with: its own, as a full-range host, and that of
// the editor the interface comes from, whose 16-bit samples run 0 … 32768.
constexpr OSType ownSignature = fourCharCode("KRVH");
constexpr OSType editorSignature = fourCharCode("8BIM");

struct HostSession {
    PluginEntry entry = nullptr;
    const ModuleInfo *info = nullptr; // the module's property list; null to skip its limits
    std::string moduleName;           // the module's file, for messages
    intptr_t dataSlot = 0;            // the module's slot, kept for the whole session
    FormatRecord *record = nullptr;   // the record of the operation under way
    // The file being read, as the record's fileSpec2 names it during a read.
    std::u16string readPath;
    HostFileName readName{};
    AboutRecord about{};
    BufferProcs bufferProcs{};
    HandleProcs handleProcs{};
    PlatformData platformData{};
    std::vector<HostBuffer *> buffers;
    std::vector<HostHandle *> handles;
    // Handles the host keeps with its documents (the module's revertInfo), which outlive the
    // operation that made them; reclaimModuleMemory spares them.
    std::vector<Handle> heldHandles;
    // What became of the handles: made by newProc, disposed through disposeProc (by the
    // module, or by the host closing a document), and left behind, freed by the host itself
    // because nobody disposed of them.
    int64_t handlesMade = 0, handlesDisposed = 0, handlesLeftBehind = 0;
    uint64_t bufferBytesLimit = uint64_t{1} << 30; // what the host grants its buffers in all
    uint64_t bufferBytesInUse = 0;
    int64_t allocations = 0;
    int64_t failAllocationAt = 0; // the Nth allocation (from 1) reports memFullErr; 0 never

    HostImage *image = nullptr; // the document rows move to (reading) or from (writing)
    Transfer transfer = Transfer::none;
    std::vector<uint8_t> delivered; // per plane and row while reading: 1 once the row arrived
    int64_t rowsMoved = 0;
    int64_t cancelAfterRows = -1; // as if the user pressed Esc once this many rows moved
    bool cancelled = false;
    std::string fault; // the first request of the module the host refused, and why

    // The host's 16-bit scale and the signature that goes with it: a full-range host of its
    // own ('KRVH', samples 0 … 65535) or one that presents itself as an editor ('8BIM',
    // samples 0 … 32768). setHostScale sets both.
    OSType signature = ownSignature;
    uint32_t largestSample = fullRangeLargest;
    // What the module says on standard error (posix) while it is caught: held for later, or
    // printed after each call, in the locale's character set wherever standard error goes.
    ModuleOutput moduleOutput;
    bool holdModuleText = false;
    std::string heldModuleText;

    bool progressBar = false; // draw progress on standard error
    int32_t progressShown = -1;
    int32_t serialNumber = 0;
    // What data points at before a Start, so that only a module that sets it to null skips
    // the Continue calls, as the protocol has it.
    uint8_t startScratch[16] = {};
};

// Prepares `session` for `entry`: service records filled, data slot 0 (a slot the session
// held before is retired first).
void initSession(HostSession *session, PluginEntry entry, const ModuleInfo *info);

// Makes the session a host whose 16-bit samples run 0 … largest: fullRangeLargest (its own
// signature) or editorScaleLargest (signature '8BIM', as the editors). initSession starts
// full-range.
void setHostScale(HostSession *session, uint32_t largest);

// Ends the session's hold on its data slot. The module never frees the block behind it, and a
// host keeps the slot for the life of the process, so the value is kept until exit.
void retireSession(HostSession *session);

// Frees every buffer the module left behind and every handle no document holds; returns how
// many there were. Those handles count as left behind.
int32_t reclaimModuleMemory(HostSession *session);

// The end of the session, once the documents are closed: every handle still live, held or
// not, is left behind and freed, as is every buffer.
void endSessionMemory(HostSession *session);

// Whether `handle` is a live handle from the session's handle services.
bool handleIsLive(const HostSession &session, Handle handle);

// The host keeps `handle` with a document, past the operation that made it. False (and
// nothing kept) when it is no live handle of the session's.
bool holdHandle(HostSession *session, Handle handle);

// The host no longer keeps `handle`; it is not disposed of.
void dropHandle(HostSession *session, Handle handle);

// Disposes of a handle the host kept, through its own handle services, as a host disposes of
// a document's revertInfo when it closes the document.
void disposeHeldHandle(HostSession *session, Handle handle);

// "handles: 4 made, 4 disposed, 0 left behind".
std::string handleTally(const HostSession &session);

// A fresh zero-filled FormatRecord of the newest published size with the host's fields set
// (serial number, hostSig of the session's scale, callbacks, services, plane map, resolution, maxData); null when
// memory ran out. endOperation frees it.
FormatRecord *beginOperation(HostSession *session);
void endOperation(HostSession *session);

// One call of the module's entry point with this session's data slot; returns the result.
// What the module writes on standard error meanwhile is handed to showModuleText when the
// session catches it.
int16_t callModule(HostSession *session, int16_t selector, void *record);

// What advanceState does: while reading, copies the rows the record describes from `data`
// into the image; while writing, fills `data` from the image. Every rectangle, plane range,
// step and buffer extent is checked first; a request the host refuses gives paramErr and
// leaves its reason in `fault`.
OSErr moveRows(HostSession *session);

// Starts a transfer of `image` in `direction`, counting rows from zero.
void beginTransfer(HostSession *session, HostImage *image, Transfer direction);
void endTransfer(HostSession *session);

// Whether every row of every plane arrived while reading.
bool everyRowDelivered(const HostSession &session);

// Text the module wrote: held when the session holds it, else printed on standard error, in
// the locale's character set (a terminal, a file or a pipe alike).
void showModuleText(HostSession *session, const std::string &text);

// Prints what was held and forgets it.
void releaseModuleText(HostSession *session);

// Clears the progress bar line if one was drawn.
void finishProgress(HostSession *session);
