// Our own declarations of the host interface for file-format modules, in its published layout.
//
// FormatRecord is packed to 4 bytes on every platform, as the host's headers pack it on
// Windows; the service records and the About record use the compiler's default packing.
// Every callback and the entry point use the plain C calling convention.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using Boolean = uint8_t;
using OSType = uint32_t;
using OSErr = int16_t;
using Fixed = int32_t;
using Ptr = char *;
using Handle = char **;
struct PSBuffer;
using BufferID = PSBuffer *;

struct Point {
    int16_t v;
    int16_t h;
};

struct Rect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

struct VPoint {
    int32_t v;
    int32_t h;
};

struct VRect {
    int32_t top;
    int32_t left;
    int32_t bottom;
    int32_t right;
};

struct PlugInMonitor {
    Fixed gamma, redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY, ambient;
};

using LookUpTable = uint8_t[256];
using PlaneMap = int16_t[16];

struct PlatformData {
    intptr_t hwnd;
};

// Callbacks the host hands the module.
using TestAbortProc = Boolean (*)();
using ProgressProc = void (*)(int32_t done, int32_t total);
using AdvanceStateProc = OSErr (*)();
using HostProc = void (*)(int16_t selector, intptr_t *data);

using AllocateBufferProc = OSErr (*)(int32_t size, BufferID *bufferID);
using LockBufferProc = Ptr (*)(BufferID bufferID, Boolean moveHigh);
using UnlockBufferProc = void (*)(BufferID bufferID);
using FreeBufferProc = void (*)(BufferID bufferID);
using BufferSpaceProc = int32_t (*)();
using ReserveSpaceProc = OSErr (*)(int32_t size);
using AllocateBufferProc64 = OSErr (*)(int64_t size, BufferID *bufferID);
using BufferSpaceProc64 = int64_t (*)();

using NewPIHandleProc = Handle (*)(int32_t size);
using DisposePIHandleProc = void (*)(Handle h);
using GetPIHandleSizeProc = int32_t (*)(Handle h);
using SetPIHandleSizeProc = OSErr (*)(Handle h, int32_t newSize);
using LockPIHandleProc = Ptr (*)(Handle h, Boolean moveHigh);
using UnlockPIHandleProc = void (*)(Handle h);
using RecoverSpaceProc = void (*)(int32_t size);
using DisposeRegularHandlePIHandleProc = void (*)(Handle h);

struct BufferProcs {
    int16_t bufferProcsVersion;
    int16_t numBufferProcs;
    AllocateBufferProc allocateProc;
    LockBufferProc lockProc;
    UnlockBufferProc unlockProc;
    FreeBufferProc freeProc;
    BufferSpaceProc spaceProc;
    ReserveSpaceProc reserveProc;
    AllocateBufferProc64 allocateProc64;
    BufferSpaceProc64 spaceProc64;
};

// How the host names a file on Windows (and in the host stand-in): a NUL-terminated
// UTF-16 path.
struct HostFileName {
    uint16_t *mReference;
};

struct HandleProcs {
    int16_t handleProcsVersion;
    int16_t numHandleProcs;
    NewPIHandleProc newProc;
    DisposePIHandleProc disposeProc;
    GetPIHandleSizeProc getSizeProc;
    SetPIHandleSizeProc setSizeProc;
    LockPIHandleProc lockProc;
    UnlockPIHandleProc unlockProc;
    RecoverSpaceProc recoverSpaceProc;
    DisposeRegularHandlePIHandleProc disposeRegularHandleProc;
};

// The services the module knows: buffer services version 2, handle services version 1.
constexpr int16_t kCurrentBufferProcsVersion = 2;
constexpr int16_t kCurrentBufferProcsCount = 8;
constexpr int16_t kCurrentHandleProcsVersion = 1;
constexpr int16_t kCurrentHandleProcsCount = 8;

