// What a header says about its image, read once: axes, sample coding, scaling, blanks, row
// order, where the data start, and how the samples reach the host's 8 or 16 bits. The header
// reader fills it; the pixel reader, the writer and the size estimate read it.
#pragma once

#include <cstdint>

#include "fits/tile_codecs.h"

// The most planes an image can have: the channel limit of the property list.
constexpr int16_t maxImagePlanes = 24;

// How host samples stand for the file's physical values.
enum class SampleMapping : uint8_t {
    none,     // 8 bits, and unsigned 16 bits (BZERO 32768, BSCALE 1): the samples as stored
    identity, // whole numbers within the host's range: host value = physical value
    offset,   // whole numbers whose span fits: host value = physical value - smallest (+1)
    linear,   // anything else: smallest to the first host value, largest to 65535
    shifted,  // 16 bits that are not whole numbers in the host's range: host value = stored
              // sample - storedOrigin, so that every stored sample comes back exactly
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
    // 16-bit samples that reach the host through a subtraction (shifted, and identity with a
    // unit BSCALE): host value = stored sample - storedOrigin.
    int32_t storedOrigin;
    double sourceZero;   // the source's BZERO, from which a shifted save's BZERO is computed
    bool blanksAsStored; // BLANK samples keep their place among the others (no host value is
                         // free for them) and a save keeps the BLANK card
};

// The smallest and largest stored 16-bit sample other than BLANK, as the first pass finds them.
struct StoredRange {
    int32_t smallest;
    int32_t largest;
    bool blanks; // BLANK samples were seen
    bool whole;  // every physical value seen is a whole number
};

// A column of the binary table that holds a tile-compressed image, as its TFORMn says.
struct TileTableColumn {
    bool present;
    char type;               // the element's letter: B, I, J, K, E or D
    int8_t elementBytes;     // bytes of one element
    int8_t descriptorBytes;  // 8 for a 1P array descriptor, 16 for 1Q; 0 for a scalar
    int32_t offset;          // bytes from the start of a table row
};

// How a tile-compressed image is stored: the table of its tiles (one row each, tile order, the
// first axis fastest) and how they are coded. `compressed` is false, and the rest zero, for an
// image stored as plain samples.
struct TileCompression {
    bool compressed;
    TileCodecParams codec;   // ZCMPTYPE and its ZNAMEn / ZVALn parameters
    char kind[16];           // ZCMPTYPE as the file names it
    int32_t tile[3];         // ZTILE1 … ZTILE3, each no longer than its axis
    int32_t tableRowBytes;   // the table's NAXIS1
    int32_t tiles;           // the table's NAXIS2: one row for each tile
    int64_t heapStart;       // THEAP: bytes from the table's first byte to the heap's
    int64_t heapBytes;       // bytes of the heap
    TileTableColumn data;        // COMPRESSED_DATA
    TileTableColumn gzipData;    // GZIP_COMPRESSED_DATA: raw samples gzipped, for tiles that would not quantize
    TileTableColumn rawData;     // UNCOMPRESSED_DATA: tiles stored as they are
    TileTableColumn scale;       // ZSCALE, ZZERO and ZBLANK as columns: one value for each tile
    TileTableColumn zero;
    TileTableColumn blank;
    bool quantized;          // floats stored as integers: ZSCALE or ZZERO, as a column or a keyword
    Quantization method;     // ZQUANTIZ; without it, the old rule, which is noDither's arithmetic
    bool methodNamed;        // ZQUANTIZ is present
    double scaleValue;       // ZSCALE and ZZERO as keywords (1 and 0 without them)
    double zeroValue;
    bool hasBlank;           // ZBLANK as a keyword, else BLANK, for quantized floats
    int64_t blankValue;
    int64_t ditherSeed;      // ZDITHER0, 1 when absent
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
    TileCompression compression; // the image's tiles, when it is stored tile-compressed
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

// Whether the header alone settles how 16-bit samples reach the host: unsigned data (BZERO
// 32768, BSCALE 1) are the host's own samples. Other 16-bit data take a first pass.
bool headerSettlesSamples(const ImageDescription &image);

// Whether the image's rows reach the host through their physical values (mapToHost) rather
// than as stored samples (8 bits copied, 16 bits shifted).
bool throughPhysicalValues(const ImageDescription &image);

// The range of a first pass that has seen nothing yet.
StoredRange emptyStoredRange();

// Widens `range` by `samples` big-endian 16-bit samples of `image`.
void takeStoredRange(StoredRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples);

// The mapping of 16-bit samples from their stored range: identity when every physical value
// is a whole number in the host's range (1 ... 65535 with blanks), else the stored samples shifted.
PhysicalRange chooseStoredMapping(const ImageDescription &image, const StoredRange &stored);

// Host samples (native 16-bit) for `samples` big-endian stored samples: stored - storedOrigin,
// and 0 for a BLANK sample when the mapping gives blanks host 0.
void shiftStoredRow(const ImageDescription &image, const uint8_t *source, int32_t samples, uint8_t *destination);

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

// The first pass over one row of `samples` stored samples: physicalValues followed by takeRange,
// in one pass over the bytes for 32-bit floats, 64-bit floats and 32-bit integers without BLANK.
// `scratch` holds `samples` doubles for the rows and kinds that take the two steps.
void takeRowRange(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples,
                  double *scratch);

// The second pass over one row: physicalValues followed by mapToHost under image.range, in one
// pass for the same kinds; `scratch` as for takeRowRange.
void mapRowToHost(const ImageDescription &image, const uint8_t *source, int32_t samples, double *scratch,
                  uint8_t *destination);
