// The commands of korvalis-host, each a host session's worth of work with one outcome.
#pragma once

#include <cstdint>
#include <string>

#include "hostsim/host_session.h"
#include "hostsim/module_loader.h"
#include "hostsim/preview.h"
#include "hostsim/status.h"

struct HostOptions {
    std::string modulePath;      // empty: the module beside the program
    bool quiet = false;          // no progress bar, no notices (the module's held, shown if it fails)
    int64_t cancelAfterRows = -1; // as if the user pressed Esc after this many rows
    uint32_t hostScale = fullRangeLargest; // the largest 16-bit sample: 65535, or 32768 as the editors
    Stretch stretch = defaultStretch; // of preview
};

struct HostContext {
    HostOptions options;
    LoadedModule module;
    HostSession session;
};

// Loads the module named in the options and starts the session.
Status startHost(HostContext *context);

// Starts the session on a module already in `context->module` (a linked one, in tests).
void startSession(HostContext *context);

// Unloads the module; the session's leftovers are freed first. Module text still held is
// dropped: releaseModuleText(&context->session) first to show it.
void stopHost(HostContext *context);

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

// A line on standard error unless the options ask for quiet.
void notice(const HostContext &context, const std::string &text);
