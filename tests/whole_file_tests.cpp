// A save of an image from a file of several HDUs writes the whole file again: every other HDU
// byte for byte where it stood, the image's HDU in its place; and when the file it came from
// is no longer the same, the image alone, with a notice that says what is left out. Files are
// made and judged by cfitsio and fitsverify.
#include <gtest/gtest.h>

#include <fitsio.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "tests/fake_host.h"
#include "tests/real_files.h"

namespace {

// One HDU as cfitsio places it: where its header starts, where its data start and end.
struct HduPlace {
    LONGLONG header, data, end;
};

std::vector<HduPlace> placesOf(const std::string &path) {
    std::vector<HduPlace> places;
    int status = 0, count = 0;
    fitsfile *file = nullptr;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    fits_get_num_hdus(file, &count, &status);
    for (int hdu = 1; status == 0 && hdu <= count; ++hdu) {
        HduPlace place{};
        fits_movabs_hdu(file, hdu, nullptr, &status);
        fits_get_hduaddrll(file, &place.header, &place.data, &place.end, &status);
        places.push_back(place);
    }
    fits_close_file(file, &status);
    return places;
}

void addImage(fitsfile *file, int bitpix, const char *name, int *status) {
    long axes[2] = {12, 7};
    fits_create_img(file, bitpix, 2, axes, status);
    if (name != nullptr)
        fits_write_key(file, TSTRING, "EXTNAME", const_cast<char *>(name), nullptr, status);
    std::vector<double> values(84);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<double>(i % 17) * 3.0 - 20.0;
    fits_write_img(file, TDOUBLE, 1, 84, values.data(), status);
    fits_write_chksum(file, status);
}

void addTable(fitsfile *file, const char *name, int *status) {
    char *types[] = {const_cast<char *>("FLUX")}, *forms[] = {const_cast<char *>("1E")};
    fits_create_tbl(file, BINARY_TBL, 3, 1, types, forms, nullptr, name, status);
    float flux[3] = {1.5f, 2.5f, -4.0f};
    fits_write_col(file, TFLOAT, 1, 1, 1, 3, flux, status);
    fits_write_chksum(file, status);
}

// The layouts: which HDUs, and which the module opens (from 0).
struct Layout {
    const char *name;
    void (*make)(fitsfile *, int *);
    int imageHdu;
};

const Layout layouts[] = {
    {"image in the primary, tables behind",
     [](fitsfile *f, int *s) {
         addImage(f, SHORT_IMG, nullptr, s);
         addTable(f, "CATALOG", s);
         addTable(f, "EVENTS", s);
     },
     0},
    {"SCI behind an empty primary, then ERR, DQ and a table",
     [](fitsfile *f, int *s) {
         fits_create_img(f, BYTE_IMG, 0, nullptr, s);
         char telescope[] = "HST";
         fits_write_key(f, TSTRING, "TELESCOP", telescope, nullptr, s);
         fits_write_chksum(f, s);
         addImage(f, FLOAT_IMG, "SCI", s);
         addImage(f, FLOAT_IMG, "ERR", s);
         addImage(f, SHORT_IMG, "DQ", s);
         addTable(f, "ASDF", s);
     },
     1},
};

struct WholeFile : ::testing::Test {
    std::string folder;
    std::u16string readPath;
    HostFileName fileName{};
    int reading = -1;

    void SetUp() override {
        char name[] = "/tmp/korvalis-whole-XXXXXX";
        folder = mkdtemp(name);
        resetFakeHost();
    }
    void TearDown() override {
        resetFakeHost();
        std::filesystem::remove_all(folder);
    }
    std::string pathFor(const std::string &name) const { return folder + "/" + name; }

    std::string make(const Layout &layout, const std::string &name) {
        int status = 0;
        fitsfile *file = nullptr;
        fits_create_file(&file, ("!" + pathFor(name)).c_str(), &status);
        layout.make(file, &status);
        fits_close_file(file, &status);
        return status == 0 ? pathFor(name) : "";
    }
    // Opens as an editor does, naming the file in fileSpec2.
    bool open(const std::string &path) {
        readPath.assign(path.begin(), path.end());
        fileName.mReference = reinterpret_cast<uint16_t *>(&readPath[0]);
        fakeHost.record.fileSpec2 = &fileName;
        reading = ::open(path.c_str(), O_RDONLY);
        fakeHost.record.dataFork = reading;
        bool ok = reading >= 0;
        for (int16_t selector : {formatSelectorReadPrepare, formatSelectorReadStart, formatSelectorReadContinue,
                                 formatSelectorReadFinish})
            ok = ok && callModule(selector) == noErr;
        ::close(reading);
        fakeHost.record.fileSpec2 = nullptr;
        return ok;
    }
    // Saves the image as opened to `path`, as the host's temporary file that then replaces it.
    bool save(const std::string &path) {
        const std::string temporary = path + ".tmp";
        const int file = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        fakeHost.record.dataFork = file;
        setHostImage(fakeHost.record.imageSize.v, fakeHost.record.imageSize.h, fakeHost.record.depth,
                     fakeHost.record.planes, fakeHost.image);
        bool ok = file >= 0;
        for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorEstimatePrepare,
                                 formatSelectorEstimateStart, formatSelectorWritePrepare, formatSelectorWriteStart,
                                 formatSelectorWriteFinish})
            ok = ok && callModule(selector) == noErr;
        ::close(file);
        return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    }
    static std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, LONGLONG from, LONGLONG to) {
        return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to);
    }
};

