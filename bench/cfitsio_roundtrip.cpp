// The other side of the whole-process comparison in host_vs_cfitsio.sh: cfitsio doing the
// durable work of `korvalis-host convert`, as one program run.
//
//   cfitsio_roundtrip make OUT SIDE   writes a 16-bit SIDE x SIDE frame (BZERO 32768)
//   cfitsio_roundtrip copy IN OUT     reads IN's image, writes OUT with IN's header and the
//                                     image, closes it and fsyncs it
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fitsio.h>

namespace {

int report(int status, const char *what) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    std::fprintf(stderr, "cfitsio_roundtrip: %s: %s\n", what, text);
    return 1;
}

// A sky near 1000 with a pattern in it, so that no sample run is trivially alike.
int make(const std::string &out, long side) {
    fitsfile *file = nullptr;
    int status = 0;
    long axes[2] = {side, side};
    std::vector<uint16_t> row(static_cast<size_t>(side));
    fits_create_file(&file, ("!" + out).c_str(), &status);
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    for (long y = 0; y < side && status == 0; ++y) {
        for (long x = 0; x < side; ++x)
            row[static_cast<size_t>(x)] = static_cast<uint16_t>(1000 + (x * 7 + y * 13) % 977 + (x ^ y) % 61);
        long first[2] = {1, y + 1};
        fits_write_pix(file, TUSHORT, first, side, row.data(), &status);
    }
    fits_close_file(file, &status);
    return status == 0 ? 0 : report(status, "make");
}

int copy(const std::string &in, const std::string &out) {
    fitsfile *source = nullptr, *target = nullptr;
    int status = 0, bitpix = 0, naxis = 0, anynul = 0;
    long axes[2] = {0, 0};
    fits_open_file(&source, in.c_str(), READONLY, &status);
    fits_get_img_param(source, 2, &bitpix, &naxis, axes, &status);
    if (status != 0)
        return report(status, "open");
    const size_t pixels = static_cast<size_t>(axes[0]) * static_cast<size_t>(axes[1]);
    std::vector<uint16_t> image(pixels);
    fits_read_img(source, TUSHORT, 1, static_cast<LONGLONG>(pixels), nullptr, image.data(), &anynul, &status);
    fits_create_file(&target, ("!" + out).c_str(), &status);
    fits_copy_header(source, target, &status);
    fits_write_img(target, TUSHORT, 1, static_cast<LONGLONG>(pixels), image.data(), &status);
    fits_close_file(target, &status);
    fits_close_file(source, &status);
    if (status != 0)
        return report(status, "copy");
    // The host's save ends with an fsync of what it wrote; so does this.
    int descriptor = open(out.c_str(), O_RDONLY);
    if (descriptor < 0 || fsync(descriptor) != 0) {
        std::perror("cfitsio_roundtrip: fsync");
        return 1;
    }
    close(descriptor);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::atol(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "copy") == 0)
        return copy(argv[2], argv[3]);
    std::fprintf(stderr, "usage: cfitsio_roundtrip make OUT SIDE | copy IN OUT\n");
    return 2;
}
