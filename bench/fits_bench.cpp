// How fast the module opens and saves FITS images, next to cfitsio and to the I/O floor.
//
//   fits_bench [--tiny] [--runs N] [--dir DIR]
//
// Writes its input files with cfitsio into DIR (default /dev/shm/korvalis-bench, or
// /tmp/korvalis-bench without /dev/shm), so that the page cache holds them, then times every
// method on the same files and the same host image, N runs each (median shown), and checks
// after every run that the pixels (or the saved data unit) are the ones expected. The bench
// host is an editor ('8BIM'): the module saves its 16-bit image from the 0 … 32768 scale,
// which it brings up to the same file bytes that cfitsio and the floor write. --tiny uses
// small images and one run, to show that everything works; its times mean nothing.
// Exit status 1 when any method failed or produced other pixels.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fitsio.h>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bench/bench_host.h"
#include "bench/heap_count.h"
#include "entry/entry.h"

namespace {

// ---------------------------------------------------------------- inputs

enum class Coding { unsigned16, signed16, bytes8, float32 };

// Signed 16-bit data with negatives (BZERO 0): the smallest stored value, which the module's
// first pass finds and shifts onto host 0.
constexpr int32_t signedLowest = -900;

// The floating-point image: host value h stands for floatLowest + h × floatStep, every h from
// 0 to 65535 can occur and both ends do, so the module maps it linearly with that very step and
// every reader that scales by it lands on whole numbers, without ties to break.
constexpr double floatLowest = -1000.0;
constexpr double floatStep = 0.25;

struct Input {
    Coding coding;
    int32_t rows, columns;
    std::string path;
    int64_t dataOffset = 0;      // first byte of the data unit
    std::vector<uint8_t> stored; // the data unit's bytes as written
    std::vector<uint8_t> host;   // the host image every reader must produce
    // The same image as the bench host keeps it to save: it signs '8BIM', so its 16-bit
    // samples run 0 … 32768 and the module brings them up to `host` as it saves.
    std::vector<uint8_t> editorHost;
};

int16_t depthOf(Coding coding) { return coding == Coding::bytes8 ? 8 : 16; }
int32_t sampleBytesOf(Coding coding) { return depthOf(coding) / 8; }

const char *codingName(Coding coding) {
    switch (coding) {
    case Coding::unsigned16: return "16-bit, BZERO 32768";
    case Coding::signed16: return "16-bit signed, BZERO 0";
    case Coding::bytes8: return "8-bit";
    case Coding::float32: return "32-bit float (BITPIX -32)";
    }
    return "";
}

uint64_t nextRandom(uint64_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return *state;
}


bool fitsFailed(int status, const char *what) {
    if (status == 0)
        return false;
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    std::fprintf(stderr, "cfitsio %s: %s\n", what, text);
    return true;
}

// The offset after the header block that holds END.
int64_t findDataOffset(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return -1;
    char card[80];
    int64_t offset = -1;
    for (int64_t at = 0; std::fread(card, 1, sizeof card, file) == sizeof card; at += 80) {
        if (std::memcmp(card, "END     ", 8) == 0) {
            offset = (at / 2880 + 1) * 2880;
            break;
        }
    }
    std::fclose(file);
    return offset;
}

// A sample of the editors' 0 … 32768 scale on 0 … 65535, written out here rather than taken
// from the module.
uint16_t fullRangeOf(uint16_t editorValue) {
    return static_cast<uint16_t>(editorValue > 16384 ? ((editorValue - 1) << 1) + 1 : editorValue << 1);
}

// The floating-point image through cfitsio: floatLowest + h × floatStep for random h, with the
// smallest and the largest host value in the first two samples. Its stored bytes are not kept:
// it is only opened.
bool makeFloatInput(Input *input, uint64_t seed) {
    const int64_t samples = int64_t{input->rows} * input->columns;
    input->host.assign(static_cast<size_t>(samples * 2), 0);
    std::vector<float> values(static_cast<size_t>(samples));
    uint64_t state = seed;
    for (int64_t i = 0; i < samples; ++i) {
        auto host = static_cast<uint16_t>(i == 0 ? 0 : i == 1 ? 65535 : nextRandom(&state));
        values[i] = static_cast<float>(floatLowest + host * floatStep);
        std::memcpy(&input->host[2 * i], &host, 2);
    }
    fitsfile *file = nullptr;
    int status = 0;
    std::string name = "!" + input->path;
    long axes[2] = {input->columns, input->rows};
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, FLOAT_IMG, 2, axes, &status);
    fits_write_img(file, TFLOAT, 1, samples, values.data(), &status);
    fits_close_file(file, &status);
    if (fitsFailed(status, "writing an input"))
        return false;
    input->dataOffset = findDataOffset(input->path);
    return input->dataOffset > 0;
}

