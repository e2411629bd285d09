// PNG through libspng, when the build has it.
#include <memory>

#include "host/host_records.h"
#include "hostsim/image_files.h"

#if defined(KORVALIS_HOST_PNG)

#include <spng.h>

namespace {

Status refused(const std::string &why) { return failStatus(exitHostIo, why); }

// A decoder or encoder context, released at the end of the scope.
struct SpngDeleter {
    void operator()(spng_ctx *context) const { spng_ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

struct PngLayout {
    int format;
    int16_t channels; // decoded channels per pixel
    int16_t planes;   // kept planes: alpha is dropped
    int16_t depth;
    const char *notice;
};

bool chooseLayout(const spng_ihdr &header, PngLayout *layout) {
    const bool deep = header.bit_depth == 16;
    switch (header.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
        *layout = deep ? PngLayout{SPNG_FMT_PNG, 1, 1, 16, ""} : PngLayout{SPNG_FMT_G8, 1, 1, 8, ""};
        return true;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
        *layout = PngLayout{deep ? SPNG_FMT_GA16 : SPNG_FMT_GA8, 2, 1, static_cast<int16_t>(deep ? 16 : 8),
                            "the alpha channel was dropped"};
        return true;
    case SPNG_COLOR_TYPE_TRUECOLOR:
        *layout = deep ? PngLayout{SPNG_FMT_PNG, 3, 3, 16, ""} : PngLayout{SPNG_FMT_RGB8, 3, 3, 8, ""};
        return true;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
        *layout = PngLayout{deep ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8, 4, 3, static_cast<int16_t>(deep ? 16 : 8),
                            "the alpha channel was dropped"};
        return true;
    case SPNG_COLOR_TYPE_INDEXED:
        *layout = PngLayout{SPNG_FMT_RGB8, 3, 3, 8, "the palette was expanded to RGB"};
        return true;
    default:
        return false;
    }
}

} // namespace

bool pngSupported() { return true; }

Status decodePng(const uint8_t *bytes, size_t size, HostImage *image, std::string *notice) {
    notice->clear();
    SpngContext context(spng_ctx_new(0));
    if (context == nullptr)
        return refused("not enough memory to read a PNG");
    spng_set_image_limits(context.get(), hostMaxSide, hostMaxSide);
    spng_set_png_buffer(context.get(), bytes, size);
    spng_ihdr header{};
    int error = spng_get_ihdr(context.get(), &header);
    PngLayout layout{};
    if (error != 0)
        return refused(std::string("not a readable PNG: ") + spng_strerror(error));
    if (!chooseLayout(header, &layout))
        return refused("PNG of an unknown colour type");
    size_t length = 0;
    error = spng_decoded_image_size(context.get(), layout.format, &length);
    Bytes decoded;
    if (error != 0 || !allocateBytes(&decoded, length))
        return refused("not enough memory to read a PNG");
    error = spng_decode_image(context.get(), decoded.data.get(), length, layout.format, 0);
    if (error != 0)
        return refused(std::string("damaged PNG: ") + spng_strerror(error));
    const int16_t mode = layout.planes == 1 ? plugInModeGrayScale : plugInModeRGBColor;
    if (!allocateImage(image, static_cast<int32_t>(header.height), static_cast<int32_t>(header.width), layout.depth,
                       layout.planes, mode))
        return refused("not enough memory for the PNG's image");
    loadInterleaved(decoded.data.get(), layout.channels, false, image);
    *notice = layout.notice;
    return okStatus();
}

Status encodePng(const HostImage &image, Bytes *file) {
    if (image.planes != 1 && image.planes != 3)
        return refused("a PNG holds grey or RGB; this image has " + std::to_string(image.planes) + " planes");
    Bytes interleaved;
    if (!allocateBytes(&interleaved, planeBytes(image) * static_cast<size_t>(image.planes)))
        return refused("not enough memory to write a PNG");
    storeInterleaved(image, false, interleaved.data.get());
    SpngContext context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (context == nullptr)
        return refused("not enough memory to write a PNG");
    spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{static_cast<uint32_t>(image.columns), static_cast<uint32_t>(image.rows),
                     static_cast<uint8_t>(image.depth),
                     static_cast<uint8_t>(image.planes == 1 ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR),
                     0, 0, 0};
    spng_set_ihdr(context.get(), &header);
    int error = spng_encode_image(context.get(), interleaved.data.get(), interleaved.size, SPNG_FMT_PNG,
                                  SPNG_ENCODE_FINALIZE);
    size_t length = 0;
    void *encoded = error == 0 ? spng_get_png_buffer(context.get(), &length, &error) : nullptr;
    if (encoded == nullptr)
        return refused(std::string("cannot encode the PNG: ") + spng_strerror(error));
    // The encoder's buffer comes from malloc and is now ours.
    file->data.reset(static_cast<uint8_t *>(encoded));
    file->size = length;
    return okStatus();
}

#else

bool pngSupported() { return false; }

Status decodePng(const uint8_t *, size_t, HostImage *, std::string *) {
    return failStatus(exitHostIo, "this build of korvalis-host reads no PNG; use PGM or PPM");
}

Status encodePng(const HostImage &, Bytes *) {
    return failStatus(exitHostIo, "this build of korvalis-host writes no PNG; use PGM or PPM");
}

#endif
