// Files, folders and clocks for the host stand-in, on posix and on Windows.
#include "hostsim/host_files.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#include <direct.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

std::string systemReason() { return std::strerror(errno); }

Status ioFailure(const std::string &what) { return failStatus(exitHostIo, what); }

// A stream read by the host itself, closed on every way out.
struct StreamCloser {
    void operator()(std::FILE *stream) const { std::fclose(stream); }
};
using ReadStream = std::unique_ptr<std::FILE, StreamCloser>;

#if defined(_WIN32)
std::string windowsReason() {
    char text[256] = "";
    DWORD error = GetLastError();
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        text[--length] = '\0';
    return length > 0 ? std::string(text) : "system error " + std::to_string(error);
}

constexpr char separator = '\\'; // '/' separates too

// All `size` bytes, in moves of at most 32 KiB, the size _lwrite takes without question; false
// when the system takes no more.
bool writeAll(HostFile file, const void *bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        const size_t chunk = size - done < 32768 ? size - done : 32768;
        const long moved = static_cast<long>(
            _lwrite(static_cast<HFILE>(file), static_cast<LPCCH>(bytes) + done, static_cast<UINT>(chunk)));
        if (moved <= 0)
            return false;
        done += static_cast<size_t>(moved);
    }
    return true;
}
#else
constexpr char separator = '/';

// All `size` bytes, again after an interrupted call; false when the system takes no more.
bool writeAll(HostFile file, const void *bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t moved = write(static_cast<int>(file), static_cast<const char *>(bytes) + done, size - done);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return false;
        done += static_cast<size_t>(moved);
    }
    return true;
}
#endif

// Closes a file written as `target`: a failed close is a failed write, told by its own reason
// unless `written` is false already, with `reason` saying why.
Status closeWritten(HostFile file, bool written, std::string reason, const std::string &target) {
    if (!closeFile(file) && written) {
        written = false;
        reason = systemReason();
    }
    return written ? okStatus() : ioFailure("cannot finish writing " + target + ": " + reason);
}

bool isSeparator(char c) { return c == '/' || c == separator; }

// Where the last part of `path` starts: just past its last separator, or 0.
size_t nameStart(const std::string &path) {
    size_t at = path.size();
    while (at > 0 && !isSeparator(path[at - 1]))
        --at;
    return at;
}

std::string folderOf(const std::string &path) {
    const size_t at = nameStart(path);
    if (at == 0)
        return ".";
    return at == 1 ? path.substr(0, 1) : path.substr(0, at - 1);
}

std::string nameOf(const std::string &path) { return path.substr(nameStart(path)); }

} // namespace

#if defined(_WIN32)

std::u16string hostFileNamePath(const std::string &path) {
    const int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], units);
    const DWORD full = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (full == 0)
        return {};
    std::u16string absolute(full, u'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), full, reinterpret_cast<wchar_t *>(&absolute[0]), nullptr);
    absolute.resize(written);
    return absolute;
}

Status openForReading(const std::string &path, HostFile *file) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ioFailure("cannot open " + path + ": " + windowsReason());
    HFILE handle = _lopen(path.c_str(), OF_READ | OF_SHARE_DENY_WRITE);
    if (handle == HFILE_ERROR)
        return ioFailure("cannot open " + path + ": " + windowsReason());
    *file = static_cast<HostFile>(handle);
    return okStatus();
}

bool rewindFile(HostFile file) { return _llseek(static_cast<HFILE>(file), 0, 0) == 0; }

bool closeFile(HostFile file) { return _lclose(static_cast<HFILE>(file)) != HFILE_ERROR; }

Status createTemporaryBeside(const std::string &target, std::string *temporaryPath, HostFile *file) {
    char name[MAX_PATH + 1];
    std::string folder = folderOf(target);
    if (GetTempFileNameA(folder.c_str(), "kvh", 0, name) == 0)
        return ioFailure("cannot create a temporary file in " + folder + ": " + windowsReason());
    HFILE handle = _lopen(name, OF_READWRITE | OF_SHARE_EXCLUSIVE);
    if (handle == HFILE_ERROR) {
        std::string reason = windowsReason();
        DeleteFileA(name);
        return ioFailure("cannot open the temporary file " + std::string(name) + ": " + reason);
    }
    *temporaryPath = name;
    *file = static_cast<HostFile>(handle);
    return okStatus();
}

