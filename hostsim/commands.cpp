// open, save, convert, preview, info, about and module, and the documents they work on.
#include "hostsim/commands.h"

#include <cstdio>

#include "hostsim/hdu_walk.h"
#include "hostsim/host_files.h"
#include "hostsim/image_files.h"
#include "hostsim/sample_facts.h"
#include "hostsim/sequences.h"

namespace {

// A host offers the module for the extensions it lists; other names are still tried, with
// a word to the user.
void noteExtension(const HostContext &context, const std::string &path, bool writing) {
    const ModuleInfo &info = context.module.info;
    const auto &listed = writing ? info.writeExtensions : info.readExtensions;
    if (listed.empty() || listsExtension(listed, lowerExtension(path)))
        return;
    notice(context, "notice: " + path + " does not end in one of the module's extensions (" + joined(listed, ".") +
                        "); " + (writing ? "saving" : "opening") + " it anyway");
}

// Which 16-bit scale the session keeps, and the range the module said it hands over.
std::string describeScale(const HostSession &session, const ImageFacts &facts) {
    const bool editor = session.largestSample == editorScaleLargest;
    char text[256];
    std::snprintf(text, sizeof text, "host scale  16-bit samples 0..%u (%s, signature '%s')\n",
                  static_cast<unsigned>(session.largestSample), editor ? "as the editors" : "full range",
                  codeText(session.signature).c_str());
    std::string lines = text;
    if (facts.depth == 16) {
        std::snprintf(text, sizeof text, "max value   %d%s\n", static_cast<int>(facts.maxValue),
                      facts.maxValue == 0 ? " (not set by the module)" : " (the module's 16-bit range)");
        lines += text;
    }
    return lines;
}

// The document among the context's, open from now on and numbered after those made before it.
HostDocument *addDocument(HostContext *context, HostDocument document, const std::string &source) {
    document.source = source;
    document.open = true;
    context->documents.push_back(std::move(document));
    return &context->documents.back();
}

} // namespace

void notice(const HostContext &context, const std::string &text) {
    if (!context.options.quiet)
        std::fprintf(stderr, "%s\n", text.c_str());
}

Status startHost(HostContext *context) {
    std::string path = context->options.modulePath.empty() ? defaultModulePath() : context->options.modulePath;
    Status status = loadModule(path, &context->module);
    if (isOk(status))
        startSession(context);
    return status;
}

void startSession(HostContext *context) {
    initSession(&context->session, context->module.entry, &context->module.info);
    context->session.moduleName = context->module.path;
    context->session.cancelAfterRows = context->options.cancelAfterRows;
    setHostScale(&context->session, context->options.hostScale);
    context->session.progressBar = !context->options.quiet && standardErrorIsTerminal();
    // The module's notices are held under --quiet, and otherwise shown after each call; either
    // way they are caught, to reach a terminal, a file or a pipe in the locale's character
    // set rather than as the module's code page 1252 bytes.
    context->session.holdModuleText = context->options.quiet;
    openModuleOutput(&context->session.moduleOutput);
}

void stopHost(HostContext *context) {
    for (HostDocument &document : context->documents)
        closeDocument(context, &document);
    context->documents.clear();
    closeModuleOutput(&context->session.moduleOutput);
    endSessionMemory(&context->session);
    retireSession(&context->session);
    unloadModule(&context->module);
}

Status openFitsDocument(HostContext *context, const std::string &path, HostDocument **made) {
    noteExtension(*context, path, false);
    HostDocument document;
    ImageFacts facts;
    Status status = openDocument(&context->session, path, &document.image, &facts, &document.revertInfo);
    if (isOk(status))
        *made = addDocument(context, std::move(document), path);
    return status;
}

Status newImageDocument(HostContext *context, const std::string &path, HostDocument **made) {
    if (!isImageFileName(path))
        return failStatus(exitUsage, path + ": a new document is read from a .png, .pgm or .ppm image");
    HostDocument document;
    std::string dropped;
    Status status = readImageFile(path, &document.image, &dropped);
    if (!isOk(status))
        return status;
    if (!dropped.empty())
        notice(*context, "notice: " + path + ": " + dropped);
    rescaleImage(&document.image, fullRangeLargest, context->session.largestSample);
    *made = addDocument(context, std::move(document), path);
    return okStatus();
}

Status saveFitsDocument(HostContext *context, HostDocument *document, const std::string &out) {
    noteExtension(*context, out, true);
    return saveDocument(&context->session, &document->image, out, &document->revertInfo);
}

