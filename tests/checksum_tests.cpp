// Saved headers that carry CHECKSUM and DATASUM describe the data written, as cfitsio judges it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fitsio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fits/checksum.h"
#include "tests/fake_host.h"

namespace {

struct ChecksumFiles : ::testing::Test {
    std::string folder;
    void SetUp() override {
        char pattern[] = "/tmp/korvalis-checksum-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        resetFakeHost(-1);
    }
    void TearDown() override {
        resetFakeHost();
        if (std::getenv("KORVALIS_KEEP_TEST_FILES") == nullptr)
            std::system(("rm -rf " + folder).c_str());
    }

    // A 16-bit image of unsigned samples, written by cfitsio with its checksums.
    std::string writeWithChecksums(const char *name, int bitpix, long columns, long rows) {
        std::string path = folder + "/" + name;
        fitsfile *file = nullptr;
        int status = 0;
        long axes[2] = {columns, rows};
        fits_create_file(&file, ("!" + path).c_str(), &status);
        fits_create_img(file, bitpix, 2, axes, &status);
        fits_write_key_str(file, "OBJECT", "checksum test", "kept across a save", &status);
        std::vector<unsigned short> pixels(static_cast<size_t>(columns * rows));
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<unsigned short>(static_cast<uint32_t>(i * 2654435761u) >> (bitpix == 8 ? 24 : 16));
        fits_write_img(file, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
        fits_write_chksum(file, &status);
        fits_close_file(file, &status);
        EXPECT_EQ(status, 0);
        return path;
    }

    OSErr run(const std::string &path, int flags, std::initializer_list<int16_t> selectors) {
        int fd = open(path.c_str(), flags, 0644);
        EXPECT_GE(fd, 0) << path;
        fakeHost.record.dataFork = fd;
        OSErr result = noErr;
        for (int16_t selector : selectors) {
            result = callModule(selector);
            if (result != noErr)
                break;
        }
        close(fd);
        return result;
    }

    // Open then save in one session, as a user who edits and saves does.
    void convert(const std::string &in, const std::string &out) {
        ASSERT_EQ(run(in, O_RDONLY,
                      {formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                       formatSelectorReadContinue, formatSelectorReadFinish}),
                  noErr);
        fakeHost.writing = true;
        ASSERT_EQ(run(out, O_RDWR | O_CREAT | O_TRUNC,
                      {formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorEstimateStart,
                       formatSelectorWritePrepare, formatSelectorWriteStart, formatSelectorWriteFinish}),
                  noErr);
    }
};

void expectChecksumsValid(const std::string &path) {
    fitsfile *file = nullptr;
    int status = 0;
    int dataOk = 0;
    int hduOk = 0;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    fits_verify_chksum(file, &dataOk, &hduOk, &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dataOk, 1) << path << ": DATASUM";
    EXPECT_EQ(hduOk, 1) << path << ": CHECKSUM";
    std::string command = "fitsverify -q " + path + " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << "fitsverify reports a problem in " << path;
}

TEST_F(ChecksumFiles, RoundTripsRecomputeChecksumsForTheDataWritten) {
    struct Case {
        const char *name;
        int bitpix;
        long columns, rows;
    } cases[] = {{"u16.fits", USHORT_IMG, 301, 17}, {"u8.fits", BYTE_IMG, 33, 9}, {"tall.fits", USHORT_IMG, 3, 2000}};
    for (const Case &c : cases) {
        std::string in = writeWithChecksums(c.name, c.bitpix, c.columns, c.rows);
        expectChecksumsValid(in);
        std::string out = folder + "/saved-" + c.name;
        convert(in, out);
        expectChecksumsValid(out);
        // The same session saves a different image under the same header.
        fakeHost.image.assign(fakeHost.image.size(), 0x5A);
        std::string again = folder + "/again-" + c.name;
        fakeHost.writing = true;
        ASSERT_EQ(run(again, O_RDWR | O_CREAT | O_TRUNC, {formatSelectorWriteStart}), noErr);
        expectChecksumsValid(again);
    }
}

TEST(Checksum, OnesComplementSumsFoldTheirCarries) {
    FitsChecksum sum{};
    const uint8_t words[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
    addChecksumBytes(&sum, words, sizeof words);
    EXPECT_EQ(checksumValue(&sum), 1u) << "0xFFFFFFFF is negative zero";
    FitsChecksum pieces{};
    addChecksumBytes(&pieces, words, 3);
    addChecksumBytes(&pieces, words + 3, 5);
    EXPECT_EQ(checksumValue(&pieces), checksumValue(&sum)) << "a stream may arrive in any pieces";
    EXPECT_EQ(addChecksums(0xFFFF0000u, 0x00010000u), 1u);
    char text[17];
    encodeChecksum(0xFFFFFFFFu, text);
    EXPECT_EQ(std::string(text), "0000000000000000") << "a unit that already sums to -0 needs nothing";
    for (char c : std::string(text))
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

} // namespace