// Generates the samples and the expected host image, and writes the file with cfitsio.
bool makeInput(Input *input, uint64_t seed) {
    if (input->coding == Coding::float32)
        return makeFloatInput(input, seed);
    const int64_t samples = int64_t{input->rows} * input->columns;
    const int32_t bytes = sampleBytesOf(input->coding);
    input->stored.assign(static_cast<size_t>(samples * bytes), 0);
    input->host.assign(static_cast<size_t>(samples * bytes), 0);
    input->editorHost.assign(static_cast<size_t>(samples * bytes), 0);
    uint64_t state = seed;
    for (int64_t i = 0; i < samples; ++i) {
        uint64_t random = nextRandom(&state);
        if (input->coding == Coding::bytes8) {
            input->stored[i] = input->host[i] = input->editorHost[i] = static_cast<uint8_t>(random);
            continue;
        }
        uint16_t host, bits, editor = 0;
        if (input->coding == Coding::unsigned16) {
            // Values that the editors' scale holds exactly, so that the saved bytes are known.
            editor = static_cast<uint16_t>(random % 32769);
            host = fullRangeOf(editor);
            bits = static_cast<uint16_t>(host ^ 0x8000u);
        } else {
            // The first sample is the smallest, so the host values are stored - signedLowest.
            auto stored = static_cast<int16_t>(signedLowest + (i == 0 ? 0 : static_cast<int32_t>(random % 30000)));
            host = static_cast<uint16_t>(stored - signedLowest);
            bits = static_cast<uint16_t>(stored);
        }
        input->stored[2 * i] = static_cast<uint8_t>(bits >> 8);
        input->stored[2 * i + 1] = static_cast<uint8_t>(bits);
        std::memcpy(&input->host[2 * i], &host, 2);
        std::memcpy(&input->editorHost[2 * i], &editor, 2);
    }

    fitsfile *file = nullptr;
    int status = 0;
    std::string name = "!" + input->path;
    long axes[2] = {input->columns, input->rows};
    int type = input->coding == Coding::unsigned16 ? USHORT_IMG : input->coding == Coding::signed16 ? SHORT_IMG : BYTE_IMG;
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, type, 2, axes, &status);
    if (input->coding == Coding::signed16) {
        std::vector<int16_t> values(static_cast<size_t>(samples));
        for (int64_t i = 0; i < samples; ++i)
            values[i] = static_cast<int16_t>((input->stored[2 * i] << 8) | input->stored[2 * i + 1]);
        fits_write_img(file, TSHORT, 1, samples, values.data(), &status);
    } else if (input->coding == Coding::unsigned16) {
        fits_write_img(file, TUSHORT, 1, samples, input->host.data(), &status);
    } else {
        fits_write_img(file, TBYTE, 1, samples, input->host.data(), &status);
    }
    fits_close_file(file, &status);
    if (fitsFailed(status, "writing an input"))
        return false;
    input->dataOffset = findDataOffset(input->path);
    return input->dataOffset > 0;
}

// ---------------------------------------------------------------- checks

uint64_t checksum(const uint8_t *bytes, int64_t length) {
    uint64_t hash = 0xcbf29ce484222325u ^ static_cast<uint64_t>(length);
    int64_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        hash = (hash ^ word) * 0x100000001b3u;
        hash ^= hash >> 29;
    }
    for (; i < length; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3u;
    return hash;
}

// The data unit of a saved file: exactly the expected bytes, then zeros to a whole block.
bool savedFileMatches(const std::string &path, const Input &input) {
    int64_t offset = findDataOffset(path);
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr || offset < 0) {
        if (file != nullptr)
            std::fclose(file);
        return false;
    }
    std::fseek(file, 0, SEEK_END);
    int64_t size = std::ftell(file);
    std::vector<uint8_t> data(static_cast<size_t>(size > offset ? size - offset : 0));
    std::fseek(file, static_cast<long>(offset), SEEK_SET);
    size_t got = std::fread(data.data(), 1, data.size(), file);
    std::fclose(file);
    const int64_t length = static_cast<int64_t>(input.stored.size());
    if (size % 2880 != 0 || got != data.size() || static_cast<int64_t>(data.size()) < length)
        return false;
    for (size_t i = static_cast<size_t>(length); i < data.size(); ++i)
        if (data[i] != 0)
            return false;
    return checksum(data.data(), length) == checksum(input.stored.data(), length);
}

// ---------------------------------------------------------------- the floors

// Big-endian samples to host order, with the top bit flipped when `flip`; as fast as this
// machine does it.
void swapRow(const uint8_t *source, uint8_t *destination, int64_t samples, bool flip) {
    int64_t i = 0;
    const uint16_t top = flip ? 0x8000u : 0u;
#if defined(__SSE2__)
    const __m128i topBits = _mm_set1_epi16(static_cast<int16_t>(top));
    for (; i + 8 <= samples; i += 8) {
        __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 2 * i));
        value = _mm_xor_si128(_mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8)), topBits);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + 2 * i), value);
    }
