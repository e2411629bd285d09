// Every kind of FITS image data through the module, judged by cfitsio's physical values: files
// that cfitsio and astropy write with every BITPIX, blanks, scaling, planes and row order open
// with the host values that the mapping into 16 bits gives (computed here from cfitsio's
// values, not from the module's), and a save in the same session gives the physical values
// and the blanks back to cfitsio and passes fitsverify. Files of several HDUs and long headers
// open the image the module finds first and save it with every card of the header it came with.
#include <gtest/gtest.h>

#include <fitsio.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "tests/corpus/merged_header.h"
#include "tests/fake_host.h"
#include "tests/mapping_oracle.h"
#include "tests/real_files.h"

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// The files: written by cfitsio from stored values, or by astropy from a numpy expression

struct KindCase {
    const char *name;
    int bitpix;
    std::vector<long> axes;   // NAXIS1, NAXIS2 and any further axes
    std::vector<double> stored; // cycled over the whole image, cast by cfitsio to the file's type
    double bzero = 0.0, bscale = 1.0; // written as keys when not 0 and 1
    bool blankKey = false;
    long long blank = 0;
    const char *rowOrder = nullptr;
    const char *astropy = nullptr; // a numpy expression for `data`; astropy writes the file instead
};

std::string writeWithCfitsio(const std::string &path, const KindCase &c) {
    int status = 0;
    fitsfile *file = nullptr;
    std::string name = "!" + path;
    std::vector<long> axes = c.axes;
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, c.bitpix, static_cast<int>(axes.size()), axes.data(), &status);
    if (c.bzero != 0.0 || c.bscale != 1.0) {
        double bscale = c.bscale, bzero = c.bzero;
        fits_write_key(file, TDOUBLE, "BSCALE", &bscale, "stored times this", &status);
        fits_write_key(file, TDOUBLE, "BZERO", &bzero, "plus this", &status);
    }
    if (c.blankKey) {
        LONGLONG blank = c.blank;
        fits_write_key(file, TLONGLONG, "BLANK", &blank, "undefined pixels", &status);
    }
    if (c.rowOrder != nullptr)
        fits_write_key(file, TSTRING, "ROWORDER", const_cast<char *>(c.rowOrder), "order of the rows", &status);
    fits_set_bscale(file, 1.0, 0.0, &status); // the values go in as stored
    long count = 1;
    for (long side : axes)
        count *= side;
    std::vector<double> values(static_cast<size_t>(count));
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = c.stored[i % c.stored.size()];
    fits_write_img(file, TDOUBLE, 1, count, values.data(), &status);
    fits_close_file(file, &status);
    return status == 0 ? std::string() : cfitsioError(status);
}

std::string writeWithAstropy(const std::string &path, const KindCase &c) {
    std::string script = "import numpy as np\nfrom astropy.io import fits\ndata = " + std::string(c.astropy) +
                         "\nh = fits.PrimaryHDU(data)\n";
    if (c.rowOrder != nullptr)
        script += "h.header['ROWORDER'] = '" + std::string(c.rowOrder) + "'\n";
    script += "h.writeto('" + path + "', overwrite=True)\n";
    std::string scriptPath = path + ".py";
    FILE *file = std::fopen(scriptPath.c_str(), "w");
    if (file == nullptr)
        return "cannot write " + scriptPath;
    std::fputs(script.c_str(), file);
    std::fclose(file);
    // Debian's python3, which has numpy and astropy (a python3 earlier on PATH may not).
    std::string command = "/usr/bin/python3 '" + scriptPath + "' 2>&1";
    return std::system(command.c_str()) == 0 ? std::string() : "astropy failed on: " + script;
}

// ---------------------------------------------------------------------------------------------
// cfitsio's reading: physical values, blanks as NaN

struct Physical {
    int status = 0;
    int bitpix = 0;
    std::vector<long> axes;
    std::vector<double> values; // NaN for a blank: cfitsio's null, or not finite
    std::vector<long long> stored;
    bool bottomUp = false;
    double bzero = 0.0, bscale = 1.0;
    bool hasBlank = false;
    long long blank = 0;
};

