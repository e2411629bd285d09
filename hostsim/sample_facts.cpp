// info's lines on the samples: the file's own coding cards, and the module's mapping as a save
// through it states it.
#include "hostsim/sample_facts.h"

#include <cstdio>
#include <fstream>

#include "fits/header_format.h"
#include "hostsim/hdu_walk.h"
#include "hostsim/host_files.h"

namespace {

// BITPIX, BZERO, BSCALE and BLANK as cards before END give them (the last of each counts).
struct SampleCoding {
    bool hasBitpix = false, hasScaling = false, hasBlank = false, tiled = false;
    int64_t bitpix = 0, blank = 0;
    double bzero = 0.0, bscale = 1.0;
};

// The values as the module reads them, from columns 11-30.
void takeCard(const uint8_t *card, SampleCoding *coding) {
    // A tile-compressed image's BITPIX is its table's ZBITPIX; the table's own is 8.
    const bool tiledBitpix = cardHasKeyword(card, "ZBITPIX ");
    if (tiledBitpix || (cardHasKeyword(card, keywordBITPIX) && !coding->tiled)) {
        coding->hasBitpix = true;
        coding->bitpix = integerValue(card);
        coding->tiled = coding->tiled || tiledBitpix;
    } else if (cardHasKeyword(card, keywordBZERO)) {
        coding->hasScaling = true;
        coding->bzero = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBSCALE)) {
        coding->hasScaling = true;
        coding->bscale = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBLANK)) {
        // The whole 64-bit range, as BITPIX 64 needs; a BLANK that is no integer names no blank.
        coding->hasBlank = wholeValue(card, &coding->blank);
    }
}

// The coding cards of the header at `headerStart`: the image's own HDU, which in a file of
// several is not the primary one.
SampleCoding readSampleCoding(const std::string &path, int64_t headerStart) {
    SampleCoding coding;
    std::ifstream file(path, std::ios::binary);
    std::string cards;
    int64_t bytes = 0;
    if (!file || !readHeaderAt(file, headerStart, &cards, &bytes))
        return coding;
    for (size_t at = 0; at + 80 <= cards.size(); at += 80)
        takeCard(reinterpret_cast<const uint8_t *>(cards.data()) + at, &coding);
    return coding;
}

bool isMapped(const SampleCoding &coding) {
    return coding.bitpix == 32 || coding.bitpix == 64 || coding.bitpix == -32 || coding.bitpix == -64;
}

// 16-bit samples other than unsigned ones (BZERO 32768, BSCALE 1) take the module's first
// pass, which chooses identity or the stored samples shifted; only a save shows which.
bool isChosenByData(const SampleCoding &coding) {
    return coding.bitpix == 16 && !(coding.bzero == 32768.0 && coding.bscale == 1.0);
}

std::string kindName(long long bitpix) {
    switch (bitpix) {
    case 8: return "8-bit unsigned integers";
    case 16: return "16-bit integers";
    case 32: return "32-bit integers";
    case 64: return "64-bit integers";
    case -32: return "32-bit floating point";
    case -64: return "64-bit floating point";
    default: return "unknown";
    }
}

std::string format(const char *pattern, double a, double b = 0.0, double c = 0.0) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string samplesLine(const SampleCoding &coding) {
    if (!coding.hasBitpix)
        return "samples     (the host cannot read BITPIX from the image's header)\n";
    std::string line = "samples     " + kindName(coding.bitpix) + " (BITPIX " + std::to_string(coding.bitpix) + ")";
    if (coding.hasScaling)
        line += format(", physical = %.17g + %.17g x stored", coding.bzero, coding.bscale);
    if (coding.hasBlank)
        line += ", BLANK " + std::to_string(coding.blank);
    return line + "\n";
}

// 8 bits and unsigned 16 bits reach the host without a mapping: the bytes as stored, or the
// stored samples moved up by 32768, which are the physical values.
std::string unmappedLine(const SampleCoding &coding) {
    if (coding.bitpix == 8)
        return "mapping     none: the host gets the stored bytes as they are\n";
    return "mapping     none: host value = stored sample + 32768 = physical value (BZERO 32768, BSCALE 1)\n";
}

// The smallest and largest host value other than the blank's (`blankHost`, 0 under BLANK =
// -32768; -1 for none); false when every sample is a blank.
bool hostRange(const HostImage &image, int32_t blankHost, uint32_t *smallest, uint32_t *largest,
               uint64_t *blankCount) {
    *smallest = 65535;
    *largest = 0;
    *blankCount = 0;
    const size_t samples = planeBytes(image) * static_cast<size_t>(image.planes) / 2;
    for (size_t i = 0; i < samples; ++i) {
        const uint32_t value = storedSample(image, i);
        if (static_cast<int32_t>(value) == blankHost) {
            ++*blankCount;
            continue;
        }
        *smallest = value < *smallest ? value : *smallest;
        *largest = value > *largest ? value : *largest;
    }
    return *smallest <= *largest;
}

