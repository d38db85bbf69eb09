// Not built yet: placeholder.
#include "settings.h"
void SensorSettingsOnCreate(HMENU) {}
void ApplyDriverModeOnCreate(HWND, HMENU, int) {}
void ToggleSynchro(HWND) {}
void ToggleResolution() {}
int SynchroSetting() { return 0; }
int HighResolutionFlag() { return 0; }