// `hdu`: cfitsio's number of the HDU, from 1 (the primary).
Physical readWithCfitsio(const std::string &path, int hdu = 1) {
    Physical image;
    int &status = image.status;
    fitsfile *file = nullptr;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    if (status != 0)
        return image;
    fits_movabs_hdu(file, hdu, nullptr, &status);
    int naxis = 0;
    long axes[9] = {};
    fits_get_img_param(file, 9, &image.bitpix, &naxis, axes, &status);
    image.axes.assign(axes, axes + naxis);
    long count = 1;
    for (long side : image.axes)
        count *= side;
    char order[FLEN_VALUE] = {};
    int keyStatus = 0;
    fits_read_key(file, TSTRING, "ROWORDER", order, nullptr, &keyStatus);
    image.bottomUp = keyStatus == 0 && std::strcmp(order, "BOTTOM-UP") == 0;
    keyStatus = 0;
    fits_read_key(file, TDOUBLE, "BZERO", &image.bzero, nullptr, &keyStatus);
    keyStatus = 0;
    fits_read_key(file, TDOUBLE, "BSCALE", &image.bscale, nullptr, &keyStatus);
    keyStatus = 0;
    fits_read_key(file, TLONGLONG, "BLANK", &image.blank, nullptr, &keyStatus);
    image.hasBlank = keyStatus == 0;
    image.values.resize(static_cast<size_t>(count));
    std::vector<char> nulls(static_cast<size_t>(count));
    int anyNull = 0;
    fits_read_imgnull(file, TDOUBLE, 1, count, image.values.data(), nulls.data(), &anyNull, &status);
    for (size_t i = 0; i < nulls.size(); ++i)
        if (nulls[i] != 0 || !std::isfinite(image.values[i]))
            image.values[i] = nan;
    if (std::abs(image.bitpix) <= 16) {
        fits_set_bscale(file, 1.0, 0.0, &status);
        image.stored.resize(static_cast<size_t>(count));
        fits_read_img(file, TLONGLONG, 1, count, nullptr, image.stored.data(), &anyNull, &status);
    }
    fits_close_file(file, &status);
    return image;
}

// ---------------------------------------------------------------------------------------------
// The mapping into the host's 16 bits, as the module promises it, from cfitsio's values

// Checks one host value against the mapping; returns a complaint or "". A constant image
// maps to one value, the one its first sample took.
std::string judgeHostValue(const Mapping &m, double physical, long host, long constantHost) {
    double ideal = -1.0;
    long want = static_cast<long>(mappedValue(m, physical, &ideal));
    if (m.kind == Mapping::constant && !std::isnan(physical))
        want = constantHost >= (m.blanks ? 1 : 0) ? constantHost : -1;
    if (ideal >= 0.0)
        return std::fabs(static_cast<double>(host) - ideal) <= 0.5 + 1e-6
                   ? ""
                   : "value " + std::to_string(physical) + " is " + std::to_string(host) + ", ideal " +
                         std::to_string(ideal);
    return host == want ? "" : "value " + std::to_string(physical) + " is " + std::to_string(host) + ", expected " +
                                   std::to_string(want);
}

// 8-bit samples as stored; 16-bit ones by the 16-bit rule over the whole image.
std::vector<long> narrowHostValues(const Physical &file) {
    if (file.bitpix == 8)
        return std::vector<long>(file.stored.begin(), file.stored.end());
    const std::vector<int16_t> stored(file.stored.begin(), file.stored.end());
    const std::vector<uint16_t> host = hostSamplesOf16(stored, file.bzero, file.bscale, file.hasBlank, file.blank);
    return std::vector<long>(host.begin(), host.end());
}

// ---------------------------------------------------------------------------------------------
// The module, as a host drives it

struct ModuleRun {
    std::vector<int16_t> codes;
    bool ok() const {
        return std::all_of(codes.begin(), codes.end(), [](int16_t c) { return c == noErr; });
    }
};

ModuleRun runSelectors(int file, std::initializer_list<int16_t> selectors) {
    fakeHost.record.dataFork = file;
    fakeHost.advanceCalls.clear();
    fakeHost.progressCalls.clear();
    ModuleRun run;
    for (int16_t selector : selectors)
        run.codes.push_back(callModule(selector));
    return run;
}

ModuleRun openThroughModule(int file) {
    fakeHost.image.clear();
    return runSelectors(file, {formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                               formatSelectorReadContinue, formatSelectorReadFinish});
}

ModuleRun saveThroughModule(int file) {
    return runSelectors(file, {formatSelectorOptionsPrepare, formatSelectorOptionsStart,
                               formatSelectorEstimatePrepare, formatSelectorEstimateStart,
                               formatSelectorWritePrepare, formatSelectorWriteStart, formatSelectorWriteFinish});
}

std::string codesText(const ModuleRun &run) {
    std::string text;
    for (int16_t code : run.codes)
        text += std::to_string(code) + " ";
    return text;
}

long hostSample(size_t index) {
    const FormatRecord &r = fakeHost.record;
    if (r.depth == 8)
        return fakeHost.image[index];
    uint16_t value;
    std::memcpy(&value, fakeHost.image.data() + 2 * index, 2);
    return value;
}


struct ImageKindsTest : ::testing::Test {
    std::string folder;
    std::vector<int> files;

    void SetUp() override {
        char name[] = "/tmp/korvalis-kinds-XXXXXX";
        const char *made = mkdtemp(name);
        ASSERT_NE(made, nullptr);
        folder = made;
        resetFakeHost();
    }
    void TearDown() override {
        resetFakeHost();
        for (int file : files)
            close(file);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string pathFor(const std::string &name) const { return folder + "/" + name; }
    int openFile(const std::string &path, bool writing) {
        int file = writing ? open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644) : open(path.c_str(), O_RDONLY);
        if (file >= 0)
            files.push_back(file);
        return file;
    }
    // Saves the host image as it stands to `name`; the file's bytes.
    std::vector<uint8_t> save(const std::string &name) {
        fakeHost.record.dataFork = 0;
        setHostImage(fakeHost.record.imageSize.v, fakeHost.record.imageSize.h, fakeHost.record.depth,
                     fakeHost.record.planes, fakeHost.image);
        ModuleRun run = saveThroughModule(openFile(pathFor(name), true));
        EXPECT_TRUE(run.ok()) << codesText(run);
        return fileBytes(pathFor(name));
    }
};

