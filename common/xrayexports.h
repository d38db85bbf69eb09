// The names a sensor driver's seven exports are looked up by, undecorated,
// in the order of the typedefs in xraydrv.h. Every program that resolves or
// checks the exports by name takes them from here.
#pragma once

constexpr const char XRAY_OPEN_EXPORT[] = "XRAYOpen";
constexpr const char XRAY_CLOSE_EXPORT[] = "XRAYClose";
constexpr const char XRAY_PREPARE_ACQUISITION_EXPORT[] = "XRAYPrepareAcquisition";
constexpr const char XRAY_RESOLUTION_EXPORT[] = "XRAYResolution";
constexpr const char XRAY_SIZE_EXPORT[] = "XRAYSize";
constexpr const char XRAY_GET_BINNING_MODE_EXPORT[] = "bXRAYGetBinningMode";
constexpr const char XRAY_CHANGE_BINNING_MODE_EXPORT[] = "bXRAYChangeBinningMode";

constexpr int XRAY_EXPORT_COUNT = 7;
constexpr const char *const XRAY_EXPORT_NAMES[XRAY_EXPORT_COUNT] = {
    XRAY_OPEN_EXPORT,       XRAY_CLOSE_EXPORT,           XRAY_PREPARE_ACQUISITION_EXPORT,
    XRAY_RESOLUTION_EXPORT, XRAY_SIZE_EXPORT,            XRAY_GET_BINNING_MODE_EXPORT,
    XRAY_CHANGE_BINNING_MODE_EXPORT,
};
