// The PE reader. Offsets inside the image are RVAs; each is mapped through
// the section table to a file offset and checked before use.
#include "peimage.h"

#include "dibbytes.h"

namespace {

constexpr uint16_t FILE_DLL = 0x2000;
constexpr uint16_t OPTIONAL_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_PE32_PLUS = 0x20B;
constexpr uint32_t MAX_NAMES = 65536;
constexpr size_t MAX_NAME_LENGTH = 512;

struct Reader {
    const std::vector<uint8_t> &file;
    bool Has(uint64_t offset, uint64_t size) const { return offset <= file.size() && size <= file.size() - offset; }
    uint16_t U16(uint64_t o) const { return ReadU16(&file[o]); }
    uint32_t U32(uint64_t o) const { return ReadU32(&file[o]); }
};

struct Section {
    uint32_t rva;
    uint32_t size;
    uint32_t fileOffset;
    uint32_t fileSize;
};

// File offset of an RVA, or false when no section holds it in the file.
bool MapRva(const std::vector<Section> &sections, uint32_t rva, uint64_t *offset)
{
    for (const Section &s : sections) {
        uint32_t span = s.size > s.fileSize ? s.size : s.fileSize;
        if (rva >= s.rva && rva - s.rva < span) {
            if (rva - s.rva >= s.fileSize) {
                return false;
            }
            *offset = static_cast<uint64_t>(s.fileOffset) + (rva - s.rva);
            return true;
        }
    }
    return false;
}

bool ReadName(const Reader &r, const std::vector<Section> &sections, uint32_t rva, std::string *name)
{
    uint64_t offset;
    if (!MapRva(sections, rva, &offset)) {
        return false;
    }
    name->clear();
    while (offset < r.file.size() && r.file[offset] != 0 && name->size() < MAX_NAME_LENGTH) {
        name->push_back(static_cast<char>(r.file[offset++]));
    }
    return offset < r.file.size() && r.file[offset] == 0;
}

}  // namespace

PeImage ReadPeImage(const std::vector<uint8_t> &file)
{
    PeImage image;
    Reader r{file};
    if (!r.Has(0, 64) || file[0] != 'M' || file[1] != 'Z') {
        return image;
    }
    const uint32_t pe = r.U32(0x3C);
    if (!r.Has(pe, 24) || r.U32(pe) != 0x00004550) {
        return image;
    }
    image.kind = PeKind::Truncated;
    image.machine = r.U16(pe + 4);
    const uint16_t sectionCount = r.U16(pe + 6);
    const uint16_t optionalSize = r.U16(pe + 20);
    image.dll = (r.U16(pe + 22) & FILE_DLL) != 0;
    const uint64_t optional = pe + 24;
    if (!r.Has(optional, optionalSize) || optionalSize < 2) {
        return image;
    }
    const uint16_t magic = r.U16(optional);
    if (magic != OPTIONAL_PE32 && magic != OPTIONAL_PE32_PLUS) {
        return image;
    }
    image.optional64 = magic == OPTIONAL_PE32_PLUS;
    // The data directories follow the fixed part of the optional header.
    const uint64_t directories = optional + (image.optional64 ? 112 : 96);
    const uint64_t directoryCountAt = directories - 4;
    if (directoryCountAt + 4 > optional + optionalSize) {
        return image;
    }
    const uint32_t directoryCount = r.U32(directoryCountAt);
    auto directory = [&](uint32_t index, uint32_t *rva, uint32_t *size) {
        *rva = *size = 0;
        if (index < directoryCount && directories + 8 * (index + 1) <= optional + optionalSize) {
            *rva = r.U32(directories + 8 * index);
            *size = r.U32(directories + 8 * index + 4);
        }
    };
    const uint64_t sectionTable = optional + optionalSize;
    if (!r.Has(sectionTable, 40ull * sectionCount)) {
        return image;
    }
    std::vector<Section> sections;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint64_t s = sectionTable + 40ull * i;
        sections.push_back({r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16)});
    }

    uint32_t rva, size;
    directory(1, &rva, &size);
    if (rva != 0) {
        uint64_t at;
        if (!MapRva(sections, rva, &at)) {
            return image;
        }
        // Import descriptors of 20 bytes, ended by one of zeros.
        for (uint32_t i = 0; i < MAX_NAMES; ++i, at += 20) {
            if (!r.Has(at, 20)) {
                return image;
            }
            uint32_t nameRva = r.U32(at + 12);
            if (nameRva == 0 && r.U32(at + 16) == 0) {
                break;
            }
            std::string name;
            if (!ReadName(r, sections, nameRva, &name)) {
                return image;
            }
            image.imports.push_back(name);
        }
    }

    directory(0, &rva, &size);
    if (rva != 0) {
        uint64_t at;
        if (!MapRva(sections, rva, &at) || !r.Has(at, 40)) {
            return image;
        }
        const uint32_t nameCount = r.U32(at + 24);
        uint64_t names = 0;
        if (nameCount > MAX_NAMES || (nameCount > 0 && !MapRva(sections, r.U32(at + 32), &names))) {
            return image;
        }
        for (uint32_t i = 0; i < nameCount; ++i) {
            std::string name;
            if (!r.Has(names + 4ull * i, 4) || !ReadName(r, sections, r.U32(names + 4ull * i), &name)) {
                return image;
            }
            image.exports.push_back(name);
        }
    }
    image.kind = PeKind::Image;
    return image;
}
