// session STEP...: several documents in one host session, each opened, made, saved, written
// out and closed as an editor's user would, so that each save shows which header the module
// writes for which document.
#include <string>
#include <vector>

#include "hostsim/commands.h"
#include "hostsim/image_files.h"

namespace {

const char stepList[] = "the steps are open:FITS, new:IMAGE, save:N:OUT, export:N:OUT and close:N";

std::string stepName(size_t index, const std::string &text) {
    return "session step " + std::to_string(index) + " (" + text + ")";
}

Status stepError(size_t index, const std::string &text, const std::string &why) {
    return failStatus(exitUsage, stepName(index, text) + ": " + why);
}

// A document number: decimal digits, from 1, of a sensible length.
bool parseDocumentNumber(const std::string &text, size_t *number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *number = static_cast<size_t>(std::stoul(text));
    return *number >= 1;
}

} // namespace

Status parseSessionSteps(const std::vector<std::string> &words, std::vector<SessionStep> *steps) {
    steps->clear();
    std::vector<bool> closed; // by document, from 0: closed by an earlier step
    for (size_t at = 0; at < words.size(); ++at) {
        const std::string &text = words[at];
        const size_t index = at + 1;
        const size_t colon = text.find(':');
        const std::string kind = text.substr(0, colon);
        const std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
        SessionStep step{SessionStep::Kind::open, text, std::string(), 0};
        if (kind == "open" || kind == "new") {
            if (rest.empty())
                return stepError(index, text, kind + " takes a file: " + kind + (kind == "open" ? ":FITS" : ":IMAGE"));
            if (kind == "new" && !isImageFileName(rest))
                return stepError(index, text, "new reads .png, .pgm or .ppm images");
            step.kind = kind == "open" ? SessionStep::Kind::open : SessionStep::Kind::newImage;
            step.path = rest;
            closed.push_back(false);
        } else if (kind == "save" || kind == "export" || kind == "close") {
            std::string number = rest;
            if (kind != "close") {
                const size_t second = rest.find(':');
                if (second == std::string::npos || second + 1 == rest.size())
                    return stepError(index, text, kind + " takes a document and a file: " + kind + ":N:OUT");
                number = rest.substr(0, second);
                step.path = rest.substr(second + 1);
            }
            if (!parseDocumentNumber(number, &step.document))
                return stepError(index, text, "'" + number + "' is not a document number (1 for the first made)");
            if (step.document > closed.size())
                return stepError(index, text, "there is no document " + std::to_string(step.document) +
                                                   ": the steps before it make " + std::to_string(closed.size()));
            if (closed[step.document - 1])
                return stepError(index, text,
                                 "document " + std::to_string(step.document) + " was closed by an earlier step");
            if (kind == "export" && !isImageFileName(step.path))
                return stepError(index, text, "export writes .png, .pgm or .ppm images");
            step.kind = kind == "save"     ? SessionStep::Kind::save
                        : kind == "export" ? SessionStep::Kind::exportImage
                                           : SessionStep::Kind::close;
            if (step.kind == SessionStep::Kind::close)
                closed[step.document - 1] = true;
        } else {
            return stepError(index, text, "unknown step '" + kind + "': " + stepList);
        }
        steps->push_back(step);
    }
    if (steps->empty())
        return failStatus(exitUsage, std::string("session takes at least one step: ") + stepList);
    return okStatus();
}

Status commandSession(HostContext *context, const std::vector<SessionStep> &steps) {
    // The steps count the documents they make; any made before them come first.
    const size_t before = context->documents.size();
    for (size_t at = 0; at < steps.size(); ++at) {
        const SessionStep &step = steps[at];
        HostDocument *document = nullptr;
        if (step.document != 0) {
            document = findDocument(context, before + step.document);
            if (document == nullptr)
                return stepError(at + 1, step.text, "document " + std::to_string(step.document) + " is not open");
        }
        Status status;
        switch (step.kind) {
        case SessionStep::Kind::open:
            status = openFitsDocument(context, step.path, &document);
            break;
        case SessionStep::Kind::newImage:
            status = newImageDocument(context, step.path, &document);
            break;
        case SessionStep::Kind::save:
            status = saveFitsDocument(context, document, step.path);
            break;
        case SessionStep::Kind::exportImage:
            status = exportDocument(context, *document, step.path);
            break;
        case SessionStep::Kind::close:
            closeDocument(context, document);
            break;
        }
        if (!isOk(status))
            return within(stepName(at + 1, step.text), status);
    }
    return okStatus();
}
