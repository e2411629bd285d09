// The selector sequences of a real host: open (FilterFile, then Read), save (Options,
// Estimate, Write into a temporary file that replaces the output only on success), the
// geometry-only open behind `info`, and About.
#pragma once

#include <string>

#include "hostsim/host_image.h"
#include "hostsim/host_session.h"
#include "hostsim/status.h"

// The geometry the module reported in ReadStart.
struct ImageFacts {
    int32_t rows = 0, columns = 0;
    int16_t depth = 0, planes = 0, mode = 0;
    int32_t maxValue = 0; // the largest 16-bit sample the module said it hands over; 0 unsaid
};

// FilterFile alone: ok when the module says it reads `path`.
Status filterFile(HostSession *session, const std::string &path);

// revertInfo: the module's record of a document, a handle it makes with the host's handle
// services and the host keeps with that document. Every selector of a document's open or save
// finds the document's handle in the record (null for a new document). When an open or save
// ends, the document keeps whatever handle the module left there, and the session holds it
// until disposeHeldHandle. A handle the module replaced is no longer the document's: one it
// did not dispose of is left behind and freed with the operation's leftovers. A caller that
// keeps no document passes null, and whatever the module left there is disposed of at once.

// Opens `path` through the module into `image`: FilterFile, ReadPrepare, ReadStart,
// ReadContinue while the module leaves data set (bounded), and ReadFinish whenever ReadStart
// succeeded. 16-bit samples arrive on 0 … maxValue as the module reports it and are brought to
// the session's own scale; when the module leaves maxValue at 0 they are taken as they come.
// Fails (exitModuleFailed) on any non-zero result, on a geometry or maxValue the host cannot
// take, on a row request the host refuses, on a revertInfo that is no handle of the host's,
// or when not every row arrived. `revertInfo` in: null for a new document, the document's
// handle to read it again; out: the document's handle after the read. A new document whose
// open failed is not made, and the handle the module left is disposed of. With `image` null,
// the geometry without the pixels: FilterFile, ReadPrepare, ReadStart and ReadFinish.
Status openDocument(HostSession *session, const std::string &path, HostImage *image, ImageFacts *facts,
                    Handle *revertInfo = nullptr);

// Saves `image` through the module as `path`. The module writes into a temporary file in the
// same folder, renamed over `path` only when every selector succeeded and every row was
// taken; otherwise the temporary file is removed and an existing `path` is left untouched.
// A symbolic link is saved to through its target; a device or FIFO is written directly, and
// a folder refused (resolveOutput). `revertInfo` is the document's handle (see above), null
// for a document that has none.
Status saveDocument(HostSession *session, HostImage *image, const std::string &path, Handle *revertInfo = nullptr);

// The About selector, with the host's About record.
Status showAbout(HostSession *session);

// "ReadStart" for formatSelectorReadStart, and so on.
const char *selectorName(int16_t selector);

// "Grayscale" for plugInModeGrayScale, and so on.
const char *imageModeName(int16_t mode);
