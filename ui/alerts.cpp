// placeholder
#include "ui/alerts.h"
void showAboutBox(const AboutRecord *, PlatformInstance, uint32_t) {}
int16_t showStringAlert(PlatformInstance, PlatformWindow, int16_t, int16_t, const CountedString *, const CountedString *) { return 0; }
