// korvalis-host: drives the Korvalis module as an image editor does, from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hostsim/commands.h"
#include "hostsim/image_files.h"

namespace {

const char usageText[] =
    "usage: korvalis-host [options] COMMAND [ARGS]\n"
    "\n"
    "Drives the Korvalis FITS module the way an image editor does.\n"
    "\n"
    "commands:\n"
    "  open IN OUT     open the FITS file IN through the module, write the image as OUT\n"
    "                  (.png, .pgm or .ppm)\n"
    "  save IN OUT     save the image IN (.png, .pgm or .ppm) through the module as FITS file OUT\n"
    "  convert IN OUT  open IN and save it again as OUT in one session (the header is kept)\n"
    "  preview IN OUT  open IN and write an 8-bit picture of it for looking at as OUT\n"
    "                  (.png, .pgm or .ppm), through the display stretch\n"
    "  info IN         the size, depth, planes and mode the module reports for IN\n"
    "  about           the module's About box\n"
    "  module          the module's property list and terminology\n"
    "  demo [DIR]      save, check, open back and convert a synthetic star field\n"
    "                  (DIR defaults to ./korvalis-demo)\n"
    "\n"
    "options:\n"
    "  --module PATH   the module file (default: korvalis.so or korvalis.8bi beside this program)\n"
    "  --quiet         no progress bar and no notices (the module's are shown if it fails)\n"
    "  --stretch NAME  preview's display stretch: asinh (the default; faint and bright stars\n"
    "                  both show) or linear (0.25th to 99.75th percentile)\n"
    "  --cancel-after-rows N  act as if the user pressed Esc after N rows (for tests)\n"
    "  --host-scale 32768|65535  the host's 16-bit samples: 0..65535 (the default, a host of\n"
    "                  its own) or 0..32768 as the editors keep them (signature '8BIM'); PNG and\n"
    "                  PGM samples are scaled on the way in and out\n"
    "  -h, --help      this text\n"
    "  --version       the version\n"
    "\n"
    "exit status: 0 success, 1 the module reported a failure, 2 usage error,\n"
    "3 the host could not read or write a file itself\n";

struct CommandLine {
    HostOptions options;
    std::vector<std::string> words; // the command and its arguments
    bool help = false, version = false;
    std::string error;
};

bool parseCount(const char *text, int64_t *value) {
    char *end = nullptr;
    long long parsed = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || parsed < 0)
        return false;
    *value = parsed;
    return true;
}

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool optionValue(int argc, char **argv, int *at, const char *name, std::string *value) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argv[*at], name, length) != 0)
        return false;
    if (argv[*at][length] == '=') {
        *value = argv[*at] + length + 1;
        return true;
    }
    if (argv[*at][length] != '\0' || *at + 1 >= argc)
        return false;
    *value = argv[++*at];
    return true;
}

CommandLine parseCommandLine(int argc, char **argv) {
    CommandLine line;
    for (int at = 1; at < argc; ++at) {
        std::string argument = argv[at], value;
        if (argument == "-h" || argument == "--help")
            line.help = true;
        else if (argument == "--version")
            line.version = true;
        else if (argument == "--quiet" || argument == "-q")
            line.options.quiet = true;
        else if (optionValue(argc, argv, &at, "--module", &value))
            line.options.modulePath = value;
        else if (optionValue(argc, argv, &at, "--stretch", &value)) {
            if (!parseStretch(value, &line.options.stretch))
                line.error = "--stretch takes asinh or linear, not " + value;
        } else if (optionValue(argc, argv, &at, "--cancel-after-rows", &value)) {
            if (!parseCount(value.c_str(), &line.options.cancelAfterRows))
                line.error = "--cancel-after-rows takes a count of rows";
        } else if (optionValue(argc, argv, &at, "--host-scale", &value)) {
            if (value == "32768")
                line.options.hostScale = editorScaleLargest;
            else if (value == "65535")
                line.options.hostScale = fullRangeLargest;
            else
                line.error = "--host-scale takes 32768 (as the editors) or 65535 (full range)";
        } else if (argument == "--")
            for (++at; at < argc; ++at)
                line.words.push_back(argv[at]);
        else if (argument.size() > 1 && argument[0] == '-' && line.error.empty())
            line.error = "unknown option " + argument;
        else
            line.words.push_back(argument);
    }
    return line;
}

// How many arguments each command takes, at least and at most.
bool argumentsFit(const std::vector<std::string> &words, std::string *error) {
    struct Shape {
        const char *name;
        size_t least, most;
    };
    static const Shape shapes[] = {{"open", 2, 2},  {"save", 2, 2},   {"convert", 2, 2}, {"preview", 2, 2},
                                   {"info", 1, 1},  {"about", 0, 0},  {"module", 0, 0},  {"demo", 0, 1}};
    for (const Shape &shape : shapes) {
        if (words[0] != shape.name)
            continue;
        size_t given = words.size() - 1;
        if (given >= shape.least && given <= shape.most)
            return true;
        *error = words[0] + " takes " +
                 (shape.least == shape.most ? std::to_string(shape.least) : "at most " + std::to_string(shape.most)) +
                 " argument" + (shape.most == 1 ? "" : "s") + ", not " + std::to_string(given);
        return false;
    }
    *error = "unknown command " + words[0];
    return false;
}

Status runCommand(HostContext *context, const std::vector<std::string> &words) {
    const std::string &command = words[0];
    std::string report;
    Status status;
    if (command == "open")
        status = commandOpen(context, words[1], words[2]);
    else if (command == "save")
        status = commandSave(context, words[1], words[2]);
    else if (command == "convert")
        status = commandConvert(context, words[1], words[2]);
    else if (command == "preview")
        status = commandPreview(context, words[1], words[2]);
    else if (command == "info")
        status = commandInfo(context, words[1], &report);
    else if (command == "about")
        status = commandAbout(context);
    else if (command == "module")
        status = commandModule(context, &report);
    else
        status = commandDemo(context, words.size() > 1 ? words[1] : "korvalis-demo", &report);
    std::fputs(report.c_str(), stdout);
    return status;
}

int fail(const Status &status) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvalis-host: %s\n", status.message.c_str());
    return status.exitCode;
}

} // namespace

int main(int argc, char **argv) {
    CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        std::fputs(usageText, stdout);
        return exitOk;
    }
    if (line.version) {
        std::printf("korvalis-host %s (PNG %s)\n", KORVALIS_VERSION, pngSupported() ? "built in" : "left out");
        return exitOk;
    }
    if (line.error.empty() && line.words.empty())
        line.error = "no command given";
    if (line.error.empty())
        argumentsFit(line.words, &line.error);
    if (!line.error.empty()) {
        std::fprintf(stderr, "korvalis-host: %s\n%s", line.error.c_str(), "try 'korvalis-host --help'\n");
        return exitUsage;
    }
    HostContext context;
    context.options = line.options;
    Status status = startHost(&context);
    if (isOk(status))
        status = runCommand(&context, line.words);
    if (!isOk(status))
        releaseModuleText(&context.session); // the notices held under --quiet say why
    stopHost(&context);
    return isOk(status) ? exitOk : fail(status);
}
