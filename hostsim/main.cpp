// korvalis-host: drives the Korvalis module as an image editor does, from the command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hostsim/commands.h"
#include "hostsim/image_files.h"
#include "hostsim/module_loader.h"

namespace {

using Words = std::vector<std::string>;
using Steps = std::vector<SessionStep>;

// The commands, in the order --help lists them: the words of the synopsis, how many
// arguments the command takes (at least, at most), what it does, and how it is carried out
// (`report` is printed whether it succeeds or not).
struct CommandEntry {
    const char *name, *arguments;
    size_t least, most;
    const char *text;
    Status (*run)(HostContext *context, const Words &words, const Steps &steps, std::string *report);
};
const CommandEntry commandTable[] = {
    {"open", "IN OUT", 2, 2, "open the FITS file IN through the module, write the image as OUT (.png, .pgm or .ppm; "
                             "a multichannel image as one grey file per plane, -1, -2, ... before the extension)",
     [](HostContext *c, const Words &w, const Steps &, std::string *) { return commandOpen(c, w[1], w[2]); }},
    {"save", "IN OUT", 2, 2, "save the image IN (.png, .pgm or .ppm) through the module as the FITS file OUT",
     [](HostContext *c, const Words &w, const Steps &, std::string *) { return commandSave(c, w[1], w[2]); }},
    {"convert", "IN OUT", 2, 2, "open IN and save it again as OUT in one session (its header and the file's other "
                                "HDUs are kept)",
     [](HostContext *c, const Words &w, const Steps &, std::string *) { return commandConvert(c, w[1], w[2]); }},
    {"preview", "IN OUT", 2, 2, "open IN and write an 8-bit picture of it for looking at as OUT (.png, .pgm or .ppm), "
                                "through the display stretch",
     [](HostContext *c, const Words &w, const Steps &, std::string *) { return commandPreview(c, w[1], w[2]); }},
    {"info", "IN", 1, 1, "the size, depth, planes and mode the module reports for IN, the HDU that holds the image, "
                         "the kind of samples, their mapping into 16 bits and the session's 16-bit scale",
     [](HostContext *c, const Words &w, const Steps &, std::string *report) { return commandInfo(c, w[1], report); }},
    {"about", "", 0, 0, "show the module's About box",
     [](HostContext *c, const Words &, const Steps &, std::string *) { return commandAbout(c); }},
    {"module", "", 0, 0, "the module's property list and terminology",
     [](HostContext *c, const Words &, const Steps &, std::string *report) { return commandModule(c, report); }},
    {"demo", "[DIR]", 0, 1, "save a synthetic star field through the module, check it, open it back, write its "
                            "preview and convert it, in DIR (default ./korvalis-demo)",
     [](HostContext *c, const Words &w, const Steps &, std::string *report) {
         return commandDemo(c, w.size() > 1 ? w[1] : "korvalis-demo", report);
     }},
    {"session", "STEP...", 1, SIZE_MAX, "run the steps in one host session, documents numbered from 1 as they are "
                                        "made: open:FITS, new:IMAGE (.png, .pgm, .ppm), save:N:OUT (FITS), "
                                        "export:N:OUT (.png, .pgm, .ppm), close:N",
     [](HostContext *c, const Words &, const Steps &steps, std::string *) { return commandSession(c, steps); }},
};

// The environment variable that asks for the tally of handles when the session ends.
const char handleCheckVariable[] = "KORVALIS_HOST_CHECK_HANDLES";

struct HelpEntry {
    std::string term, text;
};

// Appends `text` to `out` in lines of at most `width` characters, the first starting at
// column `column` (already reached) and the others indented to it.
void appendWrapped(std::string *out, const std::string &text, size_t column, size_t width) {
    size_t at = 0, lineStart = column;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        const size_t word = end - at;
        // Every word but the text's first follows a blank, or starts a line when it would
        // not fit after one.
        if (at != 0 && lineStart + 1 + word > width) {
            *out += "\n" + std::string(column, ' ');
            lineStart = column;
        } else if (at != 0) {
            *out += ' ';
            ++lineStart;
        }
        out->append(text, at, word);
        lineStart += word;
        at = end + 1;
    }
    *out += "\n";
}

// A two-column table: each term indented by 2, its text from `column`; a term too long for
// its column stands on a line of its own.
void appendTable(std::string *out, const std::vector<HelpEntry> &entries, size_t column = 22) {
    constexpr size_t width = 79;
    for (const HelpEntry &entry : entries) {
        *out += "  " + entry.term;
        if (2 + entry.term.size() + 2 > column)
            *out += "\n" + std::string(column, ' ');
        else
            *out += std::string(column - 2 - entry.term.size(), ' ');
        appendWrapped(out, entry.text, column, width);
    }
}