#endif
    for (; i < samples; ++i) {
        uint16_t value = static_cast<uint16_t>(((source[2 * i] << 8) | source[2 * i + 1]) ^ top);
        std::memcpy(destination + 2 * i, &value, 2);
    }
}

// The host image back to big-endian samples in place (host value - 32768 for 16 bits).
void encodeRow(uint8_t *row, int64_t samples) {
    int64_t i = 0;
#if defined(__SSE2__)
    const __m128i topBits = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    for (; i + 8 <= samples; i += 8) {
        __m128i value = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 2 * i)), topBits);
        value = _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + 2 * i), value);
    }
#endif
    for (; i < samples; ++i) {
        uint16_t value;
        std::memcpy(&value, row + 2 * i, 2);
        value ^= 0x8000u;
        row[2 * i] = static_cast<uint8_t>(value >> 8);
        row[2 * i + 1] = static_cast<uint8_t>(value);
    }
}

// read(2) of each row into one row buffer, then a swap (16 bits) or a copy (8 bits) into the
// image.
std::string floorOpen(const Input &input, uint8_t *image) {
    int fd = open(input.path.c_str(), O_RDONLY);
    if (fd < 0)
        return "cannot open";
    const int32_t bytes = sampleBytesOf(input.coding);
    const int64_t rowBytes = int64_t{input.columns} * bytes;
    std::unique_ptr<uint8_t[]> row(new uint8_t[static_cast<size_t>(rowBytes)]);
    std::string problem;
    if (lseek(fd, input.dataOffset, SEEK_SET) != input.dataOffset)
        problem = "cannot seek";
    for (int32_t r = 0; problem.empty() && r < input.rows; ++r) {
        if (read(fd, row.get(), static_cast<size_t>(rowBytes)) != rowBytes) {
            problem = "short read";
            break;
        }
        uint8_t *line = image + r * rowBytes;
        if (bytes == 2)
            swapRow(row.get(), line, input.columns, input.coding == Coding::unsigned16);
        else
            std::memcpy(line, row.get(), static_cast<size_t>(rowBytes));
    }
    close(fd);
    return problem;
}

// The smallest big-endian 16-bit sample of a row.
int32_t smallestOfRow(const uint8_t *bytes, int32_t samples, int32_t smallest) {
    int32_t i = 0;
#if defined(__SSE2__)
    __m128i low = _mm_set1_epi16(static_cast<int16_t>(smallest));
    for (; i + 8 <= samples; i += 8) {
        __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 2 * i));
        low = _mm_min_epi16(low, _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8)));
    }
    int16_t lows[8];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lows), low);
    for (int16_t each : lows)
        smallest = std::min<int32_t>(smallest, each);
#endif
    for (; i < samples; ++i)
        smallest = std::min<int32_t>(smallest, static_cast<int16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]));
    return smallest;
}

// The signed open's floor: read(2) of each row twice, the first time finding the smallest
// sample, the second swapping and subtracting it into the image.
std::string floorOpenSigned(const Input &input, uint8_t *image) {
    int fd = open(input.path.c_str(), O_RDONLY);
    if (fd < 0)
        return "cannot open";
    const int64_t rowBytes = int64_t{input.columns} * 2;
    std::unique_ptr<uint8_t[]> row(new uint8_t[static_cast<size_t>(rowBytes)]);
    std::string problem;
    int32_t smallest = 32767;
    for (int pass = 0; pass < 2 && problem.empty(); ++pass) {
        if (lseek(fd, input.dataOffset, SEEK_SET) != input.dataOffset)
            problem = "cannot seek";
        for (int32_t r = 0; problem.empty() && r < input.rows; ++r) {
            if (read(fd, row.get(), static_cast<size_t>(rowBytes)) != rowBytes) {
                problem = "short read";
                break;
            }
            if (pass == 0) {
                smallest = smallestOfRow(row.get(), input.columns, smallest);
                continue;
            }
            auto *line = reinterpret_cast<uint16_t *>(image + r * rowBytes);
            swapRow(row.get(), image + r * rowBytes, input.columns, false);
            for (int32_t c = 0; c < input.columns; ++c)
                line[c] = static_cast<uint16_t>(line[c] - smallest);
        }
    }
    close(fd);
    return problem;
}

inline float floatAt(const uint8_t *bytes) {
    uint32_t bits = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

#if defined(__SSE2__)
// Four big-endian floats to the machine's order: bytes swapped in each half, halves swapped.
inline __m128 loadBigEndianFloats(const uint8_t *bytes) {
    __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    value = _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8));
    value = _mm_shufflehi_epi16(_mm_shufflelo_epi16(value, 0xB1), 0xB1);
    return _mm_castsi128_ps(value);
}
#endif

