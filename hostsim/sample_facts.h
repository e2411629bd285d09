// What `info` says of an image's samples: the kind the file stores, read from its own header,
// and for the kinds the module maps into 16 bits, the mapping as the module keeps it.
#pragma once

#include <string>

#include "hostsim/hdu_walk.h"
#include "hostsim/host_session.h"
#include "hostsim/sequences.h"
#include "hostsim/status.h"

// The module's geometry (as openDocument gives it without an image) and, in `lines`, lines on the samples:
// their kind and scaling, from the header of the image's HDU (`source`, or none when the host
// could not find it); the mapping (physical range, zero, step) and the blanks. For 32/64-bit
// and floating-point samples, and 16-bit ones other than BZERO 32768 / BSCALE 1, the image is
// opened through the module as a document of its own and saved again with that document's
// revertInfo, in the same session, into a temporary file: the BZERO, BSCALE and BLANK the
// module writes there are the mapping it keeps (physical = BZERO + BSCALE × (host − 32768),
// host 0 a blank under BLANK -32768). The document is closed before this returns.
Status describeSamples(HostSession *session, const std::string &path, const ImageSource *source, ImageFacts *facts,
                       std::string *lines);
