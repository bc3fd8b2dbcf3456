#include "platform/win32/pe_imports.h"

#include <cstdint>

namespace kov::platform::win32 {
namespace {

constexpr std::size_t kMaxImports = 4096;   // more is no real DLL
constexpr std::size_t kMaxNameChars = 260;  // MAX_PATH

class Image {
public:
    Image(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    bool u16(std::size_t at, std::uint16_t& out) const {
        if (at > size_ || size_ - at < 2) return false;
        out = static_cast<std::uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
        return true;
    }
    bool u32(std::size_t at, std::uint32_t& out) const {
        if (at > size_ || size_ - at < 4) return false;
        out = static_cast<std::uint32_t>(bytes_[at]) | static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
              static_cast<std::uint32_t>(bytes_[at + 2]) << 16 |
              static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
        return true;
    }
    // A terminated ASCII name at `at`; false when it runs off the file or past kMaxNameChars.
    bool name(std::size_t at, std::string& out) const {
        out.clear();
        for (std::size_t i = at; i < size_ && out.size() <= kMaxNameChars; ++i) {
            if (bytes_[i] == 0) return !out.empty();
            out.push_back(static_cast<char>(bytes_[i]));
        }
        return false;
    }

private:
    const unsigned char* bytes_;
    std::size_t size_;
};

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

// The file offset of a relative virtual address: inside a section's raw data, or nowhere.
bool fileOffset(const std::vector<Section>& sections, std::uint32_t rva, std::size_t& out) {
    for (const Section& s : sections) {
        const std::uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= span) continue;
        const std::uint32_t into = rva - s.virtualAddress;
        if (into >= s.rawSize) return false; // zero-filled at load time, nothing in the file
        out = std::size_t{s.rawOffset} + into;
        return true;
    }
    return false;
}

} // namespace

std::vector<std::string> importedModules(const unsigned char* bytes, std::size_t size) {
    const Image image(bytes, size);
    std::vector<std::string> names;
    std::uint16_t magic = 0;
    std::uint32_t peAt = 0, signature = 0;
    if (!image.u16(0, magic) || magic != 0x5A4D /* MZ */ || !image.u32(0x3C, peAt) ||
        !image.u32(peAt, signature) || signature != 0x00004550 /* PE\0\0 */)
        return names;
    const std::size_t fileHeader = std::size_t{peAt} + 4;
    const std::size_t optional = fileHeader + 20;
    std::uint16_t sectionCount = 0, optionalSize = 0, optionalMagic = 0;
    if (!image.u16(fileHeader + 2, sectionCount) || !image.u16(fileHeader + 16, optionalSize) ||
        !image.u16(optional, optionalMagic))
        return names;
    // PE32 and PE32+ differ in where the data directories start.
    std::size_t countAt = 0;
    if (optionalMagic == 0x10B) countAt = optional + 92;
    else if (optionalMagic == 0x20B) countAt = optional + 108;
    else return names;
    std::uint32_t directoryCount = 0, importRva = 0;
    if (!image.u32(countAt, directoryCount) || directoryCount < 2 ||
        countAt + 4 + 16 > optional + optionalSize || !image.u32(countAt + 4 + 8, importRva) ||
        importRva == 0)
        return names;

    std::vector<Section> sections;
    const std::size_t table = optional + optionalSize;
    for (std::size_t i = 0; i < sectionCount; ++i) {
        Section s{};
        const std::size_t at = table + i * 40;
        if (!image.u32(at + 8, s.virtualSize) || !image.u32(at + 12, s.virtualAddress) ||
            !image.u32(at + 16, s.rawSize) || !image.u32(at + 20, s.rawOffset))
            return names;
        sections.push_back(s);
    }
    std::size_t descriptor = 0;
    if (!fileOffset(sections, importRva, descriptor)) return names;
    // Descriptors of 20 bytes; the first whose name field is 0 ends the table.
    for (std::size_t i = 0; i < kMaxImports; ++i, descriptor += 20) {
        std::uint32_t nameRva = 0;
        if (!image.u32(descriptor + 12, nameRva) || nameRva == 0) break;
        std::size_t nameAt = 0;
        std::string name;
        if (!fileOffset(sections, nameRva, nameAt) || !image.name(nameAt, name)) break;
        names.push_back(name);
    }
    return names;
}

} // namespace kov::platform::win32