// The smallest and largest of a row of big-endian floats (the benchmark's have no NaN).
void floatRange(const uint8_t *bytes, int32_t samples, float *lowest, float *highest) {
    int32_t i = 0;
#if defined(__SSE2__)
    __m128 low = _mm_set1_ps(*lowest), high = _mm_set1_ps(*highest);
    for (; i + 4 <= samples; i += 4) {
        __m128 value = loadBigEndianFloats(bytes + 4 * i);
        low = _mm_min_ps(low, value);
        high = _mm_max_ps(high, value);
    }
    float lows[4], highs[4];
    _mm_storeu_ps(lows, low);
    _mm_storeu_ps(highs, high);
    for (int k = 0; k < 4; ++k) {
        *lowest = std::min(*lowest, lows[k]);
        *highest = std::max(*highest, highs[k]);
    }
#endif
    for (; i < samples; ++i) {
        *lowest = std::min(*lowest, floatAt(bytes + 4 * i));
        *highest = std::max(*highest, floatAt(bytes + 4 * i));
    }
}

// value × perStep + offset in double, rounded, into 16-bit host samples.
void mapFloats(const uint8_t *bytes, int32_t samples, double perStep, double offset, uint16_t *line) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128d scale = _mm_set1_pd(perStep), shift = _mm_set1_pd(offset + 0.5);
    const __m128i half = _mm_set1_epi32(32768);
    const __m128i top = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    for (; i + 4 <= samples; i += 4) {
        __m128 value = loadBigEndianFloats(bytes + 4 * i);
        __m128d low = _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(value), scale), shift);
        __m128d high = _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(value, value)), scale), shift);
        // Truncation toward zero rounds the non-negative values; taken 32768 down, they fit
        // the signed pack, and the top bit puts them back.
        __m128i whole = _mm_unpacklo_epi64(_mm_cvttpd_epi32(low), _mm_cvttpd_epi32(high));
        whole = _mm_sub_epi32(whole, half);
        __m128i packed = _mm_xor_si128(_mm_packs_epi32(whole, whole), top);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(line + i), packed);
    }
#endif
    for (; i < samples; ++i)
        line[i] = static_cast<uint16_t>(static_cast<int32_t>(floatAt(bytes + 4 * i) * perStep + offset + 0.5));
}

// The floating-point open's floor: read(2) of each row twice, the first time finding the
// smallest and largest value, the second converting each sample with one multiply-add in
// double and a rounding into the image; no blanks, scaling or other kinds to consider.
std::string floorOpenFloat(const Input &input, uint8_t *image) {
    int fd = open(input.path.c_str(), O_RDONLY);
    if (fd < 0)
        return "cannot open";
    const int64_t rowBytes = int64_t{input.columns} * 4;
    std::unique_ptr<uint8_t[]> row(new uint8_t[static_cast<size_t>(rowBytes)]);
    std::string problem;
    float lowest = INFINITY, highest = -INFINITY;
    for (int pass = 0; pass < 2 && problem.empty(); ++pass) {
        if (lseek(fd, input.dataOffset, SEEK_SET) != input.dataOffset)
            problem = "cannot seek";
        const double perStep = 65535.0 / (static_cast<double>(highest) - lowest);
        const double offset = -static_cast<double>(lowest) * perStep;
        for (int32_t r = 0; problem.empty() && r < input.rows; ++r) {
            if (read(fd, row.get(), static_cast<size_t>(rowBytes)) != rowBytes) {
                problem = "short read";
                break;
            }
            if (pass == 0)
                floatRange(row.get(), input.columns, &lowest, &highest);
            else
                mapFloats(row.get(), input.columns, perStep, offset,
                          reinterpret_cast<uint16_t *>(image + r * int64_t{input.columns} * 2));
        }
    }
    close(fd);
    return problem;
}

// One header block, then for each row: a copy from the image into one row buffer, the
// encoding in place (16 bits) and a write(2); then the padding.
std::string floorSave(const Input &input, const uint8_t *image, const std::string &path) {
    unlink(path.c_str()); // as for the others: a new file, not a truncated one
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return "cannot create";
    const int32_t bytes = sampleBytesOf(input.coding);
    const int64_t rowBytes = int64_t{input.columns} * bytes;
    std::vector<uint8_t> header(2880, ' ');
    char text[81];
    const char *cards[] = {"SIMPLE  =                    T", "BITPIX  = %20d", "NAXIS   =                    2",
                           "NAXIS1  = %20d", "NAXIS2  = %20d", "BZERO   = %20s", "BSCALE  =                    1",
                           "END"};
    for (int c = 0; c < 8; ++c) {
        int length = c == 1   ? std::snprintf(text, sizeof text, cards[c], depthOf(input.coding))
                     : c == 3 ? std::snprintf(text, sizeof text, cards[c], static_cast<int>(input.columns))
                     : c == 4 ? std::snprintf(text, sizeof text, cards[c], static_cast<int>(input.rows))
                     : c == 5 ? std::snprintf(text, sizeof text, cards[c], bytes == 2 ? "32768.0" : "0.0")
                              : std::snprintf(text, sizeof text, "%s", cards[c]);
        std::memcpy(header.data() + 80 * c, text, static_cast<size_t>(length));
    }
    std::unique_ptr<uint8_t[]> row(new uint8_t[static_cast<size_t>(rowBytes)]);
    std::string problem;
    if (write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size()))
        problem = "short write";
    for (int32_t r = 0; problem.empty() && r < input.rows; ++r) {
        std::memcpy(row.get(), image + r * rowBytes, static_cast<size_t>(rowBytes));
        if (bytes == 2)
            encodeRow(row.get(), input.columns);
        if (write(fd, row.get(), static_cast<size_t>(rowBytes)) != rowBytes)
            problem = "short write";
    }
    const int64_t dataBytes = rowBytes * input.rows;
    const int64_t padding = (2880 - dataBytes % 2880) % 2880;
    if (problem.empty() && padding > 0 && write(fd, std::vector<uint8_t>(2880, 0).data(), padding) != padding)
        problem = "short write";
    close(fd);
    return problem;
}