std::vector<KindCase> kindCases() {
    const std::vector<long> plane{7, 5};
    const std::vector<double> spread{-3.25, 1e6, 0.5, 17.0, -1e-3, 123456.789, 2.0, -40000.0};
    const std::vector<double> withBlanks{nan, 1.5, -2.75, inf, 8.0, -inf, 1000.125, nan, 3.0};
    std::vector<KindCase> c;
    c.push_back({"32-bit, whole numbers within 0..65535: identity", LONG_IMG, plane, {0, 65535, 7, 300, 40000, 1}});
    c.push_back({"32-bit, a span that fits: offset", LONG_IMG, plane, {-70000, -4465, -69999, -12345, -50000}});
    c.push_back({"32-bit, the widest span: linear", LONG_IMG, plane, {-2147483648.0, 2147483647.0, 0, 12345, -99}});
    KindCase blank32{"32-bit with BLANK: identity from 1", LONG_IMG, plane, {-999, 1, 65535, 250, -999, 17}};
    blank32.blankKey = true;
    blank32.blank = -999;
    c.push_back(blank32);
    KindCase scaled32{"32-bit, BSCALE 0.001 BZERO 5, BLANK", LONG_IMG, plane, {-2147483647.0, 7, 5000, 2147483647.0, 0}};
    scaled32.bscale = 0.001;
    scaled32.bzero = 5.0;
    scaled32.blankKey = true;
    scaled32.blank = 0; // compared before scaling: stored 0 is a blank, not physical 5
    c.push_back(scaled32);
    c.push_back({"64-bit, near the ends of the range: linear", LONGLONG_IMG, plane,
                 {-9.2e18, 9.2e18, 0.0, 4.6e18, -1.0, 123456789.0}});
    KindCase blank64{"64-bit with BLANK at the most negative value: offset", LONGLONG_IMG, plane,
                     {-9223372036854775808.0, 1e12, 1e12 + 60000, 1e12 + 5}};
    blank64.blankKey = true;
    blank64.blank = std::numeric_limits<long long>::min();
    c.push_back(blank64);
    c.push_back({"-32, spread: linear", FLOAT_IMG, plane, spread});
    c.push_back({"-32, NaN and infinities as blanks", FLOAT_IMG, plane, withBlanks});
    c.push_back({"-32, whole numbers within 0..65535: identity", FLOAT_IMG, plane, {0, 65535, 12, 3000, 0, 1}});
    c.push_back({"-32, whole numbers with a span that fits: offset", FLOAT_IMG, plane, {-500, 500, 0, -1, 77}});
    KindCase scaledFloat{"-32 with BSCALE 2.5 BZERO -1", FLOAT_IMG, plane, {0.25, -8.5, 3.0, 1e4, nan}};
    scaledFloat.bscale = 2.5;
    scaledFloat.bzero = -1.0;
    c.push_back(scaledFloat);
    c.push_back({"-64, a constant that is not whole", DOUBLE_IMG, plane, {3.25}});
    c.push_back({"-64, a constant out of range with blanks", DOUBLE_IMG, plane, {-1e9, nan, -1e9}});
    c.push_back({"-64, blanks only", DOUBLE_IMG, plane, {nan}});
    // A span beyond the largest double, whose step and BZERO still fit one.
    c.push_back({"-64, a span of 2e308", DOUBLE_IMG, plane, {-1e308, 1e308, 0.0, 1e300, -5e307, 1.0}});
    c.push_back({"-64, tiny values: linear", DOUBLE_IMG, plane, {1e-300, 3e-300, 2e-300, 2.5e-300, nan}});
    c.push_back({"-32, 3 planes: RGB", FLOAT_IMG, {7, 5, 3}, spread});
    c.push_back({"32-bit, 5 planes: multichannel", LONG_IMG, {6, 4, 5}, {1, -70000, 5, 2000000, 33}});
    c.push_back({"-64, 2 planes: multichannel", DOUBLE_IMG, {3, 4, 2}, withBlanks});
    c.push_back({"-32, NAXIS3 = 1: grey", FLOAT_IMG, {7, 5, 1}, spread});
    c.push_back({"-32, 3 planes and NAXIS4 = 1", FLOAT_IMG, {5, 4, 3, 1}, withBlanks});
    c.push_back({"-64, NAXIS3 = 1, NAXIS4 = 1 and NAXIS5 = 1", DOUBLE_IMG, {4, 3, 1, 1, 1}, spread});
    KindCase bottomUp{"-32, ROWORDER = 'BOTTOM-UP'", FLOAT_IMG, plane, spread};
    bottomUp.rowOrder = "BOTTOM-UP";
    c.push_back(bottomUp);
    KindCase topDown = bottomUp;
    topDown.name = "-32, ROWORDER = 'TOP-DOWN'";
    topDown.rowOrder = "TOP-DOWN";
    c.push_back(topDown);
    KindCase bottomUpCube{"32-bit RGB cube, BOTTOM-UP", LONG_IMG, {5, 4, 3}, {1, 2, 3, 65535, 0, 9}};
    bottomUpCube.rowOrder = "BOTTOM-UP";
    c.push_back(bottomUpCube);
    // 8 and 16 bits: unsigned and whole values in 0..65535 as they are, any other 16-bit data
    // the stored samples shifted, so that no value is lost.
    KindCase cube16{"16-bit RGB cube, BZERO 32768", SHORT_IMG, {6, 5, 3}, {-32768, 32767, 0, -1, 1234}};
    cube16.bzero = 32768.0;
    c.push_back(cube16);
    c.push_back({"16-bit signed, no negatives: identity", SHORT_IMG, plane, {0, 5, 32767, 1200}});
    c.push_back({"16-bit signed with negatives: shifted", SHORT_IMG, plane, {-900, 4000, 0, -1, 17}});
    c.push_back({"16-bit, the whole signed span: shifted", SHORT_IMG, plane, {-32768, 32767, 0, 5}});
    KindCase fraction16{"16-bit, BSCALE 0.0458 BZERO 1500: shifted", SHORT_IMG, plane, {-300, 2500, 7, -32768}};
    fraction16.bzero = 1500.0;
    fraction16.bscale = 0.0458;
    c.push_back(fraction16);
    KindCase blank16{"16-bit, BLANK -32768 beside negatives: shifted, blanks 0", SHORT_IMG, plane, {-32768, -5, 300, 0}};
    blank16.blankKey = true;
    blank16.blank = -32768;
    c.push_back(blank16);
    KindCase bytesBottomUp{"8-bit, BOTTOM-UP", BYTE_IMG, plane, {0, 255, 7, 128, 64}};
    bytesBottomUp.rowOrder = "BOTTOM-UP";
    c.push_back(bytesBottomUp);
    // astropy's own codings.
    auto astropy = [](const char *name, const char *expression) {
        KindCase k{name, 0, {}, {}};
        k.astropy = expression;
        return k;
    };
    c.push_back(astropy("astropy: float32 with NaN",
                        "np.where(np.arange(35).reshape(5, 7) % 6 == 0, np.nan, np.linspace(-1, 1, 35).reshape(5, 7))"
                        ".astype(np.float32)"));
    c.push_back(astropy("astropy: uint32 (BZERO 2147483648)",
                        "(np.arange(35, dtype=np.uint32).reshape(5, 7) * 122713351).astype(np.uint32)"));
    c.push_back(astropy("astropy: int64", "np.arange(-17, 18, dtype=np.int64).reshape(5, 7) * 10**15"));
    c.push_back(astropy("astropy: float64 RGB cube", "np.sin(np.arange(105.0)).reshape(3, 5, 7)"));
    c.push_back(astropy("astropy: int8 (BZERO -128)", "np.arange(-17, 18, dtype=np.int8).reshape(5, 7)"));
    KindCase astropyBottomUp = astropy("astropy: float32 BOTTOM-UP", "np.arange(35, dtype=np.float32).reshape(5, 7) / 3");
    astropyBottomUp.rowOrder = "BOTTOM-UP";
    c.push_back(astropyBottomUp);
    return c;
}