// help2man makes the manual page from this text at build time (hostsim/CMakeLists.txt), by
// its shape: the "Usage:" line, the paragraph after it, headings ending in ':' ("Options:"
// becomes the page's OPTIONS) and two-column tables with their terms indented by 2.
std::string helpText() {
    std::vector<HelpEntry> commands;
    for (const CommandEntry &command : commandTable)
        commands.push_back({*command.arguments ? std::string(command.name) + " " + command.arguments : command.name,
                            command.text});
    std::string text = "Usage: korvalis-host [OPTION]... COMMAND [ARGUMENT]...\n"
                       "Drives the Korvalis FITS module the way an image editor does: loads it, reads its\n"
                       "property list and calls its entry point to open and save FITS images.\n"
                       "\nCommands:\n";
    appendTable(&text, commands);
    text += "\nOptions:\n";
    appendTable(&text, {
        {"--module PATH", std::string("the module file (default: ") + defaultModuleName + " beside this program)"},
        {"-q, --quiet", "no progress bar and no notices (the module's are shown if the command fails)"},
        {"--stretch NAME", "preview's display stretch: asinh (the default; faint and bright stars both show) or "
                           "linear (0.25th to 99.75th percentile)"},
        {"--host-scale 32768|65535", "the host's 16-bit samples: 0..65535 (the default, a host of its own) or "
                                     "0..32768 as the editors keep them (signature '8BIM'); the 16-bit samples of "
                                     "image files are scaled on the way in and out"},
        {"--cancel-after-rows N", "act as if the user pressed Esc after N rows (for tests)"},
        {"-h, --help", "show this text and exit"},
        {"--version", "show the version and exit"},
        {"--", "end of the options: the words after it are the command and its arguments"},
    });
    text += "\nAn option's value may also follow it after '=', as in --host-scale=32768.\n"
            "\nEnvironment:\n";
    appendTable(&text, {
        {std::string(handleCheckVariable) + "=1",
         "when the session ends, a line on standard error: the handles the module made through the host, "
         "those disposed of through its handle services, and those left behind for the host to free"},
    });
    text += "\nExit status:\n";
    appendTable(&text, {
        {std::to_string(exitOk), "success"},
        {std::to_string(exitModuleFailed), "the module failed or refused the file or image, is not a usable format "
                                           "module, or handed the host something it refuses"},
        {std::to_string(exitUsage), "usage error: the command line was wrong"},
        {std::to_string(exitHostIo), "the host itself failed: it could not read or write a file, load the module "
                                     "file, or get the memory it needed"},
    }, 6);
    text += "\nEvery failure prints one line on standard error saying what failed and why.\n";
    return text;
}

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

// The command's entry, when it is known and given as many arguments as it takes.
const CommandEntry *commandOf(const Words &words, std::string *error) {
    for (const CommandEntry &command : commandTable) {
        if (words[0] != command.name)
            continue;
        size_t given = words.size() - 1;
        if (given >= command.least && given <= command.most)
            return &command;
        const size_t bound = given < command.least ? command.least : command.most;
        *error = words[0] + " takes " +
                 (command.least == command.most ? "" : given < command.least ? "at least " : "at most ") +
                 std::to_string(bound) + " argument" + (bound == 1 ? "" : "s") + ", not " + std::to_string(given);
        return nullptr;
    }
    *error = "unknown command " + words[0];
    return nullptr;
}

// A line of the host's own on standard error, after all it printed on standard output.
void say(const std::string &text) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvalis-host: %s\n", text.c_str());
}

} // namespace

int main(int argc, char **argv) {
    CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        std::fputs(helpText().c_str(), stdout);
        return exitOk;
    }
    if (line.version) {
        std::printf("korvalis-host %s (PNG %s)\n", KORVALIS_VERSION, pngSupported() ? "built in" : "left out");
        return exitOk;
    }
    if (line.error.empty() && line.words.empty())
        line.error = "no command given";
    const CommandEntry *command = nullptr;
    if (line.error.empty())
        command = commandOf(line.words, &line.error);
    // A session's steps are checked before the module is loaded, as the rest of the line is.
    std::vector<SessionStep> steps;
    if (line.error.empty() && line.words[0] == "session") {
        Status parsed = parseSessionSteps(std::vector<std::string>(line.words.begin() + 1, line.words.end()), &steps);
        line.error = parsed.message;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "korvalis-host: %s\n%s", line.error.c_str(), "try 'korvalis-host --help'\n");
        return exitUsage;
    }
    HostContext context;
    context.options = line.options;
    std::string report;
    Status status = startHost(&context);
    if (isOk(status))
        status = command->run(&context, line.words, steps, &report);
    std::fputs(report.c_str(), stdout);
    if (!isOk(status))
        releaseModuleText(&context.session); // the notices held under --quiet say why
    stopHost(&context);
    const char *check = std::getenv(handleCheckVariable);
    if (check != nullptr && *check != '\0' && std::strcmp(check, "0") != 0)
        say(handleTally(context.session));
    if (!isOk(status))
        say(status.message);
    return status.exitCode;
}
