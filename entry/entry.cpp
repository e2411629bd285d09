// ENTRYPOINT: the session block, the working copy and the dispatch of selectors.
#include "entry/entry.h"

#include <cstring>

#include "fits/fits.h"
#include "host/services.h"
#include "ui/alerts.h"

LocalHandle *newLocalHandle(int32_t size) {
    auto *handle = static_cast<LocalHandle *>(platformNewFixedBlock(sizeof(LocalHandle)));
    if (handle == nullptr)
        return nullptr;
    handle->block = platformNewFixedBlock(static_cast<size_t>(size));
    if (handle->block == nullptr) {
        platformDisposeFixedBlock(handle);
        return nullptr;
    }
    std::memcpy(handle->tag, "OTOF", sizeof handle->tag);
    return handle;
}

bool recordResult(PluginGlobals *globals, int16_t code) {
    if (code == noErr)
        return true;
    if (globals->result == noErr)
        globals->result = code;
    return false;
}

bool recordCancel(PluginGlobals *globals, bool cancelled) {
    return recordResult(globals, cancelled ? userCanceledErr : noErr);
}

bool refuse(PluginGlobals *globals, const char *caption, const char *text, int16_t code) {
    platformMessageBox(0, text, caption, platformBoxOk);
    return recordResult(globals, code);
}

void doOptionsPrepare(PluginGlobals *globals) { globals->formatRecord->maxData = 0; }

void doWritePrepare(PluginGlobals *globals) { globals->formatRecord->maxData = 0; }

static void doNothing(PluginGlobals *) {}

static void doAbout(PluginGlobals *globals) {
    showAboutBox(reinterpret_cast<const AboutRecord *>(globals->formatRecord), moduleInstance, aboutTextID);
}

using Handler = void (*)(PluginGlobals *);

// Indexed by selector.
static const Handler handlers[] = {
    doAbout,          doReadPrepare,   doReadStart, doReadContinue, doNothing,      doOptionsPrepare,
    doOptionsStart,   doNothing,       doNothing,   doNothing,      doEstimateStart, doNothing,
    doNothing,        doWritePrepare,  doWriteStart, doNothing,     doNothing,      doFilterFile,
};
static_assert(sizeof handlers / sizeof handlers[0] == formatSelectorFilterFile + 1);

static void dispatch(int16_t selector, PluginGlobals *globals) {
    if (selector < formatSelectorAbout || selector > formatSelectorFilterFile) {
        globals->result = formatBadParameters;
        return;
    }
    handlers[selector](globals);
}

// Copies the call's block back, unless another call changed the session while this one ran:
// a host may open a file while a save runs in the background. The session that call left
// then stands, and this call's changes to it (a save bringing the retained header up to
// date) are given up with the header memory taken for them. The long header a committed call
// replaced is released here, once, so two calls never both release it.
static void commitSession(void *block, const PluginGlobals &entered, const PluginGlobals &working) {
    const bool replaced = working.longHeader != entered.longHeader;
    if (std::memcmp(block, &entered, sizeof entered) != 0) {
        if (replaced)
            platformDisposeFixedBlock(working.longHeader);
        return;
    }
    if (replaced)
        platformDisposeFixedBlock(entered.longHeader);
    std::memcpy(block, &working, sizeof working);
}

extern "C" void ENTRYPOINT(int16_t selector, void *record, intptr_t *data, int16_t *result) {
    // The block is large (it holds the retained header) but lives on the stack, with the
    // block as the call found it: after the first call the entry allocates nothing.
    PluginGlobals working;
    if (*data == 0) {
        std::memset(&working, 0, sizeof working);
        LocalHandle *session = newLocalHandle(sizeof(PluginGlobals));
        *data = reinterpret_cast<intptr_t>(session);
        if (session == nullptr) {
            *result = memFullErr;
            return;
        }
        std::memcpy(session->block, &working, sizeof working);
    }
    auto *session = reinterpret_cast<LocalHandle *>(*data);
    PluginGlobals entered;
    std::memcpy(&entered, session->block, sizeof entered);
    working = entered;
    working.formatRecord = static_cast<FormatRecord *>(record);
    working.result = noErr;
    working.enteredLongHeader = entered.longHeader;
    dispatch(selector, &working);
    *result = working.result;
    commitSession(session->block, entered, working);
}