// The host image position of file sample `index`: the file's first row is the host's top,
// or its bottom when the file says BOTTOM-UP.
size_t hostIndex(const Physical &file, size_t index) {
    const size_t columns = static_cast<size_t>(file.axes[0]), rows = static_cast<size_t>(file.axes[1]);
    const size_t plane = index / (columns * rows), row = index / columns % rows, column = index % columns;
    const size_t hostRow = file.bottomUp ? rows - 1 - row : row;
    return (plane * rows + hostRow) * columns + column;
}

long planesOf(const Physical &file) { return file.axes.size() >= 3 ? file.axes[2] : 1; }

// Every host sample against the mapping (or the unchanged 8/16-bit conversion).
void expectHostSamples(const Physical &file) {
    const bool wide = file.bitpix != 8 && file.bitpix != 16;
    const Mapping m = chooseMapping(file.values);
    const long constantHost = m.kind == Mapping::constant ? hostSample(hostIndex(file, 0)) : -1;
    const std::vector<long> narrow = wide ? std::vector<long>{} : narrowHostValues(file);
    int wrong = 0;
    for (size_t i = 0; i < file.values.size() && wrong < 5; ++i) {
        const long host = hostSample(hostIndex(file, i));
        std::string complaint = wide ? judgeHostValue(m, file.values[i], host, constantHost)
                                : host == narrow[i]
                                    ? ""
                                    : "stored " + std::to_string(file.stored[i]) + " is " + std::to_string(host);
        if (!complaint.empty()) {
            ADD_FAILURE() << "sample " << i << " (" << kindName(m) << "): " << complaint;
            ++wrong;
        }
    }
}

