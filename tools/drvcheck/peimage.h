// Reading a Windows PE file from its bytes, without loading it: what machine
// it is built for, whether it is a DLL, the DLLs it imports and the names it
// exports. Pure: bytes in, facts out; every offset is checked against the
// file before it is read, so a truncated or hostile file is only refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PeKind {
    NotPe,      // no MZ header, or no PE signature where it points
    Truncated,  // the headers or a directory run past the end of the file
    Image,      // headers read; the fields below are set
};

constexpr uint16_t PE_MACHINE_I386 = 0x014C;
constexpr uint16_t PE_MACHINE_AMD64 = 0x8664;

struct PeImage {
    PeKind kind = PeKind::NotPe;
    uint16_t machine = 0;
    bool dll = false;           // IMAGE_FILE_DLL in the file header
    bool optional64 = false;    // PE32+ optional header
    std::vector<std::string> imports;  // DLL names, in the order of the import table
    std::vector<std::string> exports;  // exported names, in the order of the name table
};

PeImage ReadPeImage(const std::vector<uint8_t> &file);
