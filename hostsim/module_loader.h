// Finding a format module the way a host does: load the library, read its property list,
// check it, and look the entry point up by the name the list gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/host_records.h"
#include "hostsim/property_list.h"
#include "hostsim/status.h"

struct LoadedModule {
    std::string path;
    void *library = nullptr; // null for a module linked into this program
    PluginEntry entry = nullptr;
    const uint8_t *propertyList = nullptr;
    size_t propertyListSize = 0;
    const uint8_t *terminology = nullptr; // null when the module carries none
    size_t terminologySize = 0;
    ModuleInfo info;
};

// Resource id of the property list and terminology that hosts look for.
constexpr uint16_t moduleResourceID = 16000;

// Loads the library at `path` (dlopen on posix, LoadLibraryA on Windows), takes its "PIPL"
// and "AETE" 16000 (on posix the data it exports as pluginPropertyList64 on x86-64, else
// pluginPropertyList, and pluginTerminology, each with its size), parses the list and resolves
// the entry point it names under hostEntryKey.
// exitHostIo when the file cannot be loaded; exitModuleFailed when it is not a usable format
// module. On failure nothing stays loaded.
Status loadModule(const std::string &path, LoadedModule *module);

// The same checks for a module linked into this program: its list and terminology bytes and
// its entry function. The entry named in the list must be "ENTRYPOINT", the one linked in.
Status useLinkedModule(const uint8_t *propertyList, size_t propertyListSize, const uint8_t *terminology,
                       size_t terminologySize, PluginEntry entry, LoadedModule *module);

// Unloads a module that loadModule loaded; a linked module is only forgotten.
void unloadModule(LoadedModule *module);

// The module file's usual name: korvalis.8bi on 32-bit Windows, korvalis-x64.8bi on 64-bit
// Windows, korvalis.so else.
#if defined(_WIN64)
constexpr const char defaultModuleName[] = "korvalis-x64.8bi";
#elif defined(_WIN32)
constexpr const char defaultModuleName[] = "korvalis.8bi";
#else
constexpr const char defaultModuleName[] = "korvalis.so";
#endif

// The module file of that name beside the program.
std::string defaultModulePath();
