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

// The file's absolute path in UTF-16, as a host names the file it reads
// (fileSpec2); empty when it cannot be made.
std::u16string hostFileNamePath(const std::string &path);

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

// Where an output's bytes go. A regular file, or a name not taken yet, is written through a
// temporary file beside it that replaces it only when everything succeeded. A device or a
// FIFO that exists is written directly: renaming over it would put a regular file in its
// place. A symbolic link stands for the file it leads to, so the link stays as it is.
// An output that cannot seek (a FIFO) is given the module as an unnamed spool file and copied
// out on success: the module goes back to the header to write its checksums, which a pipe
// would take as more bytes.
struct OutputFile {
    std::string target;    // the file written: the output, or where its links lead
    bool direct = false;   // written in place, without a temporary file beside it
    std::string temporary; // the temporary file while one is open
    HostFile file = noHostFile; // what the module writes into
    HostFile sink = noHostFile; // the output itself while `file` is a spool for it
};

// Follows `path` through its symbolic links and decides how it is written. exitHostIo for a
// folder, or links that go round in circles; nothing is opened yet.
Status resolveOutput(const std::string &path, OutputFile *output);

// Opens the resolved output: creates the temporary file beside the target, or opens the
// device or FIFO for writing (which waits for a reader, as any writer to a FIFO does).
Status openOutput(OutputFile *output);

// Through a temporary file: flushes it to disk and renames it over the target. Directly:
// closes the file. On failure the temporary file is removed and the target left as it was.
Status commitOutput(OutputFile *output);

// Closes the output; a temporary file is removed, the target is not touched.
void discardOutput(OutputFile *output);

// Free bytes for an unprivileged user in the folder that holds `path`; false when unknown.
bool freeSpaceBeside(const std::string &path, uint64_t *bytes);

// The whole of `path`; exitHostIo when it cannot be read or is larger than `limit` bytes.
Status readWholeFile(const std::string &path, uint64_t limit, Bytes *contents);

// The system's folder for temporary files.
std::string temporaryFolder();

// Writes `size` bytes as the file `path`, as resolveOutput decides: through a temporary file
// and a rename, or directly into a device or FIFO.
Status writeWholeFile(const std::string &path, const uint8_t *bytes, size_t size);

// Size of `path` in bytes, or -1 when it does not exist or cannot be examined.
int64_t fileSize(const std::string &path);

// Creates the folder `path` if it is not there yet; exitHostIo when that fails.
Status ensureFolder(const std::string &path);

// The folder the running program is in ("" when unknown), and the separator for paths.
std::string programFolder();
std::string joinPath(const std::string &folder, const std::string &name);

// What the module writes on standard error during a call. The posix module shows its message
// boxes there; the host catches that text to hold it (--quiet) or to print it converted for
// a terminal. A Windows module shows real message boxes, so nothing is caught there.
struct ModuleOutput {
    intptr_t held = -1;          // the file that stands in for standard error during a call
    intptr_t standardError = -1; // the host's own standard error, kept while the module's is caught
    int64_t taken = 0;           // bytes of the held file already handed on
    bool catching = false;
};

// Prepares the catch; nothing is caught later where the platform has none or no temporary
// file can be made. A sanitizer's report goes to the host's own standard error.
void openModuleOutput(ModuleOutput *output);
void closeModuleOutput(ModuleOutput *output);

// Standard error goes to the held file from startCatching to stopCatching, which returns
// what was written in between. Both do nothing on an output that openModuleOutput refused.
void startCatching(ModuleOutput *output);
std::string stopCatching(ModuleOutput *output);

// Writes `text` on the host's own standard error, also while the module's is caught.
void writeStandardError(const ModuleOutput &output, const std::string &text);

// Asks the system to back a large block (an image) with large pages where it can: the first
// write to each small page otherwise costs a fault, a good part of a large convert's time.
void adviseLargeBlock(void *block, size_t size);

// Whether standard error is a terminal (the progress bar is drawn only then).
bool standardErrorIsTerminal();

// Seconds on a monotonic clock, for the demo's timings.
double monotonicSeconds();

// The extension of `path` without its dot, in lower case ("" when none).
std::string lowerExtension(const std::string &path);
