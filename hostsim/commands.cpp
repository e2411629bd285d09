// open, save, convert, info, about and module.
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
    std::string names;
    for (const std::string &extension : listed)
        names += " ." + extension;
    notice(context, "notice: " + path + " does not end in one of the module's extensions (" + names.substr(1) +
                        "); " + (writing ? "saving" : "opening") + " it anyway");
}

// Which 16-bit scale the session keeps, and the range the module said it hands over.
std::string describeScale(const HostSession &session, const ImageFacts &facts) {
    const bool editor = session.largestSample == editorScaleLargest;
    const char signature[5] = {static_cast<char>(session.signature >> 24), static_cast<char>(session.signature >> 16),
                               static_cast<char>(session.signature >> 8), static_cast<char>(session.signature), '\0'};
    char text[256];
    std::snprintf(text, sizeof text, "host scale  16-bit samples 0..%u (%s, signature '%s')\n",
                  static_cast<unsigned>(session.largestSample), editor ? "as the editors" : "full range", signature);
    std::string lines = text;
    if (facts.depth == 16) {
        std::snprintf(text, sizeof text, "max value   %d%s\n", static_cast<int>(facts.maxValue),
                      facts.maxValue == 0 ? " (not set by the module)" : " (the module's 16-bit range)");
        lines += text;
    }
    return lines;
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
    const bool terminal = standardErrorIsTerminal();
    context->session.progressBar = !context->options.quiet && terminal;
    // The module's notices are held under --quiet, and converted for a terminal; otherwise
    // they pass byte for byte as the module writes them.
    context->session.holdModuleText = context->options.quiet;
    context->session.moduleTextToTerminal = terminal;
    if (context->options.quiet || terminal)
        openModuleOutput(&context->session.moduleOutput);
}

void stopHost(HostContext *context) {
    closeModuleOutput(&context->session.moduleOutput);
    reclaimModuleMemory(&context->session);
    retireSession(&context->session);
    unloadModule(&context->module);
}

Status commandOpen(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(out))
        return failStatus(exitUsage, out + ": open writes .png, .pgm or .ppm images");
    noteExtension(*context, in, false);
    HostImage image;
    ImageFacts facts;
    Status status = openDocument(&context->session, in, &image, &facts);
    if (!isOk(status))
        return status;
    rescaleImage(&image, context->session.largestSample, fullRangeLargest);
    return writeImageFile(out, image);
}

Status commandPreview(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(out))
        return failStatus(exitUsage, out + ": preview writes .png, .pgm or .ppm images");
    noteExtension(*context, in, false);
    HostImage image, shown;
    ImageFacts facts;
    Status status = openDocument(&context->session, in, &image, &facts);
    if (!isOk(status))
        return status;
    if (image.planes != 1 && image.planes != 3)
        notice(*context,
               "notice: " + in + " has " + std::to_string(image.planes) + " planes; the preview shows the first");
    if (!makePreview(image, context->options.stretch, &shown))
        return failStatus(exitHostIo, "not enough memory for the preview of " + in);
    image = HostImage{}; // the document is not needed while the preview is written
    return writeImageFile(out, shown);
}

Status commandSave(HostContext *context, const std::string &in, const std::string &out) {
    if (!isImageFileName(in))
        return failStatus(exitUsage, in + ": save reads .png, .pgm or .ppm images");
    HostImage image;
    std::string dropped;
    Status status = readImageFile(in, &image, &dropped);
    if (!isOk(status))
        return status;
    if (!dropped.empty())
        notice(*context, "notice: " + in + ": " + dropped);
    rescaleImage(&image, fullRangeLargest, context->session.largestSample);
    noteExtension(*context, out, true);
    return saveDocument(&context->session, &image, out);
}

Status commandConvert(HostContext *context, const std::string &in, const std::string &out) {
    noteExtension(*context, in, false);
    HostImage image;
    ImageFacts facts;
    Status status = openDocument(&context->session, in, &image, &facts);
    if (!isOk(status))
        return status;
    noteExtension(*context, out, true);
    return saveDocument(&context->session, &image, out);
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
    Status status = parseTerminology(module.terminology, module.terminologySize, &terminology);
    if (!isOk(status))
        return failStatus(status.exitCode, module.path + ": " + status.message);
    *report += describeTerminology(terminology);
    return okStatus();
}
