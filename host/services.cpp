// The host-service checks with their version alerts, and the buffer and handle wrappers.
#include "host/services.h"

#include "ui/alerts.h"

namespace {

// What a service must offer, and the host version named when it does not.
struct ServiceRequirement {
    int16_t version;
    uint16_t minimumCount;
    double hostVersion;
};

constexpr ServiceRequirement bufferRequirement{kCurrentBufferProcsVersion, 5, 2.5};
constexpr ServiceRequirement handleRequirement{kCurrentHandleProcsVersion, 7, 3.0};
constexpr double advanceStateHostVersion = 3.0;

// '8BIM' as the record holds it: the four characters read as one big-endian number.
constexpr OSType editorSignature = 0x3842494Du;

// Steps 2 to 5 of the test, common to both service records. The count is compared unsigned,
// so a negative count passes and only the null tests apply.
bool versionAndCountUsable(int16_t version, int16_t count, const ServiceRequirement &need, bool *tooNew) {
    if (version < need.version)
        return false;
    if (version > need.version) {
        if (tooNew != nullptr)
            *tooNew = true;
        return false;
    }
    return static_cast<uint16_t>(count) >= need.minimumCount;
}

void alertMissingService(PlatformInstance instance, bool tooNew, double hostVersion) {
    CountedString versionText{};
    formatDecimal(&versionText, hostVersion, 1);
    showStringAlert(instance, 0, versionAlertID, tooNew ? hostTooNewStringID : hostTooOldStringID, &versionText,
                    nullptr);
}

} // namespace

bool bufferServicesUsable(const BufferProcs *procs, bool *tooNew) {
    if (procs == nullptr)
        return false;
    if (!versionAndCountUsable(procs->bufferProcsVersion, procs->numBufferProcs, bufferRequirement, tooNew))
        return false;
    return procs->allocateProc != nullptr && procs->lockProc != nullptr && procs->unlockProc != nullptr &&
           procs->freeProc != nullptr && procs->spaceProc != nullptr;
}

bool handleServicesUsable(const HandleProcs *procs, bool *tooNew) {
    if (procs == nullptr)
        return false;
    if (!versionAndCountUsable(procs->handleProcsVersion, procs->numHandleProcs, handleRequirement, tooNew))
        return false;
    return procs->newProc != nullptr && procs->disposeProc != nullptr && procs->getSizeProc != nullptr &&
           procs->setSizeProc != nullptr;
}

bool hostServicesUsable(PluginGlobals *globals) {
    const FormatRecord *record = globals->formatRecord;
    // The first service that fails names the host version in the alert.
    bool tooNew = false;
    double hostVersion = 0.0;
    if (!bufferServicesUsable(record->bufferProcs, &tooNew))
        hostVersion = bufferRequirement.hostVersion;
    else if (record->advanceState == nullptr)
        hostVersion = advanceStateHostVersion;
    else if (!handleServicesUsable(record->handleProcs, &tooNew))
        hostVersion = handleRequirement.hostVersion;
    else
        return true;
    alertMissingService(moduleInstance, tooNew, hostVersion);
    return false;
}

void doOptionsStart(PluginGlobals *globals) {
    if (recordCancel(globals, !hostServicesUsable(globals)))
        globals->formatRecord->data = nullptr;
}

int16_t allocateHostBuffer(const BufferProcs *procs, int32_t size, BufferID *bufferID) {
    *bufferID = nullptr;
    if (!bufferServicesUsable(procs))
        return memFullErr;
    return procs->allocateProc(size, bufferID);
}

uint8_t *lockHostBuffer(const BufferProcs *procs, BufferID bufferID, bool moveHigh) {
    if (!bufferServicesUsable(procs))
        return nullptr;
    return reinterpret_cast<uint8_t *>(procs->lockProc(bufferID, moveHigh ? 1 : 0));
}

void freeHostBuffer(const BufferProcs *procs, BufferID bufferID) {
    if (bufferServicesUsable(procs))
        procs->freeProc(bufferID);
}

void disposeHostHandle(const HandleProcs *procs, Handle handle) {
    if (handleServicesUsable(procs))
        procs->disposeProc(handle);
    else
        disposeLocalHandle(reinterpret_cast<LocalHandle *>(handle));
}

void disposeLocalHandle(LocalHandle *handle) {
    if (handle == nullptr)
        return;
    platformDisposeFixedBlock(handle->block);
    platformDisposeFixedBlock(handle);
}

bool hostUsesScale32768(const FormatRecord *record) { return record->hostSig == editorSignature; }
