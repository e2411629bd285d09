// A lean in-process host for timing the module: the selector sequences of an open and a save,
// buffer and handle services that count what the module holds, and an advanceState that moves
// each row with one memcpy between the module's buffer and an image the caller owns, so that
// the host's own work is what a fast host does and no more.
#pragma once

#include <cstdint>
#include <string>

#include "host/host_records.h"

// The host's document: planar, rows of columns × depth / 8 bytes, 16-bit samples in the
// machine's order. The caller allocates the pixels, so that every method of the benchmark
// fills the same, already touched memory.
struct BenchImage {
    int32_t rows = 0, columns = 0;
    int16_t depth = 0, planes = 1;
    uint8_t *pixels = nullptr;
};

inline int64_t imageRowBytes(const BenchImage &image) { return int64_t{image.columns} * (image.depth / 8); }
inline int64_t imageBytes(const BenchImage &image) { return imageRowBytes(image) * image.rows * image.planes; }

// What the host saw of one operation.
struct HostCounts {
    int64_t advanceCalls = 0, progressCalls = 0;
    int64_t bufferBytesPeak = 0; // largest sum of live buffers from the buffer services
    int64_t bufferAllocations = 0;
    int64_t handleBytesPeak = 0;
};

// Opens `path` through `entry` into `image`, whose geometry must match the file's:
// FilterFile, ReadPrepare, ReadStart, ReadContinue while data is set, ReadFinish. A fresh
// session each time, freed afterwards, so that no earlier header is retained. An empty
// string on success, otherwise what went wrong. With headerOnly, ReadContinue is left out:
// the cost of recognising the file and reading its header.
std::string openThroughModule(PluginEntry entry, const char *path, BenchImage *image, HostCounts *counts,
                              bool headerOnly = false);

// Saves `image` as `path` (created anew) through `entry`: Options, Estimate and Write
// Prepare/Start/Continue/Finish, in a fresh session. An empty string on success.
std::string saveThroughModule(PluginEntry entry, const BenchImage &image, const char *path, HostCounts *counts);