#pragma pack(push, 4)
struct FormatRecord {
    int32_t serialNumber;
    TestAbortProc abortProc;
    ProgressProc progressProc;
    int32_t maxData;
    int32_t minDataBytes;
    int32_t maxDataBytes;
    int32_t minRsrcBytes;
    int32_t maxRsrcBytes;
    intptr_t dataFork;
    intptr_t rsrcFork;
    void *fileSpec;
    int16_t imageMode;
    Point imageSize;
    int16_t depth;
    int16_t planes;
    Fixed imageHRes;
    Fixed imageVRes;
    LookUpTable redLUT;
    LookUpTable greenLUT;
    LookUpTable blueLUT;
    void *data;
    Rect theRect;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
    int32_t rowBytes;
    int32_t planeBytes;
    PlaneMap planeMap;
    Boolean canTranspose;
    Boolean needTranspose;
    OSType hostSig;
    HostProc hostProc;
    int16_t hostModes;
    Handle revertInfo;
    NewPIHandleProc hostNewHdl;
    DisposePIHandleProc hostDisposeHdl;
    Handle imageRsrcData;
    int32_t imageRsrcSize;
    PlugInMonitor monitor;
    void *platformData;
    BufferProcs *bufferProcs;
    void *resourceProcs;
    void *processEvent;
    void *displayPixels;
    HandleProcs *handleProcs;
    OSType fileType;
    void *colorServices;
    AdvanceStateProc advanceState;
    void *propertyProcs;
    void *imageServicesProcs;
    int16_t tileWidth;
    int16_t tileHeight;
    Point tileOrigin;
    void *descriptorParameters;
    void *errorString;
    int32_t maxValue;
    void *sSPBasic;
    void *plugInRef;
    int32_t transparentIndex;
    Handle iCCprofileData;
    int32_t iCCprofileSize;
    int32_t canUseICCProfiles;
    int32_t lutCount;
    int32_t preferredColorModes;
    int32_t convertMode;
    VPoint preferredSize;
    int32_t imageIndex;
    int32_t transparencyPlane;
    int32_t transparencyMatting;
    void *channelPortProcs;
    void *documentInfo;
    Boolean openForPreview;
    int32_t browserRotation;
    int32_t HostSupports32BitCoordinates;
    int32_t PluginUsing32BitCoordinates;
    VPoint imageSize32;
    VRect theRect32;
    uint32_t requestedFileProperty;
    uint32_t filePropertyValue;
    uint32_t fileCount;
    Handle xmp;
    int32_t supportsSkipFile;
    Boolean extractQuickThumbnail;
    Boolean hostInSecondaryThread;
    uint32_t bulkMask;
    uint32_t *bulkFlags;
    uint32_t presetCount;
    Handle presetNames;
    Handle presetData;
    uint32_t settingsChecksum;
    void *fileSpec2;
    uint32_t layerData;
    uint16_t *layerName;
    void *renderRecord;
    Handle *bulkParams;
    Boolean openAsSmartObject;
    void *layerMetaData;
    uint16_t *finalSpec;
    Boolean isTextLayer;
    void *textDescriptor;
    Boolean isGroupDivider;
    Boolean isGroupStart;
    Boolean isVisible;
    Boolean isLocked;
    uint32_t blendMode;
    uint8_t opacity;
    Handle bulkExtraData;
    void *fileSpecX;
    int16_t hostSupportsPOSIXIO;
    int16_t pluginUsingPOSIXIO;
    int32_t posixFileDescriptor;
    Boolean hostSupportsPluginOpeningFile;
    Boolean hostSupportsSingleOpenToBulkSwitch;
    Boolean pluginWantsSingleOpenToBulkSwitch;
    char reserved[50];
};
#pragma pack(pop)

struct AboutRecord {
    void *platformData;
    void *sSPBasic;
    void *plugInRef;
    char reserved[244];
};

// Selectors of a file-format module.
enum : int16_t {
    formatSelectorAbout = 0,
    formatSelectorReadPrepare = 1,
    formatSelectorReadStart = 2,
    formatSelectorReadContinue = 3,
    formatSelectorReadFinish = 4,
    formatSelectorOptionsPrepare = 5,
    formatSelectorOptionsStart = 6,
    formatSelectorOptionsContinue = 7,
    formatSelectorOptionsFinish = 8,
    formatSelectorEstimatePrepare = 9,
    formatSelectorEstimateStart = 10,
    formatSelectorEstimateContinue = 11,
    formatSelectorEstimateFinish = 12,
    formatSelectorWritePrepare = 13,
    formatSelectorWriteStart = 14,
    formatSelectorWriteContinue = 15,
    formatSelectorWriteFinish = 16,
    formatSelectorFilterFile = 17,
};

