// Handlers of the selectors that read and write FITS files.
#pragma once

#include "entry/globals.h"

// Tells whether the file starts with a SIMPLE card; formatCannotRead when not.
void doFilterFile(PluginGlobals *globals);
// Warns that a retained header is about to be replaced.
void doReadPrepare(PluginGlobals *globals);
// Reads and checks the header, retains it and reports the image's geometry.
void doReadStart(PluginGlobals *globals);
// Hands every row of the image to the host.
void doReadContinue(PluginGlobals *globals);
// Reports the exact size of the file that a save will write.
void doEstimateStart(PluginGlobals *globals);
// Writes the header and every row of the image.
void doWriteStart(PluginGlobals *globals);