// The saved file gives cfitsio the physical values back: within half a step of the mapping.
void expectSavedValues(const Physical &file, const Physical &saved) {
    const bool wide = file.bitpix != 8 && file.bitpix != 16;
    const Mapping m = chooseMapping(file.values);
    ASSERT_EQ(saved.values.size(), file.values.size());
    int wrong = 0;
    for (size_t i = 0; i < file.values.size() && wrong < 5; ++i) {
        const double want = file.values[i], got = saved.values[i];
        // 8 and 16 bits come back exactly (to the digits BZERO carries).
        const double tolerance = wide ? m.step / 2 * (1 + 1e-9) + std::fabs(want) * 1e-13 : std::fabs(want) * 1e-15;
        const bool holds = std::isnan(want) ? std::isnan(got) : std::fabs(got - want) <= tolerance;
        if (!holds) {
            ADD_FAILURE() << "saved sample " << i << " is " << got << ", was " << want << " (" << kindName(m) << ", step "
                          << m.step << ")";
            ++wrong;
        }
    }
}

TEST_F(ImageKindsTest, EveryKindOpensWithTheMappingOfCfitsiosValuesAndSavesThemBack) {
    for (const KindCase &c : kindCases()) {
        SCOPED_TRACE(c.name);
        const std::string in = pathFor("in.fits");
        ASSERT_EQ(c.astropy != nullptr ? writeWithAstropy(in, c) : writeWithCfitsio(in, c), "");
        const Physical file = readWithCfitsio(in);
        ASSERT_EQ(file.status, 0) << cfitsioError(file.status);
        ASSERT_EQ(fitsverifyFindings(in), "") << "the input itself is clean";
        const bool wide = file.bitpix != 8 && file.bitpix != 16;

        resetFakeHost();
        const ModuleRun opened = openThroughModule(openFile(in, false));
        ASSERT_TRUE(opened.ok()) << codesText(opened);
        const FormatRecord &r = fakeHost.record;
        const long planes = planesOf(file);
        EXPECT_EQ(r.imageSize.h, file.axes[0]);
        EXPECT_EQ(r.imageSize.v, file.axes[1]);
        EXPECT_EQ(r.planes, planes);
        EXPECT_EQ(r.depth, wide ? 16 : file.bitpix);
        EXPECT_EQ(r.imageMode, planes == 1   ? plugInModeGrayScale
                               : planes == 3 ? plugInModeRGBColor
                                             : plugInModeMultichannel);
        ASSERT_EQ(fakeHost.image.size(), file.values.size() * static_cast<size_t>(r.depth / 8));

        const Mapping m = chooseMapping(file.values);
        expectHostSamples(file);

        // Saved in the same session: the kept header carries the mapping back to cfitsio.
        save("saved.fits");
        const Physical saved = readWithCfitsio(pathFor("saved.fits"));
        ASSERT_EQ(saved.status, 0) << cfitsioError(saved.status);
        EXPECT_EQ(fitsverifyFindings(pathFor("saved.fits")), "");
        EXPECT_EQ(saved.bitpix, r.depth);
        EXPECT_EQ(saved.axes, file.axes) << "the axes are kept, those of length 1 too";
        EXPECT_EQ(saved.bottomUp, file.bottomUp) << "ROWORDER is kept";
        // Blanks go out as BLANK -32768 (wide kinds and 16-bit data, whose blanks the values
        // leave a host value for).
        EXPECT_EQ(saved.hasBlank, file.bitpix != 8 && m.blanks);
        if (saved.hasBlank) {
            EXPECT_EQ(saved.blank, -32768);
        }
        expectSavedValues(file, saved);
    }
}

