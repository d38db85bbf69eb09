// Reading the driver file, without loading it, and its verdict as a whole:
// a PE DLL of the station's machine and bitness, or why not.
#include "filecheck.h"

#include <cstdio>

#include "report.h"
#include "station.h"

namespace drvcheck {

namespace {

// The wrong bitness: the file's, then the station's twice.
constexpr char WRONG_BITNESS_DLL[] =
    "this is a %d-bit DLL; the station is a %d-bit program and can only load %d-bit drivers";
constexpr char WRONG_BITNESS_EXE[] =
    "this is a %d-bit program (EXE), not a driver DLL; the station is a %d-bit program and can only "
    "load %d-bit DLLs";
constexpr char EXE_NOT_DLL[] =
    "this is a program (EXE), not a DLL; the station loads its driver with LoadLibrary and needs a DLL";

}  // namespace

bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + n);
    }
    fclose(f);
    return true;
}

// The file as a whole: false when it cannot be a driver of the station's
// bitness at all.
bool CheckFile(const Options &options, PeImage *image)
{
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(options.driver, &bytes)) {
        Report(Level::Error, "cannot read %s: no such file, or no access", options.driver);
        return false;
    }
    *image = ReadPeImage(bytes);
    if (image->kind == PeKind::NotPe) {
        Report(Level::Error, "this is not a Windows DLL (no PE header)");
        return false;
    }
    if (image->kind == PeKind::Truncated) {
        Report(Level::Error, "the PE file is damaged or cut short");
        return false;
    }
    // A PE32+ header or the x86-64 machine makes a 64-bit file; otherwise
    // it is a 32-bit one.
    const int bits = image->machine == PE_MACHINE_AMD64 || image->optional64 ? 64 : 32;
    if (bits != STATION_BITS) {
        Report(Level::Error, image->dll ? WRONG_BITNESS_DLL : WRONG_BITNESS_EXE, bits, STATION_BITS, STATION_BITS);
        return false;
    }
    if (image->machine != STATION_MACHINE) {
        Report(Level::Error, "this DLL is built for machine 0x%04X, not %s; the station can only load %d-bit %s drivers",
               image->machine, STATION_MACHINE_NAME, STATION_BITS, STATION_MACHINE_NAME);
        return false;
    }
    if (!image->dll) {
        Report(Level::Error, "%s", EXE_NOT_DLL);
        return false;
    }
    Report(Level::Ok, "a %d-bit %s PE DLL", STATION_BITS, STATION_MACHINE_NAME);
    return true;
}

}  // namespace drvcheck
