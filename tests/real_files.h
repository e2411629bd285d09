// Helpers of the tests that work on real files: their bytes, and cfitsio's words for a status.
#pragma once

#include <fitsio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The whole file, or nothing when it cannot be opened.
inline std::vector<uint8_t> fileBytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

// A cfitsio status as its number and text.
inline std::string cfitsioError(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return std::to_string(status) + " " + text;
}

// What fitsverify finds in the file: empty when it finds nothing (no warning, no error).
inline std::string fitsverifyFindings(const std::string &path) {
    std::string output;
    FILE *pipe = popen(("fitsverify '" + path + "' 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return "fitsverify did not run";
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output.find("Verification found 0 warning(s) and 0 error(s)") != std::string::npos ? "" : output;
}
