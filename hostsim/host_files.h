// The host's own file work: opening the files it hands the module, safe replacement of an
// output through a temporary file, whole-file reads and writes, and a few facts about the
// system. The only part of the host stand-in besides module loading that talks to the OS.
#pragma once

#include <cstdint>
#include <string>

#include "hostsim/status.h"

// A file handle as the module receives it in dataFork: a descriptor on posix, an HFILE
// (usable with _llseek/_lread/_lwrite) on Windows.
using HostFile = intptr_t;
constexpr HostFile noHostFile = -1;

// Opens `path` for reading. exitHostIo with the system's reason when it cannot.
Status openForReading(const std::string &path, HostFile *file);

// Moves the file position back to the first byte; false when the system refused.
bool rewindFile(HostFile file);

// Closes `file`; false when the system reported an error (data may not be on disk).
bool closeFile(HostFile file);

// A temporary file in the folder of `target`, open for reading and writing, empty. The
// rename in commitTemporary then never crosses file systems.
Status createTemporaryBeside(const std::string &target, std::string *temporaryPath, HostFile *file);

// Flushes and closes `file`, then renames `temporaryPath` over `target`. On any failure the
// temporary file is removed and `target` is left as it was.
Status commitTemporary(HostFile file, const std::string &temporaryPath, const std::string &target);

// Closes `file` (if open) and removes `temporaryPath`; `target` is never touched.
void discardTemporary(HostFile file, const std::string &temporaryPath);

// Free bytes for an unprivileged user in the folder that holds `path`; false when unknown.
bool freeSpaceBeside(const std::string &path, uint64_t *bytes);

// The whole of `path`; exitHostIo when it cannot be read or is larger than `limit` bytes.
Status readWholeFile(const std::string &path, uint64_t limit, Bytes *contents);

// The first `count` bytes of `path` (all of it when shorter); exitHostIo when it cannot be read.
Status readFileStart(const std::string &path, size_t count, Bytes *contents);

// The system's folder for temporary files.
std::string temporaryFolder();

// Writes `size` bytes as the file `path`, through a temporary file and a rename.
Status writeWholeFile(const std::string &path, const uint8_t *bytes, size_t size);

// Size of `path` in bytes, or -1 when it does not exist or cannot be examined.
int64_t fileSize(const std::string &path);

// Creates the folder `path` if it is not there yet; exitHostIo when that fails.
Status ensureFolder(const std::string &path);

// The folder the running program is in ("" when unknown), and the separator for paths.
std::string programFolder();
std::string joinPath(const std::string &folder, const std::string &name);

// Whether standard error is a terminal (the progress bar is drawn only then).
bool standardErrorIsTerminal();

// Seconds on a monotonic clock, for the demo's timings.
double monotonicSeconds();

// The extension of `path` without its dot, in lower case ("" when none).
std::string lowerExtension(const std::string &path);
