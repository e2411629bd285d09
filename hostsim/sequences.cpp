// Open, save, info and About, as a host drives a format module.
#include "hostsim/sequences.h"

#include <algorithm>

#include "hostsim/host_files.h"
#include "hostsim/result_names.h"

namespace {

// Options and Estimate need no more Continue calls than this; a module that asks for more
// is going round in circles.
constexpr int32_t maxPhaseContinues = 16;

bool rectIsEmpty(const Rect &rect) { return rect.top >= rect.bottom || rect.left >= rect.right; }

// The one line for a selector that failed: the host's refusal when there was one, a
// cancellation, or the module's result by name and number.
Status moduleFailure(const HostSession &session, const std::string &what, int16_t selector, int16_t result) {
    std::string text = what + " failed in " + selectorName(selector) + ": ";
    if (!session.fault.empty())
        text += "the host refused what the module asked: " + session.fault;
    else if (session.cancelled && result == userCanceledErr)
        text += "cancelled by the user, " + describeResult(result);
    else
        text += describeResult(result);
    return failStatus(exitModuleFailed, text);
}

Status moduleFault(const std::string &what, const std::string &fault) {
    return failStatus(exitModuleFailed, what + ": " + fault);
}

// FilterFile's answer, whether it came alone or began an open.
Status filterResult(const std::string &path, int16_t result) {
    return result == noErr ? okStatus()
                           : failStatus(exitModuleFailed, path + " is not a file the module reads (FilterFile: " +
                                                              describeResult(result) + ")");
}

// What the host itself takes from ReadStart.
Status checkReadGeometry(const HostSession &session, const FormatRecord &record, const std::string &what) {
    const int32_t rows = record.imageSize.v, columns = record.imageSize.h;
    if (rows < 1 || columns < 1)
        return moduleFault(what, "the module reported an image of " + std::to_string(rows) + " rows and " +
                                     std::to_string(columns) + " columns");
    if (record.depth != 8 && record.depth != 16)
        return moduleFault(what, "the module reported a depth of " + std::to_string(record.depth) +
                                     " bits; this host takes 8 or 16");
    if (record.planes < 1 || record.planes > 24)
        return moduleFault(what, "the module reported " + std::to_string(record.planes) + " planes");
    if (record.depth == 16 && (record.maxValue < 0 || record.maxValue > static_cast<int32_t>(fullRangeLargest)))
        return moduleFault(what, "the module reported a maxValue of " + std::to_string(record.maxValue) +
                                     " for 16-bit samples, which run to 65535 at most");
    const ModuleInfo *info = session.info;
    if (info != nullptr && info->hasMaxSize && (rows > info->maxRows || columns > info->maxColumns))
        return moduleFault(what, "the module reported an image larger than its own limit of " +
                                     std::to_string(info->maxRows) + " x " + std::to_string(info->maxColumns));
    return okStatus();
}

// A Finish selector, sent whatever went before: its failure is the outcome only when
// nothing failed earlier.
Status finish(HostSession *session, FormatRecord *record, int16_t selector, const std::string &what, Status status) {
    const int16_t result = callModule(session, selector, record);
    return isOk(status) && result != noErr ? moduleFailure(*session, what, selector, result) : status;
}

ImageFacts factsOf(const FormatRecord &record) {
    const int32_t maxValue = record.depth == 16 ? record.maxValue : 0;
    return ImageFacts{record.imageSize.v, record.imageSize.h, record.depth, record.planes, record.imageMode, maxValue};
}

// ReadContinue while the module leaves data set. Returns the last result.
int16_t continueReading(HostSession *session, FormatRecord *record, int32_t bound) {
    int16_t result = noErr;
    int32_t calls = 0;
    do {
        if (session->cancelled)
            return userCanceledErr; // as after Esc: ReadFinish comes next, not ReadContinue
        result = callModule(session, formatSelectorReadContinue, record);
        ++calls;
    } while (result == noErr && record->data != nullptr && calls < bound);
    if (result == noErr && record->data != nullptr && session->fault.empty())
        session->fault = "the module still asked for ReadContinue after " + std::to_string(calls) + " calls";
    return result == noErr && !session->fault.empty() ? -50 : result;
}

// Rows after a successful ReadStart; ReadFinish is sent whatever happens here.
Status readRows(HostSession *session, FormatRecord *record, HostImage *image, const std::string &what) {
    if (!allocateImage(image, record->imageSize.v, record->imageSize.h, record->depth, record->planes,
                       record->imageMode))
        return failStatus(exitHostIo, what + ": the host has not enough memory for the image");
    beginTransfer(session, image, Transfer::reading);
    int16_t result = record->data != nullptr ? moveRows(session) : noErr; // a first chunk from ReadStart
    int32_t bound = image->rows * image->planes + 2;
    if (result == noErr)
        result = continueReading(session, record, bound);
    endTransfer(session);
    if (result != noErr)
        return moduleFailure(*session, what, formatSelectorReadContinue, result);
    if (!everyRowDelivered(*session))
        return moduleFault(what, "the module reported success but did not hand over every row");
    // maxValue is the module's word on the range of what it handed over; an unsaid range is
    // taken as the host's own.
    if (record->maxValue > 0)
        rescaleImage(image, static_cast<uint32_t>(record->maxValue), session->largestSample);
    return okStatus();
}

Status readSequence(HostSession *session, FormatRecord *record, const std::string &path, HostImage *image,
                    ImageFacts *facts) {
    const std::string what = "opening " + path;
    Status status = filterResult(path, callModule(session, formatSelectorFilterFile, record));
    if (!isOk(status))
        return status;
    if (!rewindFile(static_cast<HostFile>(record->dataFork)))
        return failStatus(exitHostIo, "cannot rewind " + path);
    int16_t result = callModule(session, formatSelectorReadPrepare, record);
    if (result != noErr)
        return moduleFailure(*session, what, formatSelectorReadPrepare, result);
    result = callModule(session, formatSelectorReadStart, record);
    if (result != noErr)
        return moduleFailure(*session, what, formatSelectorReadStart, result);
    *facts = factsOf(*record);
    status = checkReadGeometry(*session, *record, what);
    if (isOk(status) && image != nullptr)
        status = readRows(session, record, image, what);
    return finish(session, record, formatSelectorReadFinish, what, status);
}

// Opens the file for reading and hands it to a fresh record. On failure nothing stays open;
// on success the caller closes the file and ends the record by endKeepingRevertInfo.
Status beginReadingOperation(HostSession *session, const std::string &path, const std::string &verb,
                             HostFile *file, FormatRecord **record) {
    Status status = openForReading(path, file);
    if (!isOk(status))
        return status;
    *record = beginOperation(session);
    if (*record == nullptr) {
        closeFile(*file);
        return failStatus(exitHostIo, verb + " " + path + ": the host has no memory for its record");
    }
    (*record)->dataFork = *file;
    session->readPath = hostFileNamePath(path);
    session->readName.mReference =
        session->readPath.empty() ? nullptr : reinterpret_cast<uint16_t *>(&session->readPath[0]);
    (*record)->fileSpec2 = session->readPath.empty() ? nullptr : &session->readName;
    return okStatus();
}

// Ends the operation under way; what the document keeps of the revertInfo the module left in
// its record (see sequences.h). `made` is false for the open of a new document that failed,
// which leaves no document to keep it.
Status endKeepingRevertInfo(HostSession *session, Handle *kept, bool made, Status status, const std::string &what) {
    const Handle left = session->record->revertInfo;
    endOperation(session);
    const Handle before = kept != nullptr ? *kept : nullptr;
    if (left == before)
        return status;
    if (left != nullptr && !handleIsLive(*session, left)) {
        // Not the host's to keep or to dispose of; the document's own, if the module
        // disposed of it, is gone too.
        if (kept != nullptr && !handleIsLive(*session, before))
            *kept = nullptr;
        return isOk(status) ? moduleFault(what, "the module left in revertInfo a handle the host never gave it")
                            : status;
    }
    if (kept == nullptr || !made) {
        // Nothing keeps it; a handle that belongs to another document is not this one's to dispose of.
        if (left != nullptr &&
            std::find(session->heldHandles.begin(), session->heldHandles.end(), left) == session->heldHandles.end())
            disposeHeldHandle(session, left);
        return status;
    }
    if (before != nullptr)
        dropHandle(session, before);
    if (left != nullptr)
        holdHandle(session, left);
    *kept = left;
    return status;
}

// What the module's property list says it can save.
Status checkModuleTakes(const HostSession &session, const HostImage &image) {
    const ModuleInfo *info = session.info;
    if (info == nullptr)
        return okStatus();
    if (!info->flags.canWrite)
        return failStatus(exitModuleFailed, "the module does not write files");
    std::string why;
    if (!modeEnabled(*info, image.mode, image.depth, &why)) {
        std::string mode = conditionModeName(image.mode, image.depth);
        return failStatus(exitModuleFailed, "the module " + session.moduleName + " is not enabled for " +
                                                (mode.empty() ? imageModeName(image.mode) : mode) + " images: " +
                                                why);
    }
    if (info->hasMaxSize && (image.rows > info->maxRows || image.columns > info->maxColumns))
        return failStatus(exitModuleFailed, "the module saves images of at most " + std::to_string(info->maxRows) +
                                                " rows and " + std::to_string(info->maxColumns) + " columns");
    if (static_cast<size_t>(image.mode) < info->maxChannels.size() &&
        image.planes > info->maxChannels[static_cast<size_t>(image.mode)])
        return failStatus(exitModuleFailed, "the module saves at most " +
                                                std::to_string(info->maxChannels[static_cast<size_t>(image.mode)]) +
                                                " channels in this mode");
    return okStatus();
}

void describeImage(FormatRecord *record, const HostImage &image) {
    record->imageMode = image.mode;
    record->imageSize = Point{static_cast<int16_t>(image.rows), static_cast<int16_t>(image.columns)};
    record->imageSize32 = VPoint{image.rows, image.columns};
    record->depth = image.depth;
    record->planes = image.planes;
}

// Prepare, Start, Continue while data stays set (bounded), Finish when Start succeeded.
Status runPhase(HostSession *session, FormatRecord *record, int16_t prepare, const std::string &what) {
    int16_t result = callModule(session, prepare, record);
    if (result != noErr)
        return moduleFailure(*session, what, prepare, result);
    const auto start = static_cast<int16_t>(prepare + 1);
    record->data = session->startScratch;
    result = callModule(session, start, record);
    if (result != noErr)
        return moduleFailure(*session, what, start, result);
    const auto continuing = static_cast<int16_t>(prepare + 2);
    int32_t calls = 0;
    while (result == noErr && record->data != nullptr && calls < maxPhaseContinues) {
        result = callModule(session, continuing, record);
        ++calls;
    }
    Status status = okStatus();
    if (result != noErr)
        status = moduleFailure(*session, what, continuing, result);
    else if (record->data != nullptr)
        status = moduleFault(what, std::string("the module still asked for ") + selectorName(continuing) + " after " +
                                       std::to_string(calls) + " calls");
    return finish(session, record, static_cast<int16_t>(prepare + 3), what, status);
}

Status checkEstimate(const FormatRecord &record, const OutputFile &output, const std::string &what) {
    if (record.minDataBytes < 0 || record.maxDataBytes < record.minDataBytes)
        return moduleFault(what, "the module's size estimate (" + std::to_string(record.minDataBytes) + " to " +
                                     std::to_string(record.maxDataBytes) + " bytes) is not a range of sizes");
    // A device or FIFO is not a disk the file must fit on.
    uint64_t available = 0;
    if (!output.direct && freeSpaceBeside(output.target, &available) &&
        available < static_cast<uint64_t>(record.minDataBytes))
        return failStatus(exitHostIo, what + ": the module needs " + std::to_string(record.minDataBytes) +
                                          " bytes, but only " + std::to_string(available) + " are free there");
    return okStatus();
}

// WriteContinue while the module asks for rows; the host fills data before each call.
int16_t continueWriting(HostSession *session, FormatRecord *record, int32_t bound) {
    int16_t result = noErr;
    int32_t calls = 0;
    while (result == noErr && record->data != nullptr && !rectIsEmpty(record->theRect)) {
        if (calls == bound) {
            session->fault = "the module still asked for WriteContinue after " + std::to_string(calls) + " calls";
            return -50;
        }
        result = moveRows(session);
        if (result == noErr)
            result = callModule(session, formatSelectorWriteContinue, record);
        ++calls;
    }
    return result;
}

Status writeSequence(HostSession *session, FormatRecord *record, HostImage *image, const std::string &what) {
    int16_t result = callModule(session, formatSelectorWritePrepare, record);
    if (result != noErr)
        return moduleFailure(*session, what, formatSelectorWritePrepare, result);
    record->data = nullptr;
    record->theRect = Rect{0, 0, 0, 0};
    beginTransfer(session, image, Transfer::writing);
    result = callModule(session, formatSelectorWriteStart, record);
    if (result != noErr) {
        endTransfer(session);
        return moduleFailure(*session, what, formatSelectorWriteStart, result);
    }
    result = continueWriting(session, record, image->rows * image->planes + 2);
    int64_t taken = session->rowsMoved;
    endTransfer(session);
    Status status = result != noErr ? moduleFailure(*session, what, formatSelectorWriteContinue, result) : okStatus();
    if (isOk(status) && taken < int64_t{image->rows} * image->planes)
        status = moduleFault(what, "the module reported success but took only " + std::to_string(taken) + " of " +
                                       std::to_string(int64_t{image->rows} * image->planes) + " rows");
    return finish(session, record, formatSelectorWriteFinish, what, status);
}

Status writeOutput(HostSession *session, FormatRecord *record, HostImage *image, OutputFile *output,
                   const std::string &what) {
    Status status = openOutput(output);
    if (!isOk(status))
        return status;
    record->dataFork = output->file;
    status = writeSequence(session, record, image, what);
    record->dataFork = -1;
    if (!isOk(status)) {
        discardOutput(output);
        return status;
    }
    return commitOutput(output);
}

} // namespace

