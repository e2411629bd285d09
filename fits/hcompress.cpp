// HCOMPRESS_1: the tile's H-transform (sums and differences of 2 × 2 blocks, level by level),
// divided by a scale, coded bit plane by bit plane as quadtrees of 4-bit codes, signs last.
// Decoding runs in 64-bit integers for every sample width; narrower arithmetic gives the same
// values wherever it does not overflow.
#include <cstring>

#include "fits/tile_codec_shared.h"

namespace {

constexpr size_t headerBytes = 25;

// Coefficients and the pixel sum are held below this, which keeps every sum of the inverse
// transform inside 64 bits; a 32-bit tile of 2^25 pixels at full scale stays below it.
constexpr int64_t largestCoefficient = int64_t{1} << 56;

// Above this many planes a coefficient could not be negated in 64 bits.
constexpr int32_t mostPlanes = 62;

struct HcompressHeader {
    int32_t rows;    // the tile's slow axis, which the stream names first
    int32_t columns; // the fast axis
    int32_t scale;
    int64_t sum; // sum of all pixels, the transform's first coefficient
    uint8_t planes[3];
};

TileStatus readHeader(const uint8_t *bytes, size_t size, HcompressHeader *header) {
    if (size < 2)
        return TileStatus::endsEarly;
    if (bytes[0] != 0xDD || bytes[1] != 0x99)
        return TileStatus::badHeader;
    if (size < headerBytes)
        return TileStatus::endsEarly;
    header->rows = static_cast<int32_t>(readBigEndian(bytes + 2, 4));
    header->columns = static_cast<int32_t>(readBigEndian(bytes + 6, 4));
    header->scale = static_cast<int32_t>(readBigEndian(bytes + 10, 4));
    header->sum = static_cast<int64_t>(readBigEndian(bytes + 14, 8));
    for (int32_t q = 0; q < 3; ++q) {
        header->planes[q] = bytes[22 + q];
        if (header->planes[q] > mostPlanes)
            return TileStatus::badHeader;
    }
    return TileStatus::ok;
}

int32_t ceilLog2(int32_t n) {
    int32_t log = 0;
    while ((int64_t{1} << log) < n)
        ++log;
    return log;
}

// The sizes of the levels of a rows × columns array, from one entry up: each level doubles the
// one before, less one along an axis whose remaining length the step already covers. A length
// of 0 stays at 1, as the writer's sequence has it.
struct LevelSizes {
    int32_t rows;
    int32_t columns;
    int32_t rowsLeft;
    int32_t columnsLeft;
    int64_t step;
};

LevelSizes firstLevel(int32_t rows, int32_t columns, int32_t log2n) {
    return LevelSizes{1, 1, rows, columns, int64_t{1} << log2n};
}

void nextLevel(LevelSizes *level) {
    level->step >>= 1;
    level->rows = 2 * level->rows - (level->rowsLeft <= level->step ? 1 : 0);
    level->columns = 2 * level->columns - (level->columnsLeft <= level->step ? 1 : 0);
    level->rowsLeft -= level->rowsLeft <= level->step ? 0 : static_cast<int32_t>(level->step);
    level->columnsLeft -= level->columnsLeft <= level->step ? 0 : static_cast<int32_t>(level->step);
}

// One quadtree code: which of a 2 × 2 block's four children are set, in a fixed prefix code.
uint8_t readQuadCode(BitReader *reader) {
    // What the 4-bit codes 8 … 12 and the 5-bit codes 26 … 30 stand for.
    static const uint8_t fourBitCodes[] = {3, 5, 10, 12, 15};
    static const uint8_t fiveBitCodes[] = {6, 7, 9, 11, 13};
    uint32_t code = readBits(reader, 3);
    if (code < 4)
        return static_cast<uint8_t>(1u << code);
    code = (code << 1) | readBits(reader, 1);
    if (code <= 12)
        return fourBitCodes[code - 8];
    code = (code << 1) | readBits(reader, 1);
    if (code <= 30)
        return fiveBitCodes[code - 26];
    code = (code << 1) | readBits(reader, 1);
    return code == 62 ? 0 : 14;
}

// The bit of a block's code that holds child (i, j): the first child is the highest bit.
int32_t childBit(int64_t i, int64_t j) { return 3 - 2 * static_cast<int32_t>(i & 1) - static_cast<int32_t>(j & 1); }

// One expansion: `codes` holds ceil(rows / 2) × ceil(columns / 2) block codes and becomes
// rows × columns entries, each set child then replaced by its own code from the stream.
void expandLevel(BitReader *reader, uint8_t *codes, int32_t rows, int32_t columns) {
    int64_t halfColumns = (columns + 1) / 2;
    int64_t count = int64_t{rows} * columns;
    // Backwards: a block's code sits at or before all of its children's places, so it is
    // still there when the last of them is written.
    for (int64_t p = count - 1; p >= 0; --p) {
        int64_t i = p / columns;
        int64_t j = p % columns;
        codes[p] = static_cast<uint8_t>((codes[(i / 2) * halfColumns + j / 2] >> childBit(i, j)) & 1);
    }
    for (int64_t p = count - 1; p >= 0; --p)
        if (codes[p] != 0)
            codes[p] = readQuadCode(reader);
}

// Where a quadrant lies in the coefficients: its first one, its size, and the row length.
struct Quadrant {
    int64_t offset;
    int32_t rows;
    int32_t columns;
    int64_t stride;
};

// Sets bit `bit` of every coefficient of the quadrant whose child bit is set.
void insertPlane(const uint8_t *codes, const Quadrant &q, int64_t *a, int32_t bit) {
    int64_t halfColumns = (q.columns + 1) / 2;
    int64_t value = int64_t{1} << bit;
    for (int64_t i = 0; i < q.rows; ++i)
        for (int64_t j = 0; j < q.columns; ++j)
            if (((codes[(i / 2) * halfColumns + j / 2] >> childBit(i, j)) & 1) != 0)
                a[q.offset + i * q.stride + j] |= value;
}

size_t quadtreeScratchBytes(int32_t rows, int32_t columns) {
    return static_cast<size_t>((rows + 1) / 2 + 1) * static_cast<size_t>((columns + 1) / 2 + 1);
}

// The bit planes of one quadrant, highest first. Each is either quadtree-coded (format code
// 15), expanded level by level from a single code, or written directly (0) as one code per
// 2 × 2 block.
TileStatus decodeQuadrant(BitReader *reader, const Quadrant &q, int32_t planes, int64_t *a, uint8_t *codes) {
    int32_t rows = q.rows;
    int32_t columns = q.columns;
    int32_t log2n = ceilLog2(rows > columns ? rows : columns);
    for (int32_t bit = planes - 1; bit >= 0; --bit) {
        uint32_t format = readBits(reader, 4);
        if (format == 0) {
            int64_t blocks = int64_t{(rows + 1) / 2} * ((columns + 1) / 2);
            for (int64_t b = 0; b < blocks; ++b)
                codes[b] = static_cast<uint8_t>(readBits(reader, 4));
        } else if (format == 15) {
            codes[0] = readQuadCode(reader);
            // Expanded from one code up to the quadrant's own level sizes, halved.
            LevelSizes level = firstLevel(rows, columns, log2n);
            for (int32_t k = 1; k < log2n && !reader->exhausted; ++k) {
                nextLevel(&level);
                expandLevel(reader, codes, level.rows, level.columns);
            }
        } else if (!reader->exhausted) {
            return TileStatus::badCode;
        }
        if (reader->exhausted)
            return TileStatus::endsEarly;
        insertPlane(codes, q, a, bit);
    }
    return TileStatus::ok;
}

// The four quadrants of the transform (sums, then the differences along each axis, then the
// cross differences), the end mark, then one sign bit per nonzero coefficient from the next
// byte on.
TileStatus decodeCoefficients(const uint8_t *bytes, size_t size, const HcompressHeader &header, int64_t *a,
                              uint8_t *codes) {
    int32_t rows = header.rows;
    int32_t columns = header.columns;
    int64_t count = int64_t{rows} * columns;
    std::memset(a, 0, static_cast<size_t>(count) * sizeof(int64_t));
    int32_t upperRows = (rows + 1) / 2;
    int32_t leftColumns = (columns + 1) / 2;
    Quadrant quadrants[4] = {
        {0, upperRows, leftColumns, columns},
        {leftColumns, upperRows, columns / 2, columns},
        {int64_t{columns} * upperRows, rows / 2, leftColumns, columns},
        {int64_t{columns} * upperRows + leftColumns, rows / 2, columns / 2, columns},
    };
    // The two difference quadrants share a plane count.
    const int32_t planes[4] = {header.planes[0], header.planes[1], header.planes[1], header.planes[2]};
    BitReader reader = startBitReader(bytes, size, headerBytes);
    for (int32_t q = 0; q < 4; ++q) {
        TileStatus status = decodeQuadrant(&reader, quadrants[q], planes[q], a, codes);
        if (status != TileStatus::ok)
            return status;
    }
    uint32_t endMark = readBits(&reader, 4);
    if (reader.exhausted)
        return TileStatus::endsEarly;
    if (endMark != 0)
        return TileStatus::badCode;
    alignToByte(&reader);
    for (int64_t i = 0; i < count && !reader.exhausted; ++i)
        if (a[i] != 0 && readBits(&reader, 1) != 0)
            a[i] = -a[i];
    if (reader.exhausted)
        return TileStatus::endsEarly;
    a[0] = header.sum;
    return TileStatus::ok;
}

// Multiplies the coefficients back by the scale they were divided by. False when one would
// leave the range the inverse transform computes in.
bool undigitize(int64_t *a, int64_t count, int32_t scale) {
    int64_t factor = scale > 1 ? scale : 1;
    int64_t limit = largestCoefficient / factor;
    for (int64_t i = 0; i < count; ++i) {
        if (a[i] > limit || a[i] < -limit)
            return false;
        a[i] *= factor;
    }
    return true;
}

// Spreads the first half of n elements (`stride` apart) to the even places and the second
// half to the odd ones.
void unshuffle(int64_t *a, int32_t n, int64_t stride, int64_t *spare) {
    int32_t half = (n + 1) / 2;
    for (int32_t i = half; i < n; ++i)
        spare[i - half] = a[i * stride];
    for (int32_t i = half - 1; i >= 0; --i)
        a[2 * i * stride] = a[i * stride];
    for (int32_t i = 1; i < n; i += 2)
        a[i * stride] = spare[(i - 1) / 2];
}

int64_t smaller(int64_t a, int64_t b) { return a < b ? a : b; }
int64_t larger(int64_t a, int64_t b) { return a > b ? a : b; }
int64_t clampTo(int64_t v, int64_t low, int64_t high) { return larger(smaller(v, high), low); }

// Wrapping arithmetic for smoothing, whose neighbour sums the coefficient bound does not cover.
int64_t plus(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t minus(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t times(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// Division by 2^shift rounding toward zero, as the smoothing's correction needs.
int64_t divideTowardZero(int64_t v, int32_t shift) {
    return v >= 0 ? v >> shift : plus(v, (int64_t{1} << shift) - 1) >> shift;
}

// Moves a difference coefficient toward the slope its neighbouring means suggest, within the
// monotone range and by at most `limit`. `weight` is the slope's scale: 8 for edges, 64 for
// the cross term.
void nudge(int64_t *coefficient, int64_t target, int64_t low, int64_t high, int32_t weightShift, int64_t limit) {
    if (low >= high)
        return;
    int64_t change = minus(clampTo(target, low, high), times(*coefficient, int64_t{1} << weightShift));
    *coefficient = plus(*coefficient, clampTo(divideTowardZero(change, weightShift), -limit, limit));
}

// The limits a slope between means hm, h0 and hp may take and stay monotone, times four.
void edgeLimits(int64_t hm, int64_t h0, int64_t hp, int64_t *low, int64_t *high) {
    int64_t up = minus(hp, h0);
    int64_t down = minus(h0, hm);
    *high = times(larger(smaller(up, down), 0), 4);
    *low = times(smaller(larger(up, down), 0), 4);
}

// Interpolates the difference coefficients of the nx × ny block of sums at this level toward
// their neighbours' means, by at most half the scale: what lossy decoding gains from SMOOTH.
void smoothLevel(int64_t *a, int32_t nx, int32_t ny, int64_t stride, int32_t scale) {
    int64_t limit = scale >> 1;
    if (limit <= 0)
        return;
    int64_t twoRows = 2 * stride;
    int64_t low = 0;
    int64_t high = 0;
    for (int64_t i = 2; i < nx - 2; i += 2)
        for (int64_t j = 0; j < ny; j += 2) {
            int64_t at = stride * i + j;
            edgeLimits(a[at - twoRows], a[at], a[at + twoRows], &low, &high);
            nudge(&a[at + stride], minus(a[at + twoRows], a[at - twoRows]), low, high, 3, limit);
        }
    for (int64_t i = 0; i < nx; i += 2)
        for (int64_t j = 2; j < ny - 2; j += 2) {
            int64_t at = stride * i + j;
            edgeLimits(a[at - 2], a[at], a[at + 2], &low, &high);
            nudge(&a[at + 1], minus(a[at + 2], a[at - 2]), low, high, 3, limit);
        }
    for (int64_t i = 2; i < nx - 2; i += 2)
        for (int64_t j = 2; j < ny - 2; j += 2) {
            int64_t at = stride * i + j;
            int64_t h0 = a[at];
            int64_t hmm = a[at - twoRows - 2];
            int64_t hpm = a[at + twoRows - 2];
            int64_t hmp = a[at - twoRows + 2];
            int64_t hpp = a[at + twoRows + 2];
            int64_t hx2 = times(a[at + stride], 2);
            int64_t hy2 = times(a[at + 1], 2);
            int64_t sx = plus(hx2, hy2);
            int64_t dx = minus(hx2, hy2);
            int64_t highest =
                smaller(smaller(minus(larger(minus(hpp, h0), 0), sx), plus(larger(minus(h0, hpm), 0), dx)),
                        smaller(minus(larger(minus(h0, hmp), 0), dx), plus(larger(minus(hmm, h0), 0), sx)));
            int64_t lowest =
                larger(larger(minus(smaller(minus(hpp, h0), 0), sx), plus(smaller(minus(h0, hpm), 0), dx)),
                       larger(minus(smaller(minus(h0, hmp), 0), dx), plus(smaller(minus(hmm, h0), 0), sx)));
            int64_t target = minus(plus(hpp, hmm), plus(hmp, hpm));
            nudge(&a[at + stride + 1], target, times(lowest, 16), times(highest, 16), 6, limit);
        }
}

// Rounding of one level: coefficients are multiples of `bit`, rounded half away from zero
// as the writer's division left them.
struct Rounding {
    int64_t bit;
    int64_t up;   // added to non-negative values before masking
    int64_t down; // added to negative values
};

Rounding roundingFor(int64_t bit) { return Rounding{bit, bit >> 1, (bit >> 1) - 1}; }

int64_t roundCoefficient(int64_t v, const Rounding &r) {
    int64_t mask = r.bit == 0 ? -1 : -r.bit;
    return (v + (v >= 0 ? r.up : r.down)) & mask;
}

int64_t towardZeroBy(int64_t v, int64_t amount) { return v >= 0 ? v - amount : v + amount; }

// A block that an odd edge cuts to two entries, `apart` entries apart: their sum and difference.
void rebuildPair(int64_t *p00, int64_t apart, const Rounding &r1, int32_t shift) {
    int64_t h = roundCoefficient(p00[apart], r1);
    int64_t h0 = towardZeroBy(p00[0], h & r1.bit);
    p00[apart] = (h0 + h) >> shift;
    p00[0] = (h0 - h) >> shift;
}

// Rebuilds one level's 2 × 2 blocks from their sum h0 and differences hx, hy, hc, carrying
// the low bits that the writer's rounding folded into the sum.
void rebuildLevel(int64_t *a, int32_t nx, int32_t ny, int64_t stride, const Rounding &r0, const Rounding &r1,
                  int32_t shift) {
    int32_t oddRows = nx % 2;
    int32_t oddColumns = ny % 2;
    int64_t i = 0;
    for (; i < nx - oddRows; i += 2) {
        int64_t j = 0;
        for (; j < ny - oddColumns; j += 2) {
            int64_t *p00 = a + stride * i + j;
            int64_t *p10 = p00 + stride;
            int64_t hx = roundCoefficient(p10[0], r1);
            int64_t hy = roundCoefficient(p00[1], r1);
            int64_t hc = roundCoefficient(p10[1], r0);
            int64_t low0 = hc & r0.bit;
            hx = towardZeroBy(hx, low0);
            hy = towardZeroBy(hy, low0);
            int64_t low1 = (hc ^ hx ^ hy) & r1.bit;
            int64_t h0 = p00[0];
            h0 = h0 >= 0 ? h0 + low0 - low1 : h0 + (low0 == 0 ? low1 : low0 - low1);
            p10[1] = (h0 + hx + hy + hc) >> shift;
            p10[0] = (h0 + hx - hy - hc) >> shift;
            p00[1] = (h0 - hx + hy - hc) >> shift;
            p00[0] = (h0 - hx - hy + hc) >> shift;
        }
        if (oddColumns != 0)
            rebuildPair(a + stride * i + j, stride, r1, shift);
    }
    if (oddRows != 0) {
        int64_t j = 0;
        for (; j < ny - oddColumns; j += 2)
            rebuildPair(a + stride * i + j, 1, r1, shift);
        if (oddColumns != 0)
            a[stride * i + j] >>= shift;
    }
}

// The inverse H-transform of a rows × columns array, coarsest level first.
void invertTransform(int64_t *a, int32_t rows, int32_t columns, int32_t smooth, int32_t scale, int64_t *spare) {
    int32_t log2n = ceilLog2(rows > columns ? rows : columns);
    if (log2n == 0)
        return;
    int64_t bit0 = int64_t{1} << (log2n - 1);
    a[0] = roundCoefficient(a[0], roundingFor(4 * bit0));
    LevelSizes level = firstLevel(rows, columns, log2n);
    for (int32_t k = log2n - 1; k >= 0; --k, bit0 >>= 1) {
        nextLevel(&level);
        const int32_t nx = level.rows;
        const int32_t ny = level.columns;
        for (int64_t i = 0; i < nx; ++i)
            unshuffle(a + columns * i, ny, 1, spare);
        for (int64_t j = 0; j < ny; ++j)
            unshuffle(a + j, nx, columns, spare);
        if (smooth != 0)
            smoothLevel(a, nx, ny, columns, scale);
        // The finest level divides by four and rounds its cross differences not at all.
        Rounding r0 = roundingFor(bit0);
        if (k == 0)
            r0.down = 0;
        rebuildLevel(a, nx, ny, columns, r0, roundingFor(2 * bit0), k == 0 ? 2 : 1);
    }
}

// Scratch layout: the coefficients, a half row or column for unshuffling, then the quadtree
// codes of the largest quadrant.
struct HcompressScratch {
    int64_t *coefficients;
    int64_t *spare;
    uint8_t *codes;
};

size_t coefficientBytes(TileShape shape) {
    return static_cast<size_t>(shape.columns) * static_cast<size_t>(shape.rows) * sizeof(int64_t);
}

size_t spareBytes(TileShape shape) {
    int32_t longest = shape.columns > shape.rows ? shape.columns : shape.rows;
    return (static_cast<size_t>(longest) / 2 + 1) * sizeof(int64_t);
}

bool placeScratch(TileScratch scratch, TileShape shape, HcompressScratch *layout) {
    uintptr_t start = reinterpret_cast<uintptr_t>(scratch.bytes);
    size_t skip = (alignof(int64_t) - start % alignof(int64_t)) % alignof(int64_t);
    if (scratch.bytes == nullptr || scratch.size < hcompressScratchBytes(shape))
        return false;
    uint8_t *at = scratch.bytes + skip;
    layout->coefficients = reinterpret_cast<int64_t *>(at);
    layout->spare = reinterpret_cast<int64_t *>(at + coefficientBytes(shape));
    layout->codes = at + coefficientBytes(shape) + spareBytes(shape);
    return true;
}

} // namespace

size_t hcompressScratchBytes(TileShape shape) {
    return alignof(int64_t) + coefficientBytes(shape) + spareBytes(shape) +
           quadtreeScratchBytes((shape.rows + 1) / 2, (shape.columns + 1) / 2);
}

TileStatus hcompressDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes,
                           TileShape shape, int32_t sampleBytes, uint8_t *samples, TileScratch scratch) {
    HcompressHeader header{};
    TileStatus status = readHeader(compressed, compressedBytes, &header);
    if (status != TileStatus::ok)
        return status;
    if (header.rows != shape.rows || header.columns != shape.columns)
        return TileStatus::sizeDisagrees;
    HcompressScratch layout{};
    if (!placeScratch(scratch, shape, &layout))
        return TileStatus::scratchTooSmall;
    int64_t count = int64_t{shape.rows} * shape.columns;
    status = decodeCoefficients(compressed, compressedBytes, header, layout.coefficients, layout.codes);
    if (status != TileStatus::ok)
        return status;
    if (!undigitize(layout.coefficients, count, header.scale))
        return TileStatus::outOfRange;
    invertTransform(layout.coefficients, shape.rows, shape.columns, params.smooth, header.scale, layout.spare);
    for (int64_t i = 0; i < count; ++i)
        storeSample(samples, sampleBytes, i, layout.coefficients[i]);
    return TileStatus::ok;
}
