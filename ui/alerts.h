// The About box and the string alert, shown in modal platform message boxes.
#pragma once

#include <cstdint>

#include "host/host_records.h"
#include "platform/platform.h"
#include "ui/counted_string.h"

// String resources of the About box and the version alert.
constexpr uint32_t aboutTextID = 16000;
constexpr uint32_t aboutCaptionID = 16001;
constexpr int16_t versionAlertID = 16990;
constexpr int16_t hostTooOldStringID = 16992;
constexpr int16_t hostTooNewStringID = 16993;

// Shows string `stringID` (at most 254 characters) in a box captioned by string
// stringID + 1 (at most 59), owned by the host's window from the About record's platform
// data, with an OK button and the information icon. Without platform data the box has no
// owner. A missing string shows as an empty text or caption. The call's result is untouched.
void showAboutBox(const AboutRecord *about, PlatformInstance instance, uint32_t stringID);

// Shows string `stringID` with ^1 and ^2 replaced by param1 and param2 (null counts as
// empty), cut to 254 characters, with the platform's default caption, an OK button and the
// warning icon. A stringID of 0 or below shows an empty text; an alertID of 0 shows nothing.
// Returns the box's result, or 0 when nothing was shown.
int16_t showStringAlert(PlatformInstance instance, PlatformWindow owner, int16_t alertID, int16_t stringID,
                        const CountedString *param1, const CountedString *param2);