Status filterFile(HostSession *session, const std::string &path) {
    HostFile file = noHostFile;
    FormatRecord *record = nullptr;
    Status status = beginReadingOperation(session, path, "checking", &file, &record);
    if (!isOk(status))
        return status;
    int16_t result = callModule(session, formatSelectorFilterFile, record);
    closeFile(file);
    endKeepingRevertInfo(session, nullptr, false, okStatus(), "checking " + path);
    return filterResult(path, result);
}

Status openDocument(HostSession *session, const std::string &path, HostImage *image, ImageFacts *facts,
                    Handle *revertInfo) {
    HostFile file = noHostFile;
    FormatRecord *record = nullptr;
    Status status = beginReadingOperation(session, path, "opening", &file, &record);
    if (!isOk(status))
        return status;
    const bool reverting = revertInfo != nullptr && *revertInfo != nullptr;
    record->revertInfo = revertInfo != nullptr ? *revertInfo : nullptr;
    status = readSequence(session, record, path, image, facts);
    closeFile(file);
    status = endKeepingRevertInfo(session, revertInfo, isOk(status) || reverting, status, "opening " + path);
    reclaimModuleMemory(session);
    return status;
}

Status saveDocument(HostSession *session, HostImage *image, const std::string &path, Handle *revertInfo) {
    const std::string what = "saving " + path;
    Status status = checkModuleTakes(*session, *image);
    if (!isOk(status))
        return within(what, status);
    OutputFile output;
    status = resolveOutput(path, &output);
    if (!isOk(status))
        return status;
    FormatRecord *record = beginOperation(session);
    if (record == nullptr)
        return failStatus(exitHostIo, what + ": the host has no memory for its record");
    describeImage(record, *image);
    record->revertInfo = revertInfo != nullptr ? *revertInfo : nullptr;
    status = runPhase(session, record, formatSelectorOptionsPrepare, what);
    if (isOk(status))
        status = runPhase(session, record, formatSelectorEstimatePrepare, what);
    if (isOk(status))
        status = checkEstimate(*record, output, what);
    if (isOk(status))
        status = writeOutput(session, record, image, &output, what);
    status = endKeepingRevertInfo(session, revertInfo, true, status, what);
    reclaimModuleMemory(session);
    return status;
}

Status showAbout(HostSession *session) {
    session->about = AboutRecord{};
    session->about.platformData = &session->platformData;
    int16_t result = callModule(session, formatSelectorAbout, &session->about);
    if (result != noErr)
        return failStatus(exitModuleFailed, "About failed: " + describeResult(result));
    return okStatus();
}

const char *selectorName(int16_t selector) {
    static const char *const names[] = {
        "About",          "ReadPrepare",      "ReadStart",      "ReadContinue",  "ReadFinish",
        "OptionsPrepare", "OptionsStart",     "OptionsContinue", "OptionsFinish", "EstimatePrepare",
        "EstimateStart",  "EstimateContinue", "EstimateFinish", "WritePrepare",  "WriteStart",
        "WriteContinue",  "WriteFinish",      "FilterFile"};
    return selector >= 0 && selector <= formatSelectorFilterFile ? names[selector] : "an unknown selector";
}

const char *imageModeName(int16_t mode) { return mode >= 0 && mode < 12 ? listedModeName(mode) : "unknown"; }
