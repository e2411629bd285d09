// open, save, convert, info, about and module.
#include "hostsim/commands.h"

#include <cstdio>

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
    context->session.cancelAfterRows = context->options.cancelAfterRows;
    context->session.progressBar = !context->options.quiet && standardErrorIsTerminal();
}

void stopHost(HostContext *context) {
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
    if (isOk(status))
        status = writeImageFile(out, image);
    return status;
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
    Status status = describeSamples(&context->session, in, &facts, &samples);
    if (!isOk(status))
        return status;
    char text[512];
    std::snprintf(text, sizeof text,
                  "file        %s\nsize        %d x %d (columns x rows)\ndepth       %d bits\nplanes      %d\n"
                  "mode        %s (%d)\n",
                  in.c_str(), static_cast<int>(facts.columns), static_cast<int>(facts.rows),
                  static_cast<int>(facts.depth), static_cast<int>(facts.planes), imageModeName(facts.mode),
                  static_cast<int>(facts.mode));
    *report = text;
    *report += samples;
    return okStatus();
}

Status commandAbout(HostContext *context) { return showAbout(&context->session); }

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