// The mapping and blank lines from the coding the module wrote, the host image it gave and
// the file's own coding: 16-bit files come as identity or as their stored samples shifted,
// wider kinds as identity, offset or linear.
std::string mappingLines(const SampleCoding &source, const SampleCoding &saved, const HostImage &image) {
    uint32_t smallest = 0, largest = 0;
    uint64_t blanks = 0;
    // Host 0 stands for the blanks under BLANK = -32768. Another BLANK is one the module kept
    // as the file had it: samples that fill all 65536 values leave none free for the blanks,
    // which stay among them as their stored sample (host = stored + 32768) shows them.
    const bool blankAsZero = saved.hasBlank && saved.blank == -32768;
    const bool blankAsStored = saved.hasBlank && !blankAsZero && saved.blank >= -32768 && saved.blank <= 32767;
    const int32_t blankHost = blankAsZero ? 0 : blankAsStored ? static_cast<int32_t>(saved.blank + 32768) : -1;
    const bool found = hostRange(image, blankHost, &smallest, &largest, &blanks);
    const double step = saved.bscale;
    auto physical = [&saved](uint32_t host) { return saved.bzero + saved.bscale * (static_cast<double>(host) - 32768.0); };
    std::string line = "mapping     ";
    if (!found)
        line += "none: every sample is a blank\n";
    else if (step == 1.0 && saved.bzero == 32768.0)
        line += format("identity: host value = physical value (%.17g ... %.17g)\n", physical(smallest), physical(largest));
    else if (source.bitpix == 16)
        line += format("shifted stored samples: physical %.15g ... %.15g onto host %.0f ...", physical(smallest),
                       physical(largest), smallest) +
                format(" %.0f (physical value = %.15g + %.15g x host value)\n", largest, physical(0), step);
    else if (step == 1.0)
        line += format("offset: physical %.17g ... %.17g onto host %.0f ...", physical(smallest), physical(largest),
                       smallest) + format(" %.0f (host value = physical value - %.17g)\n", largest, physical(0));
    else
        line += format("linear: physical %.10g ... %.10g onto host %.0f ...", physical(smallest), physical(largest),
                       smallest) + format(" %.0f, step %.10g\n", largest, step);
    const std::string count = std::to_string(blanks) + (blanks == 1 ? " sample" : " samples");
    if (blankAsStored)
        return line + "blanks      " + count + " (BLANK " + std::to_string(saved.blank) + ") as host " +
               std::to_string(blankHost) + ", among the others: no host value is free for them\n";
    if (!blankAsZero)
        return line + "blanks      none\n";
    return line + "blanks      " + count + " (BLANK, NaN or infinities) as host 0\n";
}

// The image saved through the module into a fresh temporary file, with the document's own
// revertInfo; its coding cards read back.
Status savedCoding(HostSession *session, HostImage *image, Handle *revertInfo, SampleCoding *coding) {
    std::string target;
    HostFile file = noHostFile;
    Status status = createTemporaryBeside(joinPath(temporaryFolder(), "korvalis-info.fits"), &target, &file);
    if (!isOk(status))
        return status;
    closeFile(file);
    status = saveDocument(session, image, target, revertInfo);
    // The saved image's HDU: the first, or where it stood when the save kept the file's others.
    ImageSource saved;
    if (isOk(status))
        *coding = readSampleCoding(target, findImageSource(target, &saved) ? saved.headerStart : 0);
    discardTemporary(noHostFile, target);
    return status;
}

} // namespace

Status describeSamples(HostSession *session, const std::string &path, const ImageSource *source, ImageFacts *facts,
                       std::string *lines) {
    const SampleCoding coding = source != nullptr ? readSampleCoding(path, source->headerStart) : SampleCoding{};
    if (!isMapped(coding) && !isChosenByData(coding)) {
        Status status = openDocument(session, path, nullptr, facts);
        if (isOk(status))
            *lines = samplesLine(coding) + (coding.hasBitpix ? unmappedLine(coding) : "");
        return status;
    }
    // A document of info's own: its save is handed its own record, so that the probe neither
    // uses nor changes what the module keeps for other documents; it is closed at once.
    HostImage image;
    Handle revertInfo = nullptr;
    Status status = openDocument(session, path, &image, facts, &revertInfo);
    SampleCoding saved;
    if (isOk(status))
        status = within("the mapping of " + path + " could not be read back",
                        savedCoding(session, &image, &revertInfo, &saved));
    disposeHeldHandle(session, revertInfo);
    if (!isOk(status))
        return status;
    *lines = samplesLine(coding) + mappingLines(coding, saved, image);
    return okStatus();
}