// An image the module saved opens again as the same image, and saving it again writes the
// same bytes: the module's own cubes fresh from a host, and images opened under each mapping.
TEST_F(ImageKindsTest, ASavedCubeOpensAgainAndSavesToTheSameBytes) {
    struct Source {
        const char *name;
        KindCase input; // bitpix 0: a host RGB image saved with a fresh header
        int16_t depth;
    };
    const Source sources[] = {
        {"8-bit RGB from the host", {}, 8},
        {"16-bit multichannel from the host", {}, 16},
        {"32-bit cube mapped by identity", {"", LONG_IMG, {6, 4, 3}, {0, 65535, 9, 4000}}, 16},
        {"-32 cube with blanks mapped by identity", {"", FLOAT_IMG, {6, 4, 5}, {7, 60000, nan, 3}}, 16},
        {"-32 of 0.2 +- 0.05 with a blank, mapped linearly", {"", FLOAT_IMG, {6, 4}, {0.2, 0.15, 0.25, nan, 0.21}}, 16},
        {"16-bit with negatives, shifted", {"", SHORT_IMG, {6, 4}, {-900, 4000, 0, 17}}, 16},
        {"16-bit with a fractional BSCALE, shifted", {"", SHORT_IMG, {6, 4}, {-3, 4000, 1}, 1500.5, 0.0458}, 16},
    };
    for (const Source &s : sources) {
        SCOPED_TRACE(s.name);
        resetFakeHost();
        if (s.input.bitpix == 0) {
            const int16_t planes = s.depth == 8 ? 3 : 4;
            std::vector<uint8_t> pixels(static_cast<size_t>(6 * 4 * planes * (s.depth / 8)));
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = static_cast<uint8_t>(i * 37 + 11);
            setHostImage(4, 6, s.depth, planes, pixels);
        } else {
            ASSERT_EQ(writeWithCfitsio(pathFor("in.fits"), s.input), "");
            ASSERT_TRUE(openThroughModule(openFile(pathFor("in.fits"), false)).ok());
        }
        const std::vector<uint8_t> first = save("first.fits");
        const std::vector<uint8_t> image = fakeHost.image;

        resetFakeHost(); // a new session: the saved file's header is the one kept
        const ModuleRun reopened = openThroughModule(openFile(pathFor("first.fits"), false));
        ASSERT_TRUE(reopened.ok()) << codesText(reopened);
        EXPECT_TRUE(fakeHost.image == image) << "the saved cube opens as the image saved";
        const std::vector<uint8_t> second = save("second.fits");
        EXPECT_TRUE(first == second) << "saving it again writes other bytes";
    }
}

// ---------------------------------------------------------------------------------------------
// Images in extensions and long headers: the image the module opens is the primary's, or after
// an empty primary the first image extension it reads, and a save keeps every card of the
// header it came with (an extension's merged into the primary's, merged_header.h)

// The cards of HDU `hdu`'s header, from its first to END, as the bytes stand in the file.
std::vector<std::string> hduCards(const std::string &path, int hdu) {
    int status = 0;
    fitsfile *file = nullptr;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    fits_movabs_hdu(file, hdu, nullptr, &status);
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    fits_close_file(file, &status);
    const std::vector<uint8_t> bytes = fileBytes(path);
    std::vector<std::string> cards;
    for (size_t at = static_cast<size_t>(headStart); status == 0 && at + 80 <= bytes.size(); at += 80) {
        cards.emplace_back(reinterpret_cast<const char *>(bytes.data() + at), 80);
        if (cards.back().compare(0, 8, "END     ") == 0)
            break;
    }
    return cards;
}

// The cards a save leaves as they were: all but those it rewrites or inserts.
std::vector<std::string> untouchedCards(const std::vector<std::string> &cards, bool wide) {
    static const std::set<std::string> rewritten{"BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ", "NAXIS3  ",
                                                 "BZERO   ", "BSCALE  ", "KORVALIS", "CHECKSUM", "DATASUM "};
    std::vector<std::string> kept;
    for (const std::string &card : cards)
        if (rewritten.count(card.substr(0, 8)) == 0 && !(wide && card.compare(0, 8, "BLANK   ") == 0))
            kept.push_back(card);
    return kept;
}

// fitsverify's findings in every HDU, card numbers left out (a save moves cards).
std::set<std::string> fitsverifySet(const std::string &path) {
    std::set<std::string> findings;
    FILE *pipe = popen(("fitsverify '" + path + "' 2>&1").c_str(), "r");
    char line[1024];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text = line;
        if (text.compare(0, 4, "*** ") != 0)
            continue;
        for (size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at + 1))
            text.erase(at + 1, std::min(text.find_first_not_of("0123456789", at + 1), text.size()) - at - 1);
        findings.insert(text);
    }
    if (pipe != nullptr)
        pclose(pipe);
    return findings;
}

std::string writeWithCfitsioHdus(const std::string &path, void (*write)(fitsfile *, int *)) {
    int status = 0;
    fitsfile *file = nullptr;
    fits_create_file(&file, ("!" + path).c_str(), &status);
    write(file, &status);
    fits_close_file(file, &status);
    return status == 0 ? std::string() : cfitsioError(status);
}

void writeKey(fitsfile *file, const char *keyword, double value, int *status) {
    fits_write_key(file, TDOUBLE, keyword, &value, nullptr, status);
}

void writeStored(fitsfile *file, std::vector<double> values, int *status) {
    fits_set_bscale(file, 1.0, 0.0, status);
    fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), status);
}

// A primary that declares samples it has none of, then a 16-bit image with its own coding.
void primaryCodingThenScaledExtension(fitsfile *file, int *status) {
    fits_create_img(file, SHORT_IMG, 0, nullptr, status);
    writeKey(file, "BZERO", 32768.0, status);
    writeKey(file, "BSCALE", 3.0, status);
    fits_write_key(file, TSTRING, "OBJECT", const_cast<char *>("from the primary"), nullptr, status);
    long axes[] = {7, 5};
    fits_create_img(file, SHORT_IMG, 2, axes, status);
    writeKey(file, "BSCALE", 0.5, status);
    writeKey(file, "BZERO", 100.0, status);
    std::vector<double> stored;
    for (int i = 0; i < 35; ++i)
        stored.push_back(i * 1871 % 65536 - 32768);
    writeStored(file, stored, status);
}

