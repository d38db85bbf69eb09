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

// Where the headers put the data directories and the sections.
struct Layout {
    uint64_t directories = 0;  // the first data directory
    uint32_t directoryCount = 0;
    uint64_t optionalEnd = 0;  // the end of the optional header
    std::vector<Section> sections;
};

// The file header, the optional header and the section table. False when
// the file stops there: `image->kind` says whether it is a PE file at all.
bool ReadHeaders(const Reader &r, PeImage *image, Layout *layout)
{
    if (!r.Has(0, 64) || r.file[0] != 'M' || r.file[1] != 'Z') {
        return false;
    }
    const uint32_t pe = r.U32(0x3C);
    if (!r.Has(pe, 24) || r.U32(pe) != 0x00004550) {
        return false;
    }
    image->kind = PeKind::Truncated;
    image->machine = r.U16(pe + 4);
    const uint16_t sectionCount = r.U16(pe + 6);
    const uint16_t optionalSize = r.U16(pe + 20);
    image->dll = (r.U16(pe + 22) & FILE_DLL) != 0;
    const uint64_t optional = pe + 24;
    if (!r.Has(optional, optionalSize) || optionalSize < 2) {
        return false;
    }
    const uint16_t magic = r.U16(optional);
    if (magic != OPTIONAL_PE32 && magic != OPTIONAL_PE32_PLUS) {
        return false;
    }
    image->optional64 = magic == OPTIONAL_PE32_PLUS;
    // The data directories follow the fixed part of the optional header.
    layout->directories = optional + (image->optional64 ? 112 : 96);
    layout->optionalEnd = optional + optionalSize;
    const uint64_t directoryCountAt = layout->directories - 4;
    if (directoryCountAt + 4 > layout->optionalEnd) {
        return false;
    }
    layout->directoryCount = r.U32(directoryCountAt);
    const uint64_t sectionTable = layout->optionalEnd;
    if (!r.Has(sectionTable, 40ull * sectionCount)) {
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint64_t s = sectionTable + 40ull * i;
        layout->sections.push_back({r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16)});
    }
    return true;
}

// The RVA of data directory `index`; 0 when the optional header has none.
uint32_t DirectoryRva(const Reader &r, const Layout &layout, uint32_t index)
{
    if (index < layout.directoryCount && layout.directories + 8 * (index + 1) <= layout.optionalEnd) {
        return r.U32(layout.directories + 8 * index);
    }
    return 0;
}

// The DLL names of the import directory at `rva`; false when the file
// ends inside it.
bool ReadImports(const Reader &r, const std::vector<Section> &sections, uint32_t rva,
                 std::vector<std::string> *imports)
{
    uint64_t at;
    if (!MapRva(sections, rva, &at)) {
        return false;
    }
    // Import descriptors of 20 bytes, ended by one of zeros.
    for (uint32_t i = 0; i < MAX_NAMES; ++i, at += 20) {
        if (!r.Has(at, 20)) {
            return false;
        }
        uint32_t nameRva = r.U32(at + 12);
        if (nameRva == 0 && r.U32(at + 16) == 0) {
            break;
        }
        std::string name;
        if (!ReadName(r, sections, nameRva, &name)) {
            return false;
        }
        imports->push_back(name);
    }
    return true;
}

// The names of the export directory at `rva`; false when the file ends
// inside it.
bool ReadExports(const Reader &r, const std::vector<Section> &sections, uint32_t rva,
                 std::vector<std::string> *exports)
{
    uint64_t at;
    if (!MapRva(sections, rva, &at) || !r.Has(at, 40)) {
        return false;
    }
    const uint32_t nameCount = r.U32(at + 24);
    uint64_t names = 0;
    if (nameCount > MAX_NAMES || (nameCount > 0 && !MapRva(sections, r.U32(at + 32), &names))) {
        return false;
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        std::string name;
        if (!r.Has(names + 4ull * i, 4) || !ReadName(r, sections, r.U32(names + 4ull * i), &name)) {
            return false;
        }
        exports->push_back(name);
    }
    return true;
}

}  // namespace

PeImage ReadPeImage(const std::vector<uint8_t> &file)
{
    PeImage image;
    Reader r{file};
    Layout layout;
    if (!ReadHeaders(r, &image, &layout)) {
        return image;
    }
    uint32_t rva = DirectoryRva(r, layout, 1);
    if (rva != 0 && !ReadImports(r, layout.sections, rva, &image.imports)) {
        return image;
    }
    rva = DirectoryRva(r, layout, 0);
    if (rva != 0 && !ReadExports(r, layout.sections, rva, &image.exports)) {
        return image;
    }
    image.kind = PeKind::Image;
    return image;
}
