// placeholder until the FITS reader lands
#include "fits/fits.h"
void doFilterFile(PluginGlobals *) {}
void doReadPrepare(PluginGlobals *) {}
void doReadStart(PluginGlobals *) {}
void doReadContinue(PluginGlobals *) {}
void doEstimateStart(PluginGlobals *) {}
void doWriteStart(PluginGlobals *) {}
