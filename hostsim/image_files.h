// The host's own image files: PGM/PPM (binary, maxval 255 or 65535, parsed strictly) and PNG
// (8- or 16-bit grey or RGB, through libspng where it is built in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hostsim/host_image.h"
#include "hostsim/status.h"

// Whether this build reads and writes PNG.
bool pngSupported();

// Parses a binary PGM ("P5", one plane) or PPM ("P6", three planes) image. Refused
// (exitHostIo, with the reason) when the header is malformed, a side is 0 or above 32767,
// maxval is not 255 or 65535, or the data are short or followed by more bytes.
Status decodePnm(const uint8_t *bytes, size_t size, HostImage *image);

// A binary PGM (one plane) or PPM (three planes) of `image`; refused for other plane counts.
Status encodePnm(const HostImage &image, Bytes *file);

// Decodes a PNG: grey stays one plane, RGB three; palettes are expanded to RGB; an alpha
// channel is dropped and said so in `notice` (empty when nothing was dropped). Depths below
// 8 become 8 bits.
Status decodePng(const uint8_t *bytes, size_t size, HostImage *image, std::string *notice);

// An 8- or 16-bit grey (one plane) or RGB (three planes) PNG of `image`.
Status encodePng(const HostImage &image, Bytes *file);

// Reads `path` by its extension (.pgm, .ppm, .pnm, .png); messages name the file.
Status readImageFile(const std::string &path, HostImage *image, std::string *notice);

// Writes `image` as `path` by its extension (.pgm, .ppm, .png), through a temporary file. A
// multichannel image (2 or 4 to 24 planes) becomes one grey file per plane instead, named
// NAME-1.EXT, NAME-2.EXT, ... (.pgm for a .ppm path).
Status writeImageFile(const std::string &path, const HostImage &image);

// Whether `path` has an extension readImageFile or writeImageFile takes.
bool isImageFileName(const std::string &path);
