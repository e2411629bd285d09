// Choosing the image file format by extension.
#include "hostsim/image_files.h"

#include "hostsim/host_files.h"

namespace {

// Larger than any image the host holds in a PNG or PNM (32767² × 3 × 2 plus headers).
constexpr uint64_t largestImageFile = uint64_t{8} << 30;

bool isPnm(const std::string &extension) { return extension == "pgm" || extension == "ppm" || extension == "pnm"; }

} // namespace

bool isImageFileName(const std::string &path) {
    std::string extension = lowerExtension(path);
    return isPnm(extension) || extension == "png";
}

Status readImageFile(const std::string &path, HostImage *image, std::string *notice) {
    notice->clear();
    std::string extension = lowerExtension(path);
    if (!isPnm(extension) && extension != "png")
        return failStatus(exitUsage, path + ": the host reads .png, .pgm and .ppm images");
    Bytes contents;
    Status status = readWholeFile(path, largestImageFile, &contents);
    if (!isOk(status))
        return status;
    status = extension == "png" ? decodePng(contents.data.get(), contents.size, image, notice)
                                : decodePnm(contents.data.get(), contents.size, image);
    if (!isOk(status))
        status.message = "cannot read " + path + ": " + status.message;
    return status;
}

Status writeImageFile(const std::string &path, const HostImage &image) {
    std::string extension = lowerExtension(path);
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
    if (!isOk(status)) {
        status.message = "cannot write " + path + ": " + status.message;
        return status;
    }
    return writeWholeFile(path, file.data.get(), file.size);
}
