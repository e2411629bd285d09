// The in-memory platform behind the unit tests.
#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "resources/plugin_resources.h"

FakePlatform fakePlatform;

static int fakeInstanceToken;
PlatformInstance moduleInstance = &fakeInstanceToken;

void resetFakePlatform() { fakePlatform = FakePlatform{}; }

PlatformFile addFakeFile(PlatformFile handle, const std::vector<uint8_t> &bytes) {
    FakeFile file;
    file.bytes = bytes;
    fakePlatform.files[handle] = file;
    return handle;
}

static FakeFile *findFile(PlatformFile file) {
    auto found = fakePlatform.files.find(file);
    return found == fakePlatform.files.end() ? nullptr : &found->second;
}

int32_t platformSeek(PlatformFile handle, int32_t offset, int16_t origin) {
    ++fakePlatform.seekCalls;
    FakeFile *file = findFile(handle);
    if (file == nullptr)
        return -1;
    int64_t base = origin == 1 ? file->position : origin == 2 ? static_cast<int64_t>(file->bytes.size()) : 0;
    if (base + offset < 0)
        return -1;
    file->position = base + offset;
    return static_cast<int32_t>(file->position);
}

static int32_t shortened(const FakeFile &file, int call, int shortCall, int32_t count) {
    return call == shortCall ? std::max<int32_t>(0, count - file.shortBy) : count;
}

int32_t platformRead(PlatformFile handle, void *buffer, uint16_t count) {
    FakeFile *file = findFile(handle);
    if (file == nullptr)
        return -1;
    int call = ++file->readCalls;
    file->readCounts.push_back(count);
    if (call == file->failReadCall)
        return -1;
    int64_t available = std::max<int64_t>(0, static_cast<int64_t>(file->bytes.size()) - file->position);
    auto moved = static_cast<int32_t>(std::min<int64_t>(available, count));
    moved = shortened(*file, call, file->shortReadCall, moved);
    if (moved > 0)
        std::memcpy(buffer, file->bytes.data() + file->position, static_cast<size_t>(moved));
    file->position += moved;
    return moved;
}

int32_t platformWrite(PlatformFile handle, const void *buffer, uint16_t count) {
    FakeFile *file = findFile(handle);
    if (file == nullptr)
        return -1;
    int call = ++file->writeCalls;
    file->writeCounts.push_back(count);
    if (call == file->failWriteCall)
        return -1;
    int32_t moved = count;
    if (file->capacity >= 0)
        moved = static_cast<int32_t>(std::clamp<int64_t>(file->capacity - file->position, 0, count));
    moved = shortened(*file, call, file->shortWriteCall, moved);
    if (file->position + moved > static_cast<int64_t>(file->bytes.size()))
        file->bytes.resize(static_cast<size_t>(file->position + moved));
    if (moved > 0)
        std::memcpy(file->bytes.data() + file->position, buffer, static_cast<size_t>(moved));
    file->position += moved;
    return moved;
}

void *platformNewFixedBlock(size_t size) {
    FakeAllocation &memory = fakePlatform.memory;
    int call = ++memory.fixedCalls;
    if (memory.failAllFixed || call == memory.failFixedCall)
        return nullptr;
    ++memory.fixedBlocks;
    return std::calloc(1, size == 0 ? 1 : size);
}

void platformDisposeFixedBlock(void *block) {
    if (block == nullptr)
        return;
    --fakePlatform.memory.fixedBlocks;
    std::free(block);
}

void *platformHeapAlloc(size_t size) {
    FakeAllocation &memory = fakePlatform.memory;
    int call = ++memory.heapCalls;
    if (call == memory.failHeapCall)
        return nullptr;
    ++memory.heapBlocks;
    return std::malloc(size == 0 ? 1 : size);
}

void platformHeapFree(void *block) {
    if (block == nullptr)
        return;
    --fakePlatform.memory.heapBlocks;
    std::free(block);
}

int32_t platformMessageBox(PlatformWindow owner, const char *text, const char *caption, uint32_t style) {
    fakePlatform.boxes.push_back(
        FakeMessageBox{owner, text != nullptr ? text : "", caption != nullptr, caption != nullptr ? caption : "", style});
    return 1;
}

int32_t platformLoadString(PlatformInstance, uint32_t id, char *buffer, int32_t limit) {
    auto overridden = fakePlatform.stringOverrides.find(id);
    if (overridden != fakePlatform.stringOverrides.end())
        return copyStringText(overridden->second.c_str(), buffer, limit);
    return copyStringResource(id, buffer, limit);
}

namespace {

std::string asciiPath(const uint16_t *path) {
    std::string text;
    for (size_t i = 0; path[i] != 0; ++i)
        text.push_back(static_cast<char>(path[i]));
    return text;
}

FakeSource *openedSource(PlatformFile file) {
    auto named = fakePlatform.openSources.find(file);
    if (named == fakePlatform.openSources.end())
        return nullptr;
    auto source = fakePlatform.sources.find(named->second);
    return source == fakePlatform.sources.end() ? nullptr : &source->second;
}

} // namespace

PlatformFile platformOpenSource(const uint16_t *path) {
    if (path == nullptr || fakePlatform.sources.count(asciiPath(path)) == 0)
        return -1;
    const PlatformFile handle = 1000 + static_cast<PlatformFile>(fakePlatform.openSources.size());
    fakePlatform.openSources[handle] = asciiPath(path);
    return handle;
}

bool platformSourceFacts(PlatformFile file, PlatformSourceFacts *facts) {
    const FakeSource *source = openedSource(file);
    if (source == nullptr)
        return false;
    *facts = PlatformSourceFacts{static_cast<int64_t>(source->bytes.size()), source->modified};
    return true;
}

int32_t platformReadSourceAt(PlatformFile file, int64_t offset, void *buffer, int32_t count) {
    const FakeSource *source = openedSource(file);
    if (source == nullptr || offset < 0 || count < 0)
        return -1;
    const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(source->bytes.size()) - offset);
    const auto moved = static_cast<int32_t>(std::min<int64_t>(available, count));
    if (moved > 0)
        std::memcpy(buffer, source->bytes.data() + offset, static_cast<size_t>(moved));
    return moved;
}

void platformCloseSource(PlatformFile file) { fakePlatform.openSources.erase(file); }
