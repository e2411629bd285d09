// The commands of korvalis-host, each a host session's worth of work with one outcome.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "hostsim/host_session.h"
#include "hostsim/module_loader.h"
#include "hostsim/preview.h"
#include "hostsim/sequences.h"
#include "hostsim/status.h"

struct HostOptions {
    std::string modulePath;      // empty: the module beside the program
    bool quiet = false;          // no progress bar, no notices (the module's held, shown if it fails)
    int64_t cancelAfterRows = -1; // as if the user pressed Esc after this many rows
    uint32_t hostScale = fullRangeLargest; // the largest 16-bit sample: 65535, or 32768 as the editors
    Stretch stretch = defaultStretch; // of preview
};

// A document the host holds: its image, and the module's record of it (revertInfo), which the
// host hands back for every save of the document and disposes of when it closes it.
struct HostDocument {
    HostImage image;
    Handle revertInfo = nullptr; // null for a document the module made no record of
    std::string source;          // the file it was made from
    bool open = false;
};

struct HostContext {
    HostOptions options;
    LoadedModule module;
    HostSession session;
    // Numbered from 1 in the order they were made; a closed document keeps its place.
    std::deque<HostDocument> documents;
};

// Loads the module named in the options and starts the session.
Status startHost(HostContext *context);

// Starts the session on a module already in `context->module` (a linked one, in tests).
void startSession(HostContext *context);

// Closes every document and unloads the module; the session's leftovers are freed first.
// Module text still held is dropped: releaseModuleText(&context->session) first to show it.
void stopHost(HostContext *context);

// A new document from the FITS file `path`, opened through the module (revertInfo null, then
// the record the module left); the document in `*made`.
Status openFitsDocument(HostContext *context, const std::string &path, HostDocument **made);

// A new document from a PNG, PGM or PPM image, with no record of the module's; its 16-bit
// samples brought to the session's scale, as an editor reads such a file.
Status newImageDocument(HostContext *context, const std::string &path, HostDocument **made);

// Saves the document through the module as the FITS file `out`, handing it its revertInfo.
Status saveFitsDocument(HostContext *context, HostDocument *document, const std::string &out);

// Writes the document as a PNG, PGM or PPM image (one grey file per plane for a
// multichannel one), its 16-bit samples on 0 … 65535 whatever the session's scale.
Status exportDocument(HostContext *context, const HostDocument &document, const std::string &out);

// Closes the document: its image is freed and its revertInfo disposed of through the host's
// handle services.
void closeDocument(HostContext *context, HostDocument *document);

// The document of that number (from 1), or null when there is none or it is closed.
HostDocument *findDocument(HostContext *context, size_t number);

// open IN OUT: IN through the module, the image written as OUT (.png, .pgm or .ppm); 16-bit
// samples go out on 0 … 65535 whatever the session's scale.
Status commandOpen(HostContext *context, const std::string &in, const std::string &out);

// save IN OUT: a PNG, PGM or PPM image saved through the module as the FITS file OUT; its
// 16-bit samples are brought to the session's scale first, as an editor reads such a file.
Status commandSave(HostContext *context, const std::string &in, const std::string &out);

// preview IN OUT: IN through the module, written as an 8-bit picture for looking at, through
// the display stretch of the options (.png, .pgm or .ppm).
Status commandPreview(HostContext *context, const std::string &in, const std::string &out);

// convert IN OUT: IN opened and saved again as OUT in one session, so the header is kept.
Status commandConvert(HostContext *context, const std::string &in, const std::string &out);

// info IN: the geometry the module reports, the kind of samples and the mapping into 16 bits,
// and the session's 16-bit scale, as lines of text in `report`.
Status commandInfo(HostContext *context, const std::string &in, std::string *report);

// about: the module's About box.
Status commandAbout(HostContext *context);

// module: the parsed property list and terminology; `report` is filled even when the
// terminology is malformed (its problem is then part of the report).
Status commandModule(HostContext *context, std::string *report);

// demo DIR: the star field round trip; `table` receives the table of what was done.
Status commandDemo(HostContext *context, const std::string &folder, std::string *table);

// A step of the session command, as parseSessionSteps read it.
struct SessionStep {
    enum class Kind : uint8_t { open, newImage, save, exportImage, close } kind;
    std::string text;    // the step as given, for messages
    std::string path;    // the file the step reads or writes
    size_t document = 0; // the document it works on, from 1 (save, export, close)
};

// Reads the steps of `session STEP...`: open:FITS, new:IMAGE, save:N:OUT, export:N:OUT and
// close:N. Every step is checked before any runs: its kind, its file's type, and that
// document N has been made by an earlier step and not closed; exitUsage names the step that
// is wrong and why.
Status parseSessionSteps(const std::vector<std::string> &words, std::vector<SessionStep> *steps);

// session: the steps in order in this one host session; the first that fails ends the run,
// with its own exit status and a message that names the step.
Status commandSession(HostContext *context, const std::vector<SessionStep> &steps);

// A line on standard error unless the options ask for quiet.
void notice(const HostContext &context, const std::string &text);