// Result codes the module hands back.
constexpr OSErr noErr = 0;
constexpr OSErr readErr = -19;
constexpr OSErr writErr = -20;
constexpr OSErr dskFulErr = -34;
constexpr OSErr eofErr = -39;
constexpr OSErr memFullErr = -108;
constexpr OSErr userCanceledErr = -128;
constexpr OSErr formatBadParameters = -30500;
constexpr OSErr formatCannotRead = -30501;

// Image modes.
constexpr int16_t plugInModeBitmap = 0;
constexpr int16_t plugInModeGrayScale = 1;
constexpr int16_t plugInModeIndexedColor = 2;
constexpr int16_t plugInModeRGBColor = 3;
constexpr int16_t plugInModeMultichannel = 7;

// The one export of a format module.
using PluginEntry = void (*)(int16_t selector, void *record, intptr_t *data, int16_t *result);

} // extern "C"

// The published layout, checked where the module reads or writes. The offsets differ only
// in the width of pointers, so each is given for 4- and 8-byte pointers.
constexpr size_t publishedOffset(size_t offset32, size_t offset64) {
    return sizeof(void *) == 4 ? offset32 : offset64;
}
static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(VRect) == 16);
static_assert(offsetof(FormatRecord, progressProc) == publishedOffset(8, 12));
static_assert(offsetof(FormatRecord, maxData) == publishedOffset(12, 20));
static_assert(offsetof(FormatRecord, minDataBytes) == publishedOffset(16, 24));
static_assert(offsetof(FormatRecord, maxDataBytes) == publishedOffset(20, 28));
static_assert(offsetof(FormatRecord, dataFork) == publishedOffset(32, 40));
static_assert(offsetof(FormatRecord, imageMode) == publishedOffset(44, 64));
static_assert(offsetof(FormatRecord, imageSize) == publishedOffset(46, 66));
static_assert(offsetof(FormatRecord, depth) == publishedOffset(50, 70));
static_assert(offsetof(FormatRecord, planes) == publishedOffset(52, 72));
static_assert(offsetof(FormatRecord, data) == publishedOffset(832, 852));
static_assert(offsetof(FormatRecord, theRect) == publishedOffset(836, 860));
static_assert(offsetof(FormatRecord, loPlane) == publishedOffset(844, 868));
static_assert(offsetof(FormatRecord, hiPlane) == publishedOffset(846, 870));
static_assert(offsetof(FormatRecord, colBytes) == publishedOffset(848, 872));
static_assert(offsetof(FormatRecord, rowBytes) == publishedOffset(852, 876));
static_assert(offsetof(FormatRecord, planeBytes) == publishedOffset(856, 880));
static_assert(offsetof(FormatRecord, hostSig) == publishedOffset(896, 920));
static_assert(offsetof(FormatRecord, imageRsrcData) == publishedOffset(920, 960));
static_assert(offsetof(FormatRecord, imageRsrcSize) == publishedOffset(924, 968));
static_assert(offsetof(FormatRecord, platformData) == publishedOffset(968, 1012));
static_assert(offsetof(FormatRecord, bufferProcs) == publishedOffset(972, 1020));
static_assert(offsetof(FormatRecord, handleProcs) == publishedOffset(988, 1052));
static_assert(offsetof(FormatRecord, advanceState) == publishedOffset(1000, 1072));
static_assert(offsetof(FormatRecord, maxValue) == publishedOffset(1028, 1120));
static_assert(offsetof(FormatRecord, reserved) == publishedOffset(1255, 1419));
static_assert(sizeof(FormatRecord) == publishedOffset(1308, 1472));
static_assert(offsetof(BufferProcs, allocateProc) == publishedOffset(4, 8));
static_assert(offsetof(BufferProcs, spaceProc) == publishedOffset(20, 40));
static_assert(sizeof(BufferProcs) == publishedOffset(36, 72));
static_assert(offsetof(HandleProcs, disposeProc) == publishedOffset(8, 16));
static_assert(offsetof(HandleProcs, setSizeProc) == publishedOffset(16, 32));
static_assert(sizeof(HandleProcs) == publishedOffset(36, 72));
static_assert(sizeof(AboutRecord) == publishedOffset(256, 272));
static_assert(sizeof(PlatformData) == sizeof(void *));