TEST_F(WholeFile, EveryOtherHduIsCarriedOverByteForByte) {
    for (const Layout &layout : layouts) {
        SCOPED_TRACE(layout.name);
        const std::string in = make(layout, "in.fits"), out = pathFor("out.fits");
        ASSERT_FALSE(in.empty());
        ASSERT_TRUE(open(in));
        testing::internal::CaptureStderr();
        ASSERT_TRUE(save(out));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing is left out";
        const std::vector<HduPlace> before = placesOf(in), after = placesOf(out);
        ASSERT_EQ(after.size(), before.size());
        const std::vector<uint8_t> source = fileBytes(in), saved = fileBytes(out);
        for (size_t hdu = 0; hdu < before.size(); ++hdu) {
            if (static_cast<int>(hdu) == layout.imageHdu)
                continue;
            EXPECT_EQ(slice(saved, after[hdu].header, after[hdu].end), slice(source, before[hdu].header, before[hdu].end))
                << "HDU " << hdu;
        }
        EXPECT_EQ(fitsverifyFindings(out), "") << "every HDU's checksum holds";
        if (layout.imageHdu > 0) {
            EXPECT_EQ(slice(saved, after[layout.imageHdu].header, after[layout.imageHdu].header + 20),
                      slice(source, before[layout.imageHdu].header, before[layout.imageHdu].header + 20))
                << "an extension stays an extension";
        }
    }
}

// When the file is not the one opened any more, the image is saved alone and the notice says
// what is not in the saved file; the source is left as it is.
TEST_F(WholeFile, AFileThatChangedOrWentIsNotCopiedFrom) {
    struct Change {
        const char *what;
        void (*apply)(const std::string &path);
        const char *says;
    } changes[] = {
        {"a header changed",
         [](const std::string &path) {
             int status = 0;
             fitsfile *file = nullptr;
             fits_open_file(&file, path.c_str(), READWRITE, &status);
             fits_movabs_hdu(file, 5, nullptr, &status);
             char note[] = "edited elsewhere";
             fits_write_key(file, TSTRING, "NOTE", note, nullptr, &status);
             fits_close_file(file, &status);
         },
         "in.fits changed since it was opened: its 4 other HDUs (2 images, 1 table, 1 empty HDU) are not in the "
         "saved file, which holds the image alone."},
        {"deleted", [](const std::string &path) { std::remove(path.c_str()); },
         "in.fits cannot be read any more (moved, deleted or locked): its 4 other HDUs"},
    };
    for (const Change &change : changes) {
        SCOPED_TRACE(change.what);
        resetFakeHost();
        const std::string in = make(layouts[1], "in.fits"), out = pathFor("out.fits");
        ASSERT_TRUE(open(in));
        change.apply(in);
        const std::vector<uint8_t> left = fileBytes(in);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(save(out));
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_NE(told.find(change.says), std::string::npos) << told;
        EXPECT_EQ(placesOf(out).size(), 1u) << "the image alone";
        EXPECT_EQ(fitsverifyFindings(out), "");
        EXPECT_EQ(fileBytes(in), left) << "the source is not touched";
    }
}

// Saved over the file it came from (through the host's temporary file), the file keeps its
// other HDUs.
TEST_F(WholeFile, ASaveOverItsOwnFileKeepsTheRest) {
    const std::string in = make(layouts[1], "in.fits");
    const std::vector<uint8_t> source = fileBytes(in);
    const std::vector<HduPlace> before = placesOf(in);
    ASSERT_TRUE(open(in));
    ASSERT_TRUE(save(in));
    const std::vector<uint8_t> saved = fileBytes(in);
    ASSERT_EQ(placesOf(in).size(), before.size());
    EXPECT_EQ(slice(saved, before[4].header, before[4].end), slice(source, before[4].header, before[4].end));
    EXPECT_EQ(fitsverifyFindings(in), "");
}

} // namespace

namespace {

// A file that is not FITS HDUs to its end (stray bytes after the last) cannot be told apart:
// the image is saved alone, and the notice says so.
TEST_F(WholeFile, AFileNotReadToItsEndIsToldOf) {
    const std::string in = make(layouts[0], "in.fits");
    FILE *file = std::fopen(in.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputs("stray bytes after the last HDU", file);
    std::fclose(file);
    ASSERT_TRUE(open(in));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(save(pathFor("out.fits")));
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("could not be read to its end as FITS HDUs"), std::string::npos) << told;
    EXPECT_EQ(placesOf(pathFor("out.fits")).size(), 1u);
}

} // namespace
