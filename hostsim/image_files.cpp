// Choosing the image file format by extension.
#include "hostsim/image_files.h"

#include <cstring>

#include "host/host_records.h"
#include "hostsim/host_files.h"

namespace {

// Larger than any image the host holds in a PNG or PNM (32767² × 3 × 2 plus headers).
constexpr uint64_t largestImageFile = uint64_t{8} << 30;

} // namespace

bool isImageFileName(const std::string &path) {
    std::string extension = lowerExtension(path);
    return extension == "pgm" || extension == "ppm" || extension == "pnm" || extension == "png";
}

Status readImageFile(const std::string &path, HostImage *image, std::string *notice) {
    notice->clear();
    if (!isImageFileName(path))
        return failStatus(exitUsage, path + ": the host reads .png, .pgm and .ppm images");
    std::string extension = lowerExtension(path);
    Bytes contents;
    Status status = readWholeFile(path, largestImageFile, &contents);
    if (!isOk(status))
        return status;
    return within("cannot read " + path, extension == "png"
                                             ? decodePng(contents.data.get(), contents.size, image, notice)
                                             : decodePnm(contents.data.get(), contents.size, image));
}

namespace {

// NAME.EXT for plane n (from 1) of a multichannel image: NAME-n.EXT, a PGM for a PPM.
std::string planeFileName(const std::string &path, const std::string &extension, int16_t plane) {
    std::string stem = path.substr(0, path.size() - extension.size() - 1);
    return stem + "-" + std::to_string(plane + 1) + "." + (extension == "png" ? "png" : "pgm");
}

// A multichannel image (2 or 4 to 24 planes), which no PNG or PNM holds: one grey file per
// plane, so that every channel can be looked at.
Status writePlaneFiles(const std::string &path, const std::string &extension, const HostImage &image) {
    for (int16_t plane = 0; plane < image.planes; ++plane) {
        HostImage grey;
        if (!allocateImage(&grey, image.rows, image.columns, image.depth, 1, plugInModeGrayScale))
            return failStatus(exitHostIo, "cannot write " + path + ": not enough memory for a plane");
        std::memcpy(grey.pixels.data.get(), image.pixels.data.get() + planeBytes(image) * plane, planeBytes(image));
        Status status = writeImageFile(planeFileName(path, extension, plane), grey);
        if (!isOk(status))
            return status;
    }
    return okStatus();
}

} // namespace

Status writeImageFile(const std::string &path, const HostImage &image) {
    std::string extension = lowerExtension(path);
    if (image.planes != 1 && image.planes != 3 && isImageFileName(path))
        return writePlaneFiles(path, extension, image);
    Bytes file;
    Status status;
    if (extension == "png")
        status = encodePng(image, &file);
    else if ((extension == "pgm" && image.planes == 1) || (extension == "ppm" && image.planes == 3))
        status = encodePnm(image, &file);
    else if (extension == "pgm" || extension == "ppm")
        status = failStatus(exitHostIo, "a ." + extension + " file cannot hold an image of " +
                                            std::to_string(image.planes) + " planes; use ." +
                                            (image.planes == 3 ? "ppm" : "pgm"));
    else
        status = failStatus(exitUsage, "the host writes .png, .pgm and .ppm images");
    if (!isOk(status))
        return within("cannot write " + path, status);
    return writeWholeFile(path, file.data.get(), file.size);
}
