// Result code names as the host interface publishes them.
#include "hostsim/result_names.h"

#include <cstdio>

namespace {

struct ResultName {
    int16_t code;
    const char *name;
};

const ResultName resultNames[] = {
    {0, "noErr"},
    {2, "coercedParamErr"},
    {-19, "readErr"},
    {-20, "writErr"},
    {-23, "openErr"},
    {-34, "dskFulErr"},
    {-36, "ioErr"},
    {-39, "eofErr"},
    {-43, "fnfErr"},
    {-45, "fLckdErr"},
    {-46, "vLckdErr"},
    {-50, "paramErr"},
    {-108, "memFullErr"},
    {-109, "nilHandleErr"},
    {-111, "memWZErr"},
    {-128, "userCanceledErr"},
    {-208, "badFileFormat"},
    {-1715, "errMissingParameter"},
    {-30500, "formatBadParameters"},
    {-30501, "formatCannotRead"},
    {-30502, "formatSkipFile"},
    {-30503, "formatPasswordProtected"},
    {-30504, "formatUnsupportedRaw"},
    {-30505, "formatUnsupportedDNG"},
    {-30506, "formatNeedsExternalCodecs"},
    {-30900, "errPlugInHostInsufficient"},
    {-30901, "errPlugInPropertyUndefined"},
    {-30902, "errHostDoesNotSupportColStep"},
    {-30903, "errInvalidSamplePoint"},
    {-30904, "errReportString"},
    {-30905, "errHostVersionIncompatible"},
    {-30916, "errWrongPlatformFilePath"},
    {-30917, "errIllegalCharInID"},
};

} // namespace

const char *resultName(int16_t code) {
    for (const ResultName &entry : resultNames)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}

std::string describeResult(int16_t code) {
    char text[96];
    const char *name = resultName(code);
    if (name != nullptr)
        std::snprintf(text, sizeof text, "%s (%d)", name, code);
    else if (code > 0)
        std::snprintf(text, sizeof text, "result %d (an error the module has already reported)", code);
    else
        std::snprintf(text, sizeof text, "result %d (unknown)", code);
    return text;
}