// ---------------------------------------------------------------- cfitsio

std::string cfitsioOpen(const Input &input, uint8_t *image) {
    fitsfile *file = nullptr;
    int status = 0, anyNull = 0;
    const int64_t samples = int64_t{input.rows} * input.columns;
    fits_open_file(&file, input.path.c_str(), READONLY, &status);
    if (input.coding == Coding::bytes8) {
        unsigned char none = 0;
        fits_read_img(file, TBYTE, 1, samples, &none, image, &anyNull, &status);
    } else if (input.coding == Coding::float32) {
        // cfitsio's own scaling takes the floats onto the host's 0 to 65535.
        unsigned short none = 0;
        fits_set_bscale(file, 1.0 / floatStep, -floatLowest / floatStep, &status);
        fits_read_img(file, TUSHORT, 1, samples, &none, image, &anyNull, &status);
    } else {
        // Signed data: cfitsio told the shift the module finds in its first pass.
        unsigned short none = 0;
        if (input.coding == Coding::signed16)
            fits_set_bscale(file, 1.0, -signedLowest, &status);
        fits_read_img(file, TUSHORT, 1, samples, &none, image, &anyNull, &status);
    }
    fits_close_file(file, &status);
    return fitsFailed(status, "reading") ? "cfitsio failed" : "";
}

std::string cfitsioSave(const Input &input, const uint8_t *image, const std::string &path) {
    fitsfile *file = nullptr;
    int status = 0;
    long axes[2] = {input.columns, input.rows};
    const int64_t samples = int64_t{input.rows} * input.columns;
    unlink(path.c_str());
    fits_create_file(&file, path.c_str(), &status);
    fits_create_img(file, input.coding == Coding::bytes8 ? BYTE_IMG : USHORT_IMG, 2, axes, &status);
    fits_write_img(file, input.coding == Coding::bytes8 ? TBYTE : TUSHORT, 1, samples, const_cast<uint8_t *>(image),
                   &status);
    fits_close_file(file, &status);
    return fitsFailed(status, "writing") ? "cfitsio failed" : "";
}

// ---------------------------------------------------------------- the module

BenchImage benchImageOf(const Input &input, uint8_t *pixels) {
    BenchImage image;
    image.rows = input.rows;
    image.columns = input.columns;
    image.depth = depthOf(input.coding);
    image.planes = 1;
    image.pixels = pixels;
    return image;
}

std::string korvalisOpen(const Input &input, uint8_t *pixels, HostCounts *counts, bool headerOnly = false) {
    BenchImage image = benchImageOf(input, pixels);
    *counts = HostCounts{};
    std::string problem = openThroughModule(ENTRYPOINT, input.path.c_str(), &image, counts, headerOnly);
    if (problem.empty() && !headerOnly && counts->progressCalls != counts->advanceCalls)
        problem = "progress was not reported once per row";
    return problem;
}

// Saves the image on the bench host's own scale (editorHost).
std::string korvalisSave(const Input &input, const std::string &path, HostCounts *counts) {
    BenchImage image = benchImageOf(input, const_cast<uint8_t *>(input.editorHost.data()));
    *counts = HostCounts{};
    unlink(path.c_str());
    std::string problem = saveThroughModule(ENTRYPOINT, image, path.c_str(), counts);
    if (problem.empty() && counts->progressCalls != counts->advanceCalls)
        problem = "progress was not reported once per row";
    return problem;
}

// ---------------------------------------------------------------- timing

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

using Step = std::function<std::string()>;

struct Method {
    std::string name;
    Step run;   // timed
    Step check; // untimed: whether the run produced what it should, and a reset for the next
    std::vector<double> times;
    std::string failure;
    double seconds() const { return median(times); }
};

Method makeMethod(std::string name, Step run, Step check) {
    Method method;
    method.name = std::move(name);
    method.run = std::move(run);
    method.check = std::move(check);
    return method;
}

bool allPassed = true;

