// What a header says about its image, read once: axes, sample coding, scaling, blanks, row
// order, where the data start, and how the samples reach the host's 8 or 16 bits. The header
// reader fills it; the pixel reader, the writer and the size estimate read it.
#pragma once

#include <cstdint>

// The most planes an image can have: the channel limit of the property list.
constexpr int16_t maxImagePlanes = 24;

// How host samples stand for the file's physical values when the file's samples do not reach
// the host as they are (32- and 64-bit integers, floating point).
enum class SampleMapping : uint8_t {
    none,     // 8 and 16 bits: the samples are converted as they always were
    identity, // whole numbers within the host's range: host value = physical value
    offset,   // whole numbers whose span fits: host value = physical value - smallest (+1)
    linear,   // anything else: smallest to the first host value, largest to 65535
};

// The mapping as built from the first pass over the data, and as a save writes it back:
// physical value = zero + step × host value, host value 0 being the blank when there are blanks.
struct PhysicalRange {
    SampleMapping kind;
    bool blanks;     // the data hold blanks (BLANK, NaN or an infinity); host 0 stands for them
    bool found;      // at least one finite value was seen
    bool whole;      // every finite value is a whole number
    double smallest; // smallest finite physical value
    double largest;  // largest finite physical value
    double zero;     // physical value of host sample 0
    double step;     // physical difference between neighbouring host samples
};

struct ImageDescription {
    int16_t bitpix;             // BITPIX: 8, 16, 32, 64, -32 or -64
    int16_t bytesPerSample;     // bytes of one sample in the file
    int16_t hostBytesPerSample; // bytes of one sample handed to the host: 1 or 2
    int16_t naxis;              // NAXIS as read (axes of length 1 beyond the third included)
    int16_t columns;            // NAXIS1
    int16_t rows;               // NAXIS2
    int16_t planes;             // NAXIS3, 1 without a third axis
    float bzero;                // BZERO and BSCALE as the 8- and 16-bit conversion takes them
    float bscale;
    double exactZero;           // BZERO and BSCALE in double precision, for the other kinds
    double exactScale;
    bool hasBlank;              // BLANK is present (integer kinds only)
    int64_t blank;
    bool bottomUp;              // ROWORDER = 'BOTTOM-UP': the first row in the file is the bottom one
    int32_t dataStart;          // file position of the first data byte
    PhysicalRange range;        // the mapping, for kinds that need one
};

// True for the kinds whose samples are mapped into 16-bit host samples.
bool needsMapping(const ImageDescription &image);

// The host's bits per sample for the image: BITPIX for 8 and 16, else 16.
int16_t hostDepth(const ImageDescription &image);

// The host's image mode for the plane count: grey, RGB for three planes, multichannel else.
int16_t hostImageMode(int16_t planes);

// Bytes of one row of `columns` samples in the file; 0 when the description is unusable.
int64_t fileRowBytes(const ImageDescription &image, int32_t columns);

// Chooses the mapping from the range the first pass found (kind, zero and step).
void chooseMapping(PhysicalRange *range);

// BZERO of a 16-bit save under the mapping: the physical value of the stored sample 0, which
// stands for host sample 32768.
double savedZero(const PhysicalRange &range);

// Whether BZERO and BSCALE of such a save, and every physical value a reader computes from
// them, are finite: not so for data that span nearly the whole double range.
bool savedCodingFinite(const PhysicalRange &range);

// Physical value of `samples` big-endian stored samples from `source` into `physical`; a
// BLANK becomes NaN, and the other blanks (NaN, infinities) stay values that are not finite.
void physicalValues(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical);

// Widens `range` by `samples` physical values; values that are not finite are blanks.
void takeRange(PhysicalRange *range, const double *physical, int32_t samples);

// Host samples (native 16-bit) for `samples` physical values under the mapping; values that are
// not finite (blanks) give 0.
void mapToHost(const PhysicalRange &range, const double *physical, int32_t samples, uint8_t *destination);
