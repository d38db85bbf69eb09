// tdbeside.dll: the one DLL testdrv_besidedep.dll imports. It is built into
// a folder of its own, never beside the station, so that only a copy placed
// beside the driver (or in some other folder of the search) can serve.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl TD_Dependency(void) { return 1; }