// A primary image of 8 bits with a header of 5 blocks.
void fiveBlockPrimary(fitsfile *file, int *status) {
    long axes[] = {7, 5};
    fits_create_img(file, BYTE_IMG, 2, axes, status);
    for (int i = 0; i < 150; ++i)
        fits_write_history(file, ("processing step " + std::to_string(i)).c_str(), status);
    std::vector<double> stored;
    for (int i = 0; i < 35; ++i)
        stored.push_back(i * 7 % 256);
    writeStored(file, stored, status);
}

struct HduCase {
    const char *name;
    const char *astropy;                     // python that puts the HDUs into `hdus`
    void (*cfitsio)(fitsfile *, int *);      // or cfitsio writes them
    int hdu;                                 // cfitsio's number of the HDU that opens; 0 refused
    const char *refusal;                     // the refusal's words
};

// Python shared by the astropy cases: a primary of metadata (a long string, HIERARCH cards,
// history) and image extensions of their own metadata, some of the same keywords.
constexpr char astropyPreamble[] = R"(import numpy as np
from astropy.io import fits
def history(h, n, tag):
    for i in range(n): h.add_history(f'{tag} step {i}')
def primary(cards=0):
    p = fits.PrimaryHDU()
    p.header['OBJECT'] = 'primary object'
    p.header['TELESCOP'] = 'KVT 1.2m'
    p.header['DATE-OBS'] = '2024-01-02T03:04:05'
    p.header['OBSERVER'] = 'an observer with a name long enough to need a CONTINUE card, ' * 2
    p.header['HIERARCH ESO OBS PROG ID'] = '060.A-9000'
    p.header['HIERARCH ESO DET CHIP NAME'] = 'primary chip'
    p.header['COMMENT'] = 'primary comment'
    history(p.header, cards, 'primary')
    return p
def image(data, cards=0, name='SCI'):
    e = fits.ImageHDU(data, name=name)
    e.header['OBJECT'] = 'extension object'
    e.header['HIERARCH ESO DET CHIP NAME'] = 'extension chip'
    e.header['FILENAME'] = 'a file name long enough to need a CONTINUE card of its own, ' * 2
    history(e.header, cards, 'extension')
    return e
def table(rows=3):
    return fits.BinTableHDU.from_columns([fits.Column(name='v', format='PJ()',
        array=np.array([np.arange(k + 1, dtype=np.int32) for k in range(rows)], dtype=object))])
plane = np.arange(35).reshape(5, 7)
)";

std::vector<HduCase> hduCases() {
    return {
        {"empty primary, one image extension", "hdus = [primary(), image(plane.astype(np.uint16) * 1800)]", nullptr, 2,
         nullptr},
        {"empty primary, three image extensions: the first opens",
         "hdus = [primary(), image(plane.astype(np.float32) / 7), image(plane.astype(np.int16), name='ERR'),"
         " image(plane.astype(np.uint8), name='DQ')]",
         nullptr, 2, nullptr},
        {"an empty image extension, a table with a heap, an ASCII table, then the image",
         "hdus = [primary(), fits.ImageHDU(), table(), fits.TableHDU.from_columns([fits.Column(name='a', format='I5',"
         " array=np.arange(4))]), image(plane.astype(np.int32) * -99991)]",
         nullptr, 5, nullptr},
        {"a one-dimensional extension, then the image",
         "hdus = [primary(), image(np.arange(9.0), name='LINE'), image(plane.astype(np.float64) ** 2)]", nullptr, 3,
         nullptr},
        {"the primary's coding left behind, the extension's BSCALE 0.5 BZERO 100", nullptr,
         primaryCodingThenScaledExtension, 2, nullptr},
        {"the primary's ROWORDER left behind: the extension's rows run top down",
         "p = primary()\np.header['ROWORDER'] = 'BOTTOM-UP'\nhdus = [p, image(plane.astype(np.uint8) * 7)]", nullptr, 2,
         nullptr},
        {"primary image, header of 5 blocks", nullptr, fiveBlockPrimary, 1, nullptr},
        {"primary image, header of 40 blocks",
         "p = fits.PrimaryHDU(plane.astype(np.int16) - 17)\nhistory(p.header, 40 * 36 - 20, 'primary')\nhdus = [p]",
         nullptr, 1, nullptr},
        {"primary image, header of 1000 blocks",
         "p = fits.PrimaryHDU(plane.astype(np.float32) / 3)\nhistory(p.header, 1000 * 36 - 20, 'primary')\n"
         "hdus = [p]",
         nullptr, 1, nullptr},
        {"extension header of 40 blocks after a primary of 5",
         "hdus = [primary(150), image(plane.astype(np.uint16), cards=40 * 36 - 30)]", nullptr, 2, nullptr},
        {"extension header of 1000 blocks", "hdus = [primary(), image(plane.astype(np.int16), cards=1000 * 36 - 40)]",
         nullptr, 2, nullptr},
        {"no image: an empty primary and two binary tables", "hdus = [primary(), table(), table(5)]", nullptr, 0,
         "The file holds no image: an empty primary HDU and 2 binary tables."},
        {"only a one-dimensional extension", "hdus = [primary(), image(np.arange(9.0), name='LINE')]", nullptr, 0,
         "HDU 1: NAXIS is 1: a one-dimensional array of 9 values, not an image."},
        {"a header just over the limit: END in block 1001",
         "p = fits.PrimaryHDU(plane.astype(np.int16))\nhistory(p.header, 1000 * 36, 'primary')\nhdus = [p]", nullptr,
         0, "The header has no END card in its first 1000 blocks"},
    };
}