// Every method once untimed (page cache and image pages warm), then `runs` rounds in which
// each method runs once in turn, so that a drift of the machine touches all alike.
void timeMethods(std::vector<Method> *methods, int runs) {
    for (int round = -1; round < runs; ++round) {
        for (Method &method : *methods) {
            if (!method.failure.empty())
                continue;
            double start = seconds();
            std::string problem = method.run();
            double elapsed = seconds() - start;
            if (problem.empty() && method.check)
                problem = method.check();
            if (!problem.empty()) {
                method.failure = problem;
                allPassed = false;
                std::fprintf(stderr, "FAILED: %s: %s\n", method.name.c_str(), problem.c_str());
            } else if (round >= 0) {
                method.times.push_back(elapsed);
            }
        }
    }
}

// After an open: the image must hold exactly the expected pixels; then it is overwritten, so
// that the next reader has to do all the work again.
Step imageCheck(const Input &input, uint8_t *image) {
    return [&input, image]() -> std::string {
        const size_t length = input.host.size();
        bool same = std::memcmp(image, input.host.data(), length) == 0;
        std::fill(image, image + length, uint8_t{0xA5});
        return same ? "" : "the pixels differ from the expected ones";
    };
}

Step fileCheck(const Input &input, const std::string &path) {
    return [&input, path]() -> std::string {
        return savedFileMatches(path, input) ? "" : "the saved data unit differs from the expected bytes";
    };
}

std::string sizeText(const Input &input) {
    return std::to_string(input.columns) + " x " + std::to_string(input.rows);
}

double megabytesPerSecond(const Input &input, double time) {
    return time > 0 ? static_cast<double>(input.host.size()) / time / 1e6 : 0.0;
}

// One line of the main table; `target` is the most Korvalis / method may be, 0 for none.
void printLine(const char *operation, const Input &input, const Method &method, const Method &korvalis,
               double target, bool judge) {
    std::printf("| %s | %s | %s | %s | ", operation, codingName(input.coding), sizeText(input).c_str(),
                method.name.c_str());
    if (!method.failure.empty()) {
        std::printf("FAILED: %s | | | |\n", method.failure.c_str());
        return;
    }
    std::printf("%.2f | %.0f | ", method.seconds() * 1e3, megabytesPerSecond(input, method.seconds()));
    if (&method == &korvalis || !korvalis.failure.empty()) {
        std::printf(" | |\n");
        return;
    }
    double ratio = korvalis.seconds() / method.seconds();
    std::printf("%.2f | ", ratio);
    if (target > 0)
        std::printf("≤ %.2f%s", target, judge ? (ratio <= target ? " met" : " MISSED") : "");
    std::printf(" |\n");
}

struct Outputs {
    std::string korvalis, cfitsio, floor;
};

std::unique_ptr<uint8_t[]> touchedImage(const Input &input) {
    std::unique_ptr<uint8_t[]> image(new uint8_t[input.host.size()]);
    std::memset(image.get(), 0xA5, input.host.size());
    return image;
}

struct Sizes {
    int32_t rows, columns;
};

} // namespace