Status exportDocument(HostContext *context, const HostDocument &document, const std::string &out) {
    if (!isImageFileName(out))
        return failStatus(exitUsage, out + ": an image is written as .png, .pgm or .ppm");
    if (context->session.largestSample == fullRangeLargest)
        return writeImageFile(out, document.image);
    // The document keeps the session's scale; the file gets a copy on the full range.
    HostImage copy;
    if (!copyImage(document.image, &copy))
        return failStatus(exitHostIo, "not enough memory to write " + out);
    rescaleImage(&copy, context->session.largestSample, fullRangeLargest);
    return writeImageFile(out, copy);
}

void closeDocument(HostContext *context, HostDocument *document) {
    if (!document->open)
        return;
    disposeHeldHandle(&context->session, document->revertInfo);
    document->revertInfo = nullptr;
    document->image = HostImage{};
    document->open = false;
}

HostDocument *findDocument(HostContext *context, size_t number) {
    if (number < 1 || number > context->documents.size() || !context->documents[number - 1].open)
        return nullptr;
    return &context->documents[number - 1];
}

Status commandOpen(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(out))
        return failStatus(exitUsage, out + ": open writes .png, .pgm or .ppm images");
    HostDocument *document = nullptr;
    Status status = openFitsDocument(context, in, &document);
    return isOk(status) ? exportDocument(context, *document, out) : status;
}

Status commandPreview(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(out))
        return failStatus(exitUsage, out + ": preview writes .png, .pgm or .ppm images");
    HostDocument *document = nullptr;
    Status status = openFitsDocument(context, in, &document);
    if (!isOk(status))
        return status;
    if (document->image.planes != 1 && document->image.planes != 3)
        notice(*context, "notice: " + in + " has " + std::to_string(document->image.planes) +
                             " planes; the preview shows the first");
    HostImage shown;
    if (!makePreview(document->image, context->options.stretch, &shown))
        return failStatus(exitHostIo, "not enough memory for the preview of " + in);
    closeDocument(context, document); // the document is not needed while the preview is written
    return writeImageFile(out, shown);
}

Status commandSave(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(in))
        return failStatus(exitUsage, in + ": save reads .png, .pgm or .ppm images");
    HostDocument *document = nullptr;
    Status status = newImageDocument(context, in, &document);
    return isOk(status) ? saveFitsDocument(context, document, out) : status;
}

Status commandConvert(HostContext *context, const std::string &in, const std::string &out) {
    HostDocument *document = nullptr;
    Status status = openFitsDocument(context, in, &document);
    return isOk(status) ? saveFitsDocument(context, document, out) : status;
}

Status commandInfo(HostContext *context, const std::string &in, std::string *report) {
    ImageFacts facts;
    std::string samples;
    // The module does not say which HDU it opened; the host finds it from the file, and on a
    // file it cannot walk it says nothing of the HDU.
    ImageSource source;
    const bool located = findImageSource(in, &source);
    Status status = describeSamples(&context->session, in, located ? &source : nullptr, &facts, &samples);
    if (!isOk(status))
        return status;
    char text[512];
    std::snprintf(text, sizeof text,
                  "size        %d x %d (columns x rows)\ndepth       %d bits\nplanes      %d\nmode        %s (%d)\n",
                  static_cast<int>(facts.columns), static_cast<int>(facts.rows), static_cast<int>(facts.depth),
                  static_cast<int>(facts.planes), imageModeName(facts.mode), static_cast<int>(facts.mode));
    *report = "module      " + context->module.path + "\nfile        " + in + "\n";
    *report += (located ? sourceLine(source) : "") + text;
    if (located && !source.compression.empty())
        *report += "compression " + source.compression + "\n";
    if (located)
        *report += carriedLine(in, source);
    *report += describeScale(context->session, facts);
    *report += samples;
    return okStatus();
}

// The About box is what was asked for, so it shows under --quiet too.
Status commandAbout(HostContext *context) {
    Status status = showAbout(&context->session);
    releaseModuleText(&context->session);
    return status;
}

Status commandModule(HostContext *context, std::string *report) {
    const LoadedModule &module = context->module;
    *report = "module      " + module.path + "\n" + describeModuleInfo(module.info);
    if (module.terminology == nullptr) {
        *report += "(no terminology)\n";
        return okStatus();
    }
    Terminology terminology;
    Status status = within(module.path, parseTerminology(module.terminology, module.terminologySize, &terminology));
    if (!isOk(status))
        return status;
    *report += describeTerminology(terminology);
    return okStatus();
}
