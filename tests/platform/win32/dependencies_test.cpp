// What a failed load says on Windows beyond "module not found": the missing file, or the DLL of
// the import tree that the loader cannot find; and the import table it is read from.
#include "platform/platform.h"
#include "platform/win32/pe_imports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kov::platform {
namespace {

using win32::importedModules;

void put16(std::vector<unsigned char>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// The smallest PE32 image with an import table: headers, one section at RVA 0x1000 (file offset
// 0x200) holding two import descriptors at its start and their names at 0x1100 and 0x1110.
std::vector<unsigned char> twoImports() {
    std::vector<unsigned char> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x40);                // the PE header's offset
    std::memcpy(&b[0x40], "PE\0\0", 4);
    put16(b, 0x44, 0x14C);               // i386
    put16(b, 0x46, 1);                   // one section
    put16(b, 0x54, 224);                 // optional header size
    put16(b, 0x58, 0x10B);               // PE32
    put32(b, 0x58 + 92, 16);             // data directories
    put32(b, 0x58 + 96 + 8, 0x1000);     // import directory RVA
    put32(b, 0x58 + 96 + 12, 60);
    const std::size_t section = 0x58 + 224;
    put32(b, section + 8, 0x200);        // virtual size
    put32(b, section + 12, 0x1000);      // virtual address
    put32(b, section + 16, 0x200);       // raw size
    put32(b, section + 20, 0x200);       // raw offset
    put32(b, 0x200 + 12, 0x1100);        // first descriptor's name
    put32(b, 0x200 + 20 + 12, 0x1110);   // second's; the third stays zero and ends the table
    std::memcpy(&b[0x300], "first.dll", 10);
    std::memcpy(&b[0x310], "SECOND.dll", 11);
    return b;
}

TEST(Win32Imports, NamesAreReadFromTheImportTable) {
    const std::vector<unsigned char> image = twoImports();
    EXPECT_EQ((std::vector<std::string>{"first.dll", "SECOND.dll"}),
              importedModules(image.data(), image.size()));
}

// Whatever a file holds, nothing is read outside it: every cut of the image and a few broken
// fields give a prefix of the names or none.
TEST(Win32Imports, TruncatedOrBrokenImagesGiveWhatTheyHoldAndNoMore) {
    const std::vector<unsigned char> image = twoImports();
    for (std::size_t size = 0; size < image.size(); ++size) {
        const std::vector<unsigned char> cut(image.begin(), image.begin() + size);
        const std::vector<std::string> names = importedModules(cut.data(), cut.size());
        EXPECT_LE(names.size(), size > 0x31A ? 2u : size > 0x309 ? 1u : 0u) << size;
    }
    struct Break {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    };
    for (const Break& b : {Break{"PE offset past the end", 0x3C, 0xFFFFFFF0u},
                           Break{"unknown optional header", 0x58, 0x1234},
                           Break{"import table outside every section", 0x58 + 96 + 8, 0x9000},
                           Break{"section data past the end", 0x58 + 224 + 20, 0xFFFFFF00u}}) {
        std::vector<unsigned char> broken = image;
        if (b.at == 0x58) put16(broken, b.at, static_cast<std::uint16_t>(b.value));
        else put32(broken, b.at, b.value);
        EXPECT_TRUE(importedModules(broken.data(), broken.size()).empty()) << b.what;
    }
    std::vector<unsigned char> unterminated = image;
    std::memset(&unterminated[0x310], 'x', 0xF0); // the second name runs to the file's end
    EXPECT_EQ(std::vector<std::string>{"first.dll"},
              importedModules(unterminated.data(), unterminated.size()));
}

TEST(Win32Imports, ARealDllNamesItsRuntime) {
    std::ifstream in("kov_test_needs_runtime.dll", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    ASSERT_FALSE(bytes.empty());
    const std::vector<std::string> names = importedModules(bytes.data(), bytes.size());
    EXPECT_NE(std::find(names.begin(), names.end(), "libstdc++-6.dll"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "libgcc_s_dw2-1.dll"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "KERNEL32.dll"), names.end());
}

std::string failureOf(const char* path) {
    EXPECT_EQ(nullptr, loadLibrary(path)) << path;
    char text[640];
    lastLoadFailure(text, sizeof text);
    return text;
}

TEST(Win32Library, ModuleNotFoundSaysWhatIsMissing) {
    struct Case {
        const char* path;
        const char* says;
    };
    for (const Case& c : {
             Case{"kov_test_needs_runtime.dll",
                  "libstdc++-6.dll (needed by kov_test_needs_runtime.dll)"},
             Case{"C:\\kov\\no_such_folder\\provider.dll",
                  "there is no file C:\\kov\\no_such_folder\\provider.dll"},
             Case{"kov_no_such_library.dll", "no file kov_no_such_library.dll in the folders"},
         }) {
        const std::string text = failureOf(c.path);
        EXPECT_NE(std::string::npos, text.find("(error 126): ")) << text;
        EXPECT_NE(std::string::npos, text.find(c.says)) << text;
    }
    // Other failures keep the system's words alone.
    std::ofstream("kov_not_a_library.dll") << "just text\n";
    const std::string notALibrary = failureOf("kov_not_a_library.dll");
    std::remove("kov_not_a_library.dll");
    EXPECT_EQ(std::string::npos, notALibrary.find("(error 126)")) << notALibrary;
    EXPECT_EQ(std::string::npos, notALibrary.find("needed by")) << notALibrary;
}

// Windows file names ignore case and take either slash; a drive or a separator starts a full path.
TEST(Win32Paths, PathKeysFollowWindowsRules) {
    EXPECT_EQ(pathKey("C:\\Kov\\Lib.DLL"), pathKey("c:/kov/./sub/../lib.dll"));
    EXPECT_EQ("C:\\KOV\\LIB.DLL", pathKey("c:/kov/lib.dll"));
    for (const char* full : {"C:\\x.dll", "c:/x.dll", "\\x.dll", "/x.dll"})
        EXPECT_FALSE(isRelativePath(full)) << full;
    EXPECT_TRUE(isRelativePath("sub\\x.dll"));
}

} // namespace
} // namespace kov::platform
