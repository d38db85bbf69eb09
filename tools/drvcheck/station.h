// The station's machine and bitness, from the build: drvcheck is built in
// the station's flavour and checks drivers the station of that flavour could
// load.
#pragma once

#include <cstdint>

#include "peimage.h"

#if defined(__i386__) || defined(_M_IX86)
#define DRVCHECK_WATCHES_STACK 1
#elif defined(__x86_64__) || defined(_M_X64)
// x86-64 has one calling convention: no callee takes its caller's arguments
// off the stack, so there is nothing for a thunk to measure.
#define DRVCHECK_WATCHES_STACK 0
#else
#error "drvcheck checks drivers for the station's own machine: build it for x86 (i686) or x86-64"
#endif

namespace drvcheck {

#if DRVCHECK_WATCHES_STACK
constexpr uint16_t STATION_MACHINE = PE_MACHINE_I386;
constexpr char STATION_MACHINE_NAME[] = "x86";
#else
constexpr uint16_t STATION_MACHINE = PE_MACHINE_AMD64;
constexpr char STATION_MACHINE_NAME[] = "x64";
#endif
constexpr int STATION_BITS = static_cast<int>(8 * sizeof(void *));
// Hexadecimal digits of an address.
constexpr int ADDRESS_DIGITS = static_cast<int>(2 * sizeof(void *));

}  // namespace drvcheck