Status commitTemporary(HostFile file, const std::string &temporaryPath, const std::string &target) {
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
    bool flushed = FlushFileBuffers(handle) != 0;
    bool closed = _lclose(static_cast<HFILE>(file)) != HFILE_ERROR;
    Status status = okStatus();
    if (!flushed || !closed)
        status = ioFailure("cannot finish writing " + target + ": " + windowsReason());
    else if (MoveFileExA(temporaryPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        status = ioFailure("cannot replace " + target + ": " + windowsReason());
    // The reason is taken first: removing the temporary file sets the system's error anew.
    if (!isOk(status))
        DeleteFileA(temporaryPath.c_str());
    return status;
}


Status resolveOutput(const std::string &path, OutputFile *output) {
    *output = OutputFile{};
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return ioFailure("cannot write " + path + ": it is a folder");
    output->target = path;
    return okStatus();
}

Status openOutput(OutputFile *output) {
    return createTemporaryBeside(output->target, &output->temporary, &output->file);
}

bool freeSpaceBeside(const std::string &path, uint64_t *bytes) {
    ULARGE_INTEGER available;
    if (GetDiskFreeSpaceExA(folderOf(path).c_str(), &available, nullptr, nullptr) == 0)
        return false;
    *bytes = available.QuadPart;
    return true;
}

Status ensureFolder(const std::string &path) {
    if (CreateDirectoryA(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS)
        return okStatus();
    return ioFailure("cannot create the folder " + path + ": " + windowsReason());
}

std::string programFolder() {
    char name[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
    if (length == 0 || length >= sizeof name)
        return std::string();
    return folderOf(std::string(name, length));
}

bool standardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void openModuleOutput(ModuleOutput *output) { *output = ModuleOutput{}; }

void adviseLargeBlock(void *, size_t) {}

static bool drainSpool(HostFile, HostFile) { return false; }

void closeModuleOutput(ModuleOutput *) {}
void startCatching(ModuleOutput *) {}
std::string stopCatching(ModuleOutput *) { return std::string(); }

void writeStandardError(const ModuleOutput &, const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string temporaryFolder() {
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    return length > 0 && length <= MAX_PATH ? std::string(folder, length) : std::string(".");
}

#else

std::u16string hostFileNamePath(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::u16string out;
    for (const char *c = resolved; *c != '\0';) {
        auto byte = static_cast<unsigned char>(*c);
        const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? byte : byte & (0x3F >> (length - 1));
        int taken = 1;
        for (; taken < length && (static_cast<unsigned char>(c[taken]) & 0xC0) == 0x80; ++taken)
            code = code << 6 | (static_cast<unsigned char>(c[taken]) & 0x3F);
        c += taken;
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    std::free(resolved);
    return out;
}

Status openForReading(const std::string &path, HostFile *file) {
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return ioFailure("cannot open " + path + ": " + systemReason());
    struct stat info;
    if (fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(descriptor);
        return ioFailure("cannot open " + path + ": it is a folder");
    }
    *file = descriptor;
    return okStatus();
}

bool rewindFile(HostFile file) { return lseek(static_cast<int>(file), 0, SEEK_SET) == 0; }

bool closeFile(HostFile file) { return close(static_cast<int>(file)) == 0; }

Status createTemporaryBeside(const std::string &target, std::string *temporaryPath, HostFile *file) {
    std::string pattern = joinPath(folderOf(target), "." + nameOf(target) + ".XXXXXX");
    int descriptor = mkstemp(&pattern[0]);
    if (descriptor < 0)
        return ioFailure("cannot create a temporary file in " + folderOf(target) + ": " + systemReason());
    // mkstemp makes the file private; give it the mode the output had, or the usual one.
    struct stat existing;
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = stat(target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666 & ~mask;
    fchmod(descriptor, mode);
    *temporaryPath = pattern;
    *file = descriptor;
    return okStatus();
}

Status commitTemporary(HostFile file, const std::string &temporaryPath, const std::string &target) {
    const bool synced = fsync(static_cast<int>(file)) == 0;
    Status status = closeWritten(file, synced, synced ? std::string() : systemReason(), target);
    if (isOk(status) && rename(temporaryPath.c_str(), target.c_str()) != 0)
        status = ioFailure("cannot replace " + target + ": " + systemReason());
    // The reason is taken first: removing the temporary file sets errno anew.
    if (!isOk(status))
        unlink(temporaryPath.c_str());
    return status;
}


// Links are followed as the system would, up to its own limit of hops.
constexpr int largestLinkChain = 40;

Status resolveOutput(const std::string &path, OutputFile *output) {
    *output = OutputFile{};
    std::string at = path;
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (lstat(at.c_str(), &info) != 0) {
            output->target = at; // not there yet (or not reachable: creating it will say why)
            return okStatus();
        }
        if (S_ISDIR(info.st_mode))
            return ioFailure("cannot write " + path + ": " + (at == path ? "it is" : "it leads to") + " a folder");
        if (!S_ISLNK(info.st_mode)) {
            output->target = at;
            output->direct = !S_ISREG(info.st_mode);
            return okStatus();
        }
        if (hops == largestLinkChain)
            return ioFailure("cannot write " + path + ": its symbolic links go round in circles");
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4095) + 1, '\0');
        ssize_t length = readlink(at.c_str(), &link[0], link.size());
        if (length < 0 || static_cast<size_t>(length) >= link.size())
            return ioFailure("cannot follow the link " + at + ": " + (length < 0 ? systemReason() : "it changed"));
        link.resize(static_cast<size_t>(length));
        at = link[0] == '/' ? link : joinPath(folderOf(at), link);
    }
}

// An unnamed file in the temporary folder, gone once closed.
static int openSpool() {
    std::string pattern = joinPath(temporaryFolder(), "korvalis-host.XXXXXX");
    int descriptor = mkstemp(&pattern[0]);
    if (descriptor >= 0)
        unlink(pattern.c_str());
    return descriptor;
}

Status openOutput(OutputFile *output) {
    if (!output->direct)
        return createTemporaryBeside(output->target, &output->temporary, &output->file);
    int descriptor;
    do
        descriptor = open(output->target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return ioFailure("cannot open " + output->target + " for writing: " + systemReason());
    output->file = descriptor;
    if (lseek(descriptor, 0, SEEK_CUR) >= 0 || errno != ESPIPE)
        return okStatus();
    int spool = openSpool();
    if (spool < 0) {
        std::string reason = systemReason();
        close(descriptor);
        output->file = noHostFile;
        return ioFailure("cannot make a spool file for " + output->target + ": " + reason);
    }
    output->sink = descriptor;
    output->file = spool;
    return okStatus();
}

static bool drainSpool(HostFile spool, HostFile sink) {
    char chunk[65536];
    off_t at = 0;
    for (;;) {
        ssize_t got = pread(static_cast<int>(spool), chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        at += got;
        if (!writeAll(sink, chunk, static_cast<size_t>(got)))
            return false;
    }
}

bool freeSpaceBeside(const std::string &path, uint64_t *bytes) {
    struct statvfs info;
    if (statvfs(folderOf(path).c_str(), &info) != 0)
        return false;
    *bytes = uint64_t{info.f_bavail} * uint64_t{info.f_frsize};
    return true;
}

Status ensureFolder(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return okStatus();
    if (mkdir(path.c_str(), 0777) == 0)
        return okStatus();
    return ioFailure("cannot create the folder " + path + ": " + systemReason());
}

std::string programFolder() {
    char name[4096];
    ssize_t length = readlink("/proc/self/exe", name, sizeof name - 1);
    if (length <= 0)
        return std::string();
    return folderOf(std::string(name, static_cast<size_t>(length)));
}

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void adviseLargeBlock(void *block, size_t size) {
    // Large pages are 2 MiB; only whole ones inside the block can be given.
    constexpr uintptr_t largePage = uintptr_t{2} << 20;
    const auto start = (reinterpret_cast<uintptr_t>(block) + largePage - 1) & ~(largePage - 1);
    const auto end = (reinterpret_cast<uintptr_t>(block) + size) & ~(largePage - 1);
#if defined(MADV_HUGEPAGE)
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE); // advice: failure changes nothing
#else
    (void)start;
    (void)end;
#endif
}

void openModuleOutput(ModuleOutput *output) {
    *output = ModuleOutput{};
    std::FILE *stream = std::tmpfile();
    // The stream is never used, only its descriptor, which outlives the stream's close.
    const int held = stream != nullptr ? fcntl(fileno(stream), F_DUPFD_CLOEXEC, 3) : -1;
    if (stream != nullptr)
        std::fclose(stream);
    const int standardError = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (held < 0 || standardError < 0) {
        if (held >= 0)
            close(held);
        if (standardError >= 0)
            close(standardError);
        return;
    }
    output->held = held;
    output->standardError = standardError;
#if defined(__SANITIZE_ADDRESS__)
    // A crash inside the module must not be reported into the held file and lost.
    __sanitizer_set_report_fd(reinterpret_cast<void *>(output->standardError));
#endif
}

void closeModuleOutput(ModuleOutput *output) {
    if (output->held < 0)
        return;
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t{STDERR_FILENO}));
#endif
    close(static_cast<int>(output->held));
    close(static_cast<int>(output->standardError));
    *output = ModuleOutput{};
}

void startCatching(ModuleOutput *output) {
    if (output->held < 0 || output->catching)
        return;
    std::fflush(stderr);
    output->catching = dup2(static_cast<int>(output->held), STDERR_FILENO) >= 0;
}

// The held file only grows, by the little the module says; each call's text is what lies
// past the end of the one before.
std::string stopCatching(ModuleOutput *output) {
    if (!output->catching)
        return std::string();
    std::fflush(stderr);
    dup2(static_cast<int>(output->standardError), STDERR_FILENO);
    output->catching = false;
    const int held = static_cast<int>(output->held);
    const off_t end = lseek(held, 0, SEEK_END);
    std::string text;
    if (end > output->taken) {
        text.resize(static_cast<size_t>(end - output->taken));
        ssize_t moved = pread(held, &text[0], text.size(), output->taken);
        text.resize(moved > 0 ? static_cast<size_t>(moved) : 0);
        output->taken += static_cast<int64_t>(text.size());
    }
    return text;
}

void writeStandardError(const ModuleOutput &output, const std::string &text) {
    std::fflush(stderr);
    writeAll(output.catching ? output.standardError : STDERR_FILENO, text.data(), text.size());
}

std::string temporaryFolder() {
    const char *folder = std::getenv("TMPDIR");
    return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
}

#endif

void discardTemporary(HostFile file, const std::string &temporaryPath) {
    if (file != noHostFile)
        closeFile(file);
    std::remove(temporaryPath.c_str());
}

Status readWholeFile(const std::string &path, uint64_t limit, Bytes *contents) {
    int64_t size = fileSize(path);
    const ReadStream stream(std::fopen(path.c_str(), "rb"));
    if (stream == nullptr || size < 0)
        return ioFailure("cannot open " + path + ": " + systemReason());
    if (static_cast<uint64_t>(size) > limit)
        return ioFailure("cannot read " + path + ": it is larger than " + std::to_string(limit) + " bytes");
    if (!allocateBytes(contents, static_cast<size_t>(size)))
        return ioFailure("cannot read " + path + ": not enough memory for " + std::to_string(size) + " bytes");
    size_t moved = std::fread(contents->data.get(), 1, contents->size, stream.get());
    if (std::ferror(stream.get()) != 0 || moved != contents->size)
        return ioFailure("cannot read " + path + ": " + (moved != contents->size ? "it changed while read" : systemReason()));
    return okStatus();
}

Status commitOutput(OutputFile *output) {
    HostFile file = output->file;
    output->file = noHostFile;
    if (!output->direct) {
        Status status = commitTemporary(file, output->temporary, output->target);
        output->temporary.clear();
        return status;
    }
    bool written = true;
    std::string reason;
    if (output->sink != noHostFile) {
        written = drainSpool(file, output->sink);
        reason = written ? std::string() : systemReason();
        closeFile(file);
        file = output->sink;
        output->sink = noHostFile;
    }
    // A device or FIFO has nothing to flush to a disk of its own; closing reports a failed write.
    return closeWritten(file, written, reason, output->target);
}

void discardOutput(OutputFile *output) {
    if (!output->direct && !output->temporary.empty())
        discardTemporary(output->file, output->temporary);
    else if (output->file != noHostFile)
        closeFile(output->file);
    if (output->sink != noHostFile)
        closeFile(output->sink);
    output->file = noHostFile;
    output->sink = noHostFile;
    output->temporary.clear();
}

Status writeWholeFile(const std::string &path, const uint8_t *bytes, size_t size) {
    OutputFile output;
    Status status = resolveOutput(path, &output);
    if (isOk(status))
        status = openOutput(&output);
    if (!isOk(status))
        return status;
    if (!writeAll(output.file, bytes, size)) {
        std::string reason = systemReason();
        discardOutput(&output);
        return ioFailure("cannot write " + path + ": " + reason);
    }
    return commitOutput(&output);
}

int64_t fileSize(const std::string &path) {
    const ReadStream stream(std::fopen(path.c_str(), "rb"));
    if (stream == nullptr)
        return -1;
#if defined(_WIN32)
    return _fseeki64(stream.get(), 0, SEEK_END) == 0 ? _ftelli64(stream.get()) : -1;
#else
    return fseeko(stream.get(), 0, SEEK_END) == 0 ? static_cast<int64_t>(ftello(stream.get())) : -1;
#endif
}

std::string joinPath(const std::string &folder, const std::string &name) {
    if (folder.empty())
        return name;
    if (isSeparator(folder.back()))
        return folder + name;
    return folder + separator + name;
}

double monotonicSeconds() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count();
}

std::string lowerExtension(const std::string &path) {
    std::string name = nameOf(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return std::string();
    std::string extension = name.substr(dot + 1);
    for (char &c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}
