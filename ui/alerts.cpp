// The About box and the string alert: texts loaded from the string table, shown modally.
#include "ui/alerts.h"

#include <cstring>

namespace {

// A string loads into 256 bytes with a limit of 255, so at most 254 characters arrive.
constexpr int32_t textBufferSize = 256;
constexpr int32_t textLoadLimit = 255;
// The About caption is kept short: 59 characters and the zero byte.
constexpr int32_t captionBufferSize = 60;

// The host's window from the About record's platform data. A host that passes no platform
// data still gets its About box, just without an owner.
PlatformWindow aboutOwner(const AboutRecord *about) {
    if (about == nullptr || about->platformData == nullptr)
        return 0;
    return static_cast<const PlatformData *>(about->platformData)->hwnd;
}

// The characters that platformLoadString reported, kept within what a message may hold.
int16_t loadedCount(int32_t count) {
    if (count < 0)
        return 0;
    return static_cast<int16_t>(count > countedStringLimit ? countedStringLimit : count);
}

} // namespace

void showAboutBox(const AboutRecord *about, PlatformInstance instance, uint32_t stringID) {
    PlatformWindow owner = aboutOwner(about);
    char text[textBufferSize] = {};
    platformLoadString(instance, stringID, text, textLoadLimit);
    char caption[captionBufferSize] = {};
    platformLoadString(instance, stringID + 1, caption, captionBufferSize);
    platformMessageBox(owner, text, caption, platformBoxOk | platformBoxIconInformation);
}

int16_t showStringAlert(PlatformInstance instance, PlatformWindow owner, int16_t alertID, int16_t stringID,
                        const CountedString *param1, const CountedString *param2) {
    if (alertID == 0)
        return 0;
    CountedString message{};
    if (stringID > 0) {
        char loaded[textBufferSize] = {};
        int32_t count = platformLoadString(instance, static_cast<uint32_t>(stringID), loaded, textLoadLimit);
        appendChars(&message, loaded, 0, loadedCount(count));
    }
    expandParams(&message, nullptr, param1, param2);
    uint8_t length = message.bytes[0];
    message.bytes[length + 1] = 0;
    char text[textBufferSize] = {};
    std::memcpy(text, &message.bytes[1], static_cast<size_t>(length) + 1);
    return static_cast<int16_t>(platformMessageBox(owner, text, nullptr, platformBoxOk | platformBoxIconWarning));
}
