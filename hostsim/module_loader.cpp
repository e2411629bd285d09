// Loading the module library and taking its resources, on posix and on Windows.
#include "hostsim/module_loader.h"

#include "hostsim/host_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

Status checkList(LoadedModule *module) {
    return within(module->path, parsePropertyList(module->propertyList, module->propertyListSize, &module->info));
}

Status missingEntry(const LoadedModule &module) {
    return failStatus(exitModuleFailed, module.path + ": not a usable format module: it exports no function \"" +
                                            module.info.entryName + "\", the entry point its '" + hostEntryKey +
                                            "' property names");
}

#if defined(_WIN32)

// A resource of the library, or false when it has none of that type and id.
bool takeResource(HMODULE library, const char *type, const uint8_t **bytes, size_t *size) {
    HRSRC found = FindResourceA(library, MAKEINTRESOURCEA(moduleResourceID), type);
    if (found == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(library, found);
    const void *data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        return false;
    *bytes = static_cast<const uint8_t *>(data);
    *size = SizeofResource(library, found);
    return true;
}

constexpr uint16_t machineX86 = 0x14C, machineX64 = 0x8664;
constexpr uint16_t hostMachine = sizeof(void *) == 8 ? machineX64 : machineX86;

// The COFF machine of a PE file, or 0 when the file is not a PE image.
uint16_t imageMachine(const std::string &path) {
    Bytes contents;
    if (!isOk(readWholeFile(path, 64u << 20, &contents)) || contents.size < 0x40)
        return 0;
    const uint8_t *file = contents.data.get();
    size_t pe = file[0x3C] | file[0x3D] << 8 | size_t{file[0x3E]} << 16 | size_t{file[0x3F]} << 24;
    if (file[0] != 'M' || file[1] != 'Z' || pe > contents.size - 6 || file[pe] != 'P' || file[pe + 1] != 'E' ||
        file[pe + 2] != 0 || file[pe + 3] != 0)
        return 0;
    return static_cast<uint16_t>(file[pe + 4] | file[pe + 5] << 8);
}

std::string widthName(uint16_t machine) {
    return machine == machineX64 ? "a 64-bit (x86-64)" : machine == machineX86 ? "a 32-bit (x86)" : "another CPU's";
}

// LoadLibraryA refuses a DLL of the other width with the same error as a file that is no DLL
// at all (ERROR_BAD_EXE_FORMAT), so the host reads the header itself to say which it was.
std::string loadFailure(const std::string &path, DWORD error) {
    std::string reason = "error " + std::to_string(error);
    if (error == ERROR_BAD_EXE_FORMAT) {
        uint16_t machine = imageMachine(path);
        if (machine == 0)
            reason = "it is not a Windows DLL (" + reason + ")";
        else if (machine != hostMachine)
            reason = "it is " + widthName(machine) + " module and this host is " +
                     (hostMachine == machineX64 ? "64-bit; it loads only korvalis-x64.8bi (" :
                                                  "32-bit; it loads only korvalis.8bi (") + reason + ")";
    }
    return "cannot load the module " + path + ": " + reason;
}

Status openLibrary(LoadedModule *module) {
    HMODULE library = LoadLibraryA(module->path.c_str());
    if (library == nullptr)
        return failStatus(exitHostIo, loadFailure(module->path, GetLastError()));
    module->library = library;
    if (!takeResource(library, "PIPL", &module->propertyList, &module->propertyListSize))
        return failStatus(exitModuleFailed, module->path + ": not a format module: it has no \"PIPL\" 16000 resource");
    takeResource(library, "AETE", &module->terminology, &module->terminologySize);
    return okStatus();
}

void *findFunction(void *library, const std::string &name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}

void closeLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }

#else

// Exported data: a byte array and its size as a 32-bit count.
bool takeExport(void *library, const char *name, const char *sizeName, const uint8_t **bytes, size_t *size) {
    auto *data = static_cast<const uint8_t *>(dlsym(library, name));
    auto *count = static_cast<const uint32_t *>(dlsym(library, sizeName));
    if (data == nullptr || count == nullptr)
        return false;
    *bytes = data;
    *size = *count;
    return true;
}

// The list a module declares for this host's processor, as exported data with its size.
#if defined(__x86_64__)
constexpr char listExport[] = "pluginPropertyList64", listSizeExport[] = "pluginPropertyList64Size";
#else
constexpr char listExport[] = "pluginPropertyList", listSizeExport[] = "pluginPropertyListSize";
#endif

Status openLibrary(LoadedModule *module) {
    // A name without a slash would send dlopen searching the library path.
    std::string path = module->path.find('/') == std::string::npos ? "./" + module->path : module->path;
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *reason = dlerror();
        return failStatus(exitHostIo, "cannot load the module " + module->path + ": " + (reason ? reason : "unknown"));
    }
    module->library = library;
    if (!takeExport(library, listExport, listSizeExport, &module->propertyList, &module->propertyListSize))
        return failStatus(exitModuleFailed, module->path + ": not a format module: it exports no property list (" +
                                                listExport + " and " + listSizeExport + ")");
    takeExport(library, "pluginTerminology", "pluginTerminologySize", &module->terminology, &module->terminologySize);
    return okStatus();
}

void *findFunction(void *library, const std::string &name) { return dlsym(library, name.c_str()); }

void closeLibrary(void *library) { dlclose(library); }

#endif

} // namespace

Status loadModule(const std::string &path, LoadedModule *module) {
    *module = LoadedModule{};
    module->path = path;
    if (fileSize(path) < 0)
        return failStatus(exitHostIo, "cannot load the module " + path + ": no such file");
    Status status = openLibrary(module);
    if (isOk(status))
        status = checkList(module);
    if (isOk(status)) {
        // The list's own name for the entry point, as a host looks it up.
        void *function = findFunction(module->library, module->info.entryName);
        module->entry = reinterpret_cast<PluginEntry>(function);
        if (module->entry == nullptr)
            status = missingEntry(*module);
    }
    if (!isOk(status))
        unloadModule(module);
    return status;
}

Status useLinkedModule(const uint8_t *propertyList, size_t propertyListSize, const uint8_t *terminology,
                       size_t terminologySize, PluginEntry entry, LoadedModule *module) {
    *module = LoadedModule{};
    module->path = "(linked module)";
    module->propertyList = propertyList;
    module->propertyListSize = propertyListSize;
    module->terminology = terminology;
    module->terminologySize = terminologySize;
    Status status = checkList(module);
    if (!isOk(status))
        return status;
    if (module->info.entryName != "ENTRYPOINT" || entry == nullptr)
        return missingEntry(*module);
    module->entry = entry;
    return okStatus();
}

void unloadModule(LoadedModule *module) {
    if (module->library != nullptr)
        closeLibrary(module->library);
    std::string path = module->path;
    *module = LoadedModule{};
    module->path = path;
}

std::string defaultModulePath() { return joinPath(programFolder(), defaultModuleName); }
