// Outcomes of the host's own steps, and the exit statuses the command line promises.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// Exit statuses of korvalis-host; scripts rely on these values.
constexpr int exitOk = 0;
constexpr int exitModuleFailed = 1; // the module reported a failure, or handed the host nonsense
constexpr int exitUsage = 2;        // the command line was wrong
constexpr int exitHostIo = 3;       // the host could not read or write a file itself

// What a host step came to: exitOk with no message, or an exit status and one line saying
// what failed and why.
struct Status {
    int exitCode = exitOk;
    std::string message;
};

inline Status okStatus() { return Status{}; }
inline Status failStatus(int exitCode, std::string message) { return Status{exitCode, std::move(message)}; }
inline bool isOk(const Status &status) { return status.exitCode == exitOk; }

// A failure told as part of `what`: "what: why", with the same exit status; success as it is.
inline Status within(const std::string &what, Status status) {
    if (!isOk(status))
        status.message = what + ": " + status.message;
    return status;
}

// Memory from the C heap, so that a size taken from a file or from the module ends in a
// refusal rather than an exception when it cannot be had.
struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};
using ByteArray = std::unique_ptr<uint8_t[], FreeDeleter>;

struct Bytes {
    ByteArray data;
    size_t size = 0;
};

// Replaces `bytes` with `size` zero bytes. False (and `bytes` empty) when memory ran out.
inline bool allocateBytes(Bytes *bytes, size_t size) {
    bytes->data.reset(static_cast<uint8_t *>(std::calloc(size == 0 ? 1 : size, 1)));
    bytes->size = bytes->data != nullptr ? size : 0;
    return bytes->data != nullptr;
}
