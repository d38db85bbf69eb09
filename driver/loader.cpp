// Not built yet: placeholder bodies with the unbound defaults.
#include "loader.h"
int LoadDriver(HWND) { return 0; }
void CloseDriver() {}
int DriverMode() { return 0; }
void StartAcquisition() {}
int GetSensorResolution(double *, double *) { return 0; }
void GetSensorSize(int *width, int *height) { *width = 512; *height = 768; }
int HasBinningMode() { return 0; }
int ChangeBinningMode(int) { return 0; }