// Writes every astropy case's file in one run of python: case n to `folder`/n.fits.
std::string writeAstropyCases(const std::string &folder, const std::vector<HduCase> &cases) {
    std::string script = astropyPreamble;
    for (size_t n = 0; n < cases.size(); ++n)
        if (cases[n].astropy != nullptr)
            script += std::string(cases[n].astropy) + "\nfits.HDUList(hdus).writeto('" + folder + "/" +
                      std::to_string(n) + ".fits', overwrite=True)\n";
    const std::string scriptPath = folder + "/cases.py";
    FILE *file = std::fopen(scriptPath.c_str(), "w");
    if (file == nullptr)
        return "cannot write " + scriptPath;
    std::fputs(script.c_str(), file);
    std::fclose(file);
    return std::system(("/usr/bin/python3 '" + scriptPath + "' 2>&1").c_str()) == 0 ? "" : "astropy failed";
}

TEST_F(ImageKindsTest, TheFirstImageAnyHeaderLengthOpensAndSavesWithEveryCard) {
    const std::vector<HduCase> cases = hduCases();
    ASSERT_EQ(writeAstropyCases(folder, cases), "");
    for (size_t n = 0; n < cases.size(); ++n) {
        const HduCase &c = cases[n];
        SCOPED_TRACE(c.name);
        const std::string in = pathFor(std::to_string(n) + ".fits");
        if (c.cfitsio != nullptr) {
            ASSERT_EQ(writeWithCfitsioHdus(in, c.cfitsio), "");
        }

        resetFakeHost();
        ::testing::internal::CaptureStderr();
        const ModuleRun opened = openThroughModule(openFile(in, false));
        const std::string told = ::testing::internal::GetCapturedStderr();
        if (c.hdu == 0) {
            EXPECT_EQ(opened.codes[2], formatCannotRead) << codesText(opened);
            EXPECT_NE(told.find(c.refusal), std::string::npos) << told;
            continue;
        }
        ASSERT_TRUE(opened.ok()) << codesText(opened) << told;
        const Physical file = readWithCfitsio(in, c.hdu);
        ASSERT_EQ(file.status, 0) << cfitsioError(file.status);
        const FormatRecord &r = fakeHost.record;
        EXPECT_EQ(r.imageSize.h, file.axes[0]);
        EXPECT_EQ(r.imageSize.v, file.axes[1]);
        ASSERT_EQ(fakeHost.image.size(), file.values.size() * static_cast<size_t>(r.depth / 8));
        expectHostSamples(file);

        save("saved.fits");
        const std::string out = pathFor("saved.fits");
        const Physical saved = readWithCfitsio(out);
        ASSERT_EQ(saved.status, 0) << cfitsioError(saved.status);
        expectSavedValues(file, saved);
        // Every card of the header the image came with, in its order, merged as the rule says.
        const bool wide = file.bitpix != 8 && file.bitpix != 16;
        const std::vector<std::string> expected =
            untouchedCards(c.hdu == 1 ? hduCards(in, 1) : merged_header::merge(hduCards(in, 1), hduCards(in, c.hdu)),
                           wide);
        const std::vector<std::string> got = untouchedCards(hduCards(out, 1), wide);
        EXPECT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < expected.size() && i < got.size(); ++i)
            if (got[i] != expected[i]) {
                ADD_FAILURE() << "card " << i << ":\n  saved    [" << got[i] << "]\n  expected [" << expected[i] << "]";
                break;
            }
        // fitsverify finds nothing in the saved file that it did not find in the input.
        const std::set<std::string> before = fitsverifySet(in);
        for (const std::string &finding : fitsverifySet(out))
            EXPECT_EQ(before.count(finding), 1u) << "new finding: " << finding;
        // 8 and 16 bits open again, in a new session, as the image saved. (A merged header
        // longer than the 1000 blocks the reader takes is not tried.)
        if (!wide && got.size() < 1000 * 36) {
            const std::vector<uint8_t> image = fakeHost.image;
            resetFakeHost();
            ::testing::internal::CaptureStderr();
            const ModuleRun reopened = openThroughModule(openFile(out, false));
            const std::string again = ::testing::internal::GetCapturedStderr();
            EXPECT_TRUE(reopened.ok()) << codesText(reopened) << again;
            EXPECT_TRUE(fakeHost.image == image) << "the saved file opens as another image";
        }
    }
}

} // namespace
