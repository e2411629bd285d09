// An in-memory platform for unit tests: files keyed by their dataFork value, injectable
// short transfers and failures, allocation failures on demand, a record of every message box.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeFile {
    std::vector<uint8_t> bytes;
    int64_t position = 0;
    // Reads and writes are numbered from 1 for each file. A call whose number is failReadCall
    // (failWriteCall) fails with -1; one numbered shortReadCall (shortWriteCall) moves only
    // shortBy fewer bytes (at least 0).
    int readCalls = 0;
    int writeCalls = 0;
    int failReadCall = 0;
    int failWriteCall = 0;
    int shortReadCall = 0;
    int shortWriteCall = 0;
    int32_t shortBy = 1;
    // Writes past this size are cut short, as on a full disk; negative means unlimited.
    int64_t capacity = -1;
    std::vector<uint16_t> readCounts; // the count of every read asked for
    std::vector<uint16_t> writeCounts;
};

struct FakeMessageBox {
    PlatformWindow owner;
    std::string text;
    bool hasCaption;
    std::string caption;
    uint32_t style;
};

// A notice stands apart from its caption, so it reads as a sentence of its own: a capital
// first letter and a full stop at the end.
inline bool readsAsSentence(const std::string &text) {
    return !text.empty() && text.front() >= 'A' && text.front() <= 'Z' && text.back() == '.';
}

struct FakeAllocation {
    int fixedBlocks = 0;   // live blocks from platformNewFixedBlock
    int heapBlocks = 0;    // live blocks from platformHeapAlloc
    int fixedCalls = 0;    // calls so far
    int heapCalls = 0;
    int failFixedCall = 0; // the call with this number (from 1) fails; 0 never
    int failHeapCall = 0;
    bool failAllFixed = false;
};

// A file the module opens itself by path (the source of a save that carries other HDUs over).
struct FakeSource {
    std::vector<uint8_t> bytes;
    int64_t modified = 1;
};

struct FakePlatform {
    std::map<PlatformFile, FakeFile> files;
    std::map<std::string, FakeSource> sources;     // by path (ASCII)
    std::map<PlatformFile, std::string> openSources; // handles the module holds
    std::vector<FakeMessageBox> boxes;
    FakeAllocation memory;
    std::map<uint32_t, std::string> stringOverrides; // replaces entries of the string table
    int seekCalls = 0;
};

// The one fake platform the module's calls reach. Reset between tests.
extern FakePlatform fakePlatform;

void resetFakePlatform();
// Adds a file with the given contents under `handle` and returns that handle.
PlatformFile addFakeFile(PlatformFile handle, const std::vector<uint8_t> &bytes);