int main(int argc, char **argv) {
    bool tiny = false;
    int runs = 7;
    std::string profile; // "open" or "save" and a coding: only Korvalis, for a profiler
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/korvalis-bench" : "/tmp/korvalis-bench";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--tiny")
            tiny = true;
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if ((arg == "--profile-open" || arg == "--profile-save") && i + 1 < argc)
            profile = arg.substr(10) + argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: %s [--tiny] [--runs N] [--dir DIR]\n"
                         "       %s --profile-open|--profile-save u16|signed|u8|f32 [--runs N] [--dir DIR]\n",
                         argv[0], argv[0]);
            return 2;
        }
    }
    if (tiny)
        runs = 1;
    mkdir(dir.c_str(), 0755);
    const bool judge = !tiny;

    // The main table's images; in tiny mode small ones with odd sides, which exercise the
    // ends of the vector loops.
    const std::vector<Sizes> mainSizes = tiny ? std::vector<Sizes>{{64, 96}, {17, 33}}
                                              : std::vector<Sizes>{{8192, 8192}, {2048, 2048}};
    const std::vector<Sizes> scalingSizes = tiny ? std::vector<Sizes>{{16, 16}, {32, 32}, {64, 96}, {2, 32767}}
                                                 : std::vector<Sizes>{{512, 512}, {2048, 2048}, {8192, 8192}, {64, 32767}};

    std::vector<std::unique_ptr<Input>> inputs;
    auto inputFor = [&](Coding coding, Sizes size) -> Input * {
        for (auto &input : inputs)
            if (input->coding == coding && input->rows == size.rows && input->columns == size.columns)
                return input.get();
        auto input = std::make_unique<Input>();
        input->coding = coding;
        input->rows = size.rows;
        input->columns = size.columns;
        input->path = dir + "/input-" + std::to_string(static_cast<int>(coding)) + "-" + std::to_string(size.columns) +
                      "x" + std::to_string(size.rows) + ".fits";
        if (!makeInput(input.get(), 0x9E3779B97F4A7C15u ^ (uint64_t(size.rows) << 32) ^ uint64_t(size.columns) ^
                                        (uint64_t(coding) << 60))) {
            std::fprintf(stderr, "cannot write %s\n", input->path.c_str());
            std::exit(1);
        }
        inputs.push_back(std::move(input));
        return inputs.back().get();
    };
    const Outputs out{dir + "/saved-korvalis.fits", dir + "/saved-cfitsio.fits", dir + "/saved-floor.fits"};

    if (!profile.empty()) {
        // Only the module's open or save of the largest image, over and over: what a
        // profiler attached to this process should see.
        std::string what = profile.substr(0, 4), which = profile.substr(4);
        Coding coding = which == "u8"       ? Coding::bytes8
                        : which == "signed" ? Coding::signed16
                        : which == "f32"    ? Coding::float32
                                            : Coding::unsigned16;
        const Input &input = *inputFor(coding, mainSizes[0]);
        auto image = touchedImage(input);
        std::memcpy(image.get(), input.host.data(), input.host.size());
        HostCounts counts;
        std::vector<double> times;
        for (int run = 0; run < runs * 5; ++run) {
            double start = seconds();
            std::string problem = what == "open" ? korvalisOpen(input, image.get(), &counts)
                                                 : korvalisSave(input, out.korvalis, &counts);
            times.push_back(seconds() - start);
            if (!problem.empty()) {
                std::fprintf(stderr, "FAILED: %s\n", problem.c_str());
                return 1;
            }
        }
        std::printf("Korvalis %s, %s, %s: median %.2f ms of %zu\n", what.c_str(), codingName(coding),
                    sizeText(input).c_str(), median(times) * 1e3, times.size());
        for (auto &each : inputs)
            unlink(each->path.c_str());
        unlink(out.korvalis.c_str());
        return 0;
    }

    std::printf("fits_bench: %d runs per method (median), files in %s%s\n\n", runs, dir.c_str(),
                tiny ? ", tiny mode: the times mean nothing" : "");
    std::printf("| operation | coding | image | method | median ms | MB/s | Korvalis ÷ method | target |\n");
    std::printf("|---|---|---|---|---:|---:|---:|---|\n");

    struct HeapLine {
        std::string operation;
        int64_t imageBytes, buffers, platform;
    };
    std::vector<HeapLine> heapLines;

    for (size_t s = 0; s < mainSizes.size(); ++s) {
        const bool largest = s == 0;
        for (Coding coding : {Coding::unsigned16, Coding::signed16, Coding::bytes8, Coding::float32}) {
            const Input &input = *inputFor(coding, mainSizes[s]);
            auto image = touchedImage(input);
            uint8_t *pixels = image.get();
            HostCounts counts;

            std::vector<Method> open;
            open.push_back(makeMethod("Korvalis", [&] { return korvalisOpen(input, pixels, &counts); }, imageCheck(input, pixels)));
            open.push_back(makeMethod("cfitsio fits_read_img", [&] { return cfitsioOpen(input, pixels); }, imageCheck(input, pixels)));
            auto floorImage = touchedImage(input);
            uint8_t *floorPixels = floorImage.get();
            if (coding == Coding::float32)
                open.push_back(makeMethod("floor: read(2) per row twice + range + conversion",
                                          [&] { return floorOpenFloat(input, floorPixels); },
                                          imageCheck(input, floorPixels)));
            else if (coding == Coding::signed16)
                open.push_back(makeMethod("floor: read(2) per row twice + smallest + shift",
                                          [&] { return floorOpenSigned(input, floorPixels); },
                                          imageCheck(input, floorPixels)));
            else
                open.push_back(makeMethod("floor: read(2) + swap per row", [&] { return floorOpen(input, floorPixels); },
                                          imageCheck(input, floorPixels)));
            timeMethods(&open, runs);
            const bool is16 = coding == Coding::unsigned16;
            printLine("open", input, open[0], open[0], 0, judge);
            printLine("open", input, open[1], open[0], is16 && largest ? 0.55 : 0, judge);
            const bool slowCoding = coding == Coding::signed16 || coding == Coding::float32;
            printLine("open", input, open[2], open[0], largest ? (slowCoding ? 1.5 : 1.25) : 0, judge && largest);
            if (largest) {
                std::memcpy(pixels, input.host.data(), input.host.size());
                startHeapCount();
                std::string problem = korvalisOpen(input, pixels, &counts);
                HeapCount heap = stopHeapCount();
                if (!problem.empty())
                    allPassed = false;
                heapLines.push_back({std::string("open, ") + codingName(coding), static_cast<int64_t>(input.host.size()),
                                     counts.bufferBytesPeak, heap.peak});
            }

            if (coding == Coding::signed16 || coding == Coding::float32)
                continue; // a save writes 16-bit samples whatever was read: the same as above
            std::memcpy(pixels, input.host.data(), input.host.size());
            std::vector<Method> save;
            save.push_back(makeMethod("Korvalis", [&] { return korvalisSave(input, out.korvalis, &counts); },
                            fileCheck(input, out.korvalis)));
            save.push_back(makeMethod("cfitsio fits_write_img", [&] { return cfitsioSave(input, pixels, out.cfitsio); },
                            fileCheck(input, out.cfitsio)));
            save.push_back(makeMethod("floor: copy + swap + write(2) per row", [&] { return floorSave(input, pixels, out.floor); },
                            fileCheck(input, out.floor)));
            timeMethods(&save, runs);
            printLine("save", input, save[0], save[0], 0, judge);
            printLine("save", input, save[1], save[0], is16 && largest ? 0.75 : 0, judge);
            printLine("save", input, save[2], save[0], largest ? 1.25 : 0, judge && largest);
            if (largest) {
                startHeapCount();
                std::string problem = korvalisSave(input, out.korvalis, &counts);
                HeapCount heap = stopHeapCount();
                if (!problem.empty())
                    allPassed = false;
                heapLines.push_back({std::string("save, ") + codingName(coding), static_cast<int64_t>(input.host.size()),
                                     counts.bufferBytesPeak, heap.peak});
            }
        }
    }

    std::printf("\nModule heap at its peak, %s (platform heap: the scratch row and the session block, counted "
                "through --wrap of malloc/calloc/free; the header work area is static)\n\n",
                sizeText(*inputFor(Coding::unsigned16, mainSizes[0])).c_str());
    std::printf("| operation | image bytes | host buffers | platform heap | total | total ÷ image |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (const HeapLine &line : heapLines) {
        if (line.platform < 0) {
            std::printf("| %s | %lld | %lld | not counted | | |\n", line.operation.c_str(),
                        static_cast<long long>(line.imageBytes), static_cast<long long>(line.buffers));
            allPassed = false;
            continue;
        }
        int64_t total = line.buffers + line.platform;
        std::printf("| %s | %lld | %lld | %lld | %lld | %.5f |\n", line.operation.c_str(),
                    static_cast<long long>(line.imageBytes), static_cast<long long>(line.buffers),
                    static_cast<long long>(line.platform), static_cast<long long>(total),
                    static_cast<double>(total) / static_cast<double>(line.imageBytes));
    }

    std::printf("\nScaling, 16-bit BZERO 32768 (header: FilterFile to ReadFinish without the rows)\n\n");
    std::printf("| image | MB | open ms | open MB/s | open floor ms | open ÷ floor | header ms | save ms | save MB/s | "
                "save floor ms | save ÷ floor |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (Sizes size : scalingSizes) {
        const Input &input = *inputFor(Coding::unsigned16, size);
        auto image = touchedImage(input);
        uint8_t *pixels = image.get();
        auto source = touchedImage(input);
        std::memcpy(source.get(), input.host.data(), input.host.size());
        const uint8_t *sourcePixels = source.get();
        HostCounts counts;
        std::vector<Method> methods;
        methods.push_back(makeMethod("open", [&] { return korvalisOpen(input, pixels, &counts); }, imageCheck(input, pixels)));
        methods.push_back(makeMethod("open floor", [&] { return floorOpen(input, pixels); }, imageCheck(input, pixels)));
        methods.push_back(makeMethod("header", [&] { return korvalisOpen(input, pixels, &counts, true); }, nullptr));
        methods.push_back(makeMethod("save", [&] { return korvalisSave(input, out.korvalis, &counts); },
                           fileCheck(input, out.korvalis)));
        methods.push_back(makeMethod("save floor", [&] { return floorSave(input, sourcePixels, out.floor); },
                           fileCheck(input, out.floor)));
        // Small images take little time each; more runs steady their medians.
        int scaledRuns = input.host.size() < (size_t{16} << 20) ? runs * 5 : runs;
        timeMethods(&methods, scaledRuns);
        bool failed = std::any_of(methods.begin(), methods.end(), [](const Method &m) { return !m.failure.empty(); });
        if (failed) {
            std::printf("| %s | FAILED | | | | | | | | | |\n", sizeText(input).c_str());
            continue;
        }
        auto ms = [&](int i) { return methods[static_cast<size_t>(i)].seconds() * 1e3; };
        std::printf("| %s | %.2f | %.3f | %.0f | %.3f | %.2f | %.3f | %.3f | %.0f | %.3f | %.2f |\n",
                    sizeText(input).c_str(), static_cast<double>(input.host.size()) / 1e6, ms(0),
                    megabytesPerSecond(input, methods[0].seconds()), ms(1), ms(0) / ms(1), ms(2), ms(3),
                    megabytesPerSecond(input, methods[3].seconds()), ms(4), ms(3) / ms(4));
    }

    for (const std::string &path : {out.korvalis, out.cfitsio, out.floor})
        unlink(path.c_str());
    for (auto &input : inputs)
        unlink(input->path.c_str());
    std::printf("\n%s\n", allPassed ? "every method produced the expected pixels" : "SOME METHODS FAILED");
    return allPassed ? 0 : 1;
}
