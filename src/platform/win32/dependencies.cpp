// Why the loader answered "module not found": the library's own file is missing, or a DLL it
// imports (or one those import) is found nowhere the loader looks. The system message alone says
// neither, and both are common: a mistyped path, a MinGW DLL that needs libstdc++-6.dll.
#include "platform/win32/dependencies.h"

#include "platform/win32/pe_imports.h"

#include <fstream>
#include <set>
#include <vector>

namespace kov::platform::win32 {
namespace {

constexpr std::size_t kMaxFileBytes = 64u * 1024u * 1024u;
constexpr std::size_t kMaxFiles = 32; // how many files of the dependency tree are read at most

std::string folded(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

bool hasFolder(const std::string& path) { return path.find_first_of("\\/:") != std::string::npos; }

std::string fileName(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Where the DLL search would find `name` (the program's folder, the system folders, the current
// folder, PATH); empty when nowhere.
std::string searchFor(const std::string& name, const char* extension) {
    char found[MAX_PATH + 1] = "";
    const DWORD length = SearchPathA(nullptr, name.c_str(), extension, sizeof found, found, nullptr);
    return length > 0 && length < sizeof found ? std::string(found, length) : std::string();
}

bool isFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > kMaxFileBytes) return {};
    }
    return bytes;
}

// Names the system resolves without a file of that name (API sets), or that are loaded already
// and so present.
bool presentWithoutSearch(const std::string& name) {
    const std::string lower = folded(name);
    if (lower.rfind("api-ms-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) return true;
    return GetModuleHandleA(name.c_str()) != nullptr;
}

struct Missing {
    std::string name;
    std::string neededBy;
};

// Breadth first through the imports of `file`, so the nearest missing DLL is named first.
std::vector<Missing> missingImports(const std::string& file) {
    std::vector<Missing> missing;
    std::vector<std::string> queue{file};
    std::set<std::string> seen{folded(fileName(file))};
    for (std::size_t next = 0; next < queue.size() && next < kMaxFiles; ++next) {
        const std::vector<unsigned char> bytes = readFile(queue[next]);
        for (const std::string& name : importedModules(bytes.data(), bytes.size())) {
            if (!seen.insert(folded(name)).second || presentWithoutSearch(name)) continue;
            const std::string found = searchFor(name, nullptr);
            if (found.empty()) missing.push_back({name, fileName(queue[next])});
            else queue.push_back(found);
        }
    }
    return missing;
}

} // namespace

std::string explainModuleNotFound(const char* path) {
    if (path == nullptr || path[0] == '\0') return {};
    const std::string given = path;
    std::string file;
    if (hasFolder(given)) {
        if (!isFile(given)) return "there is no file " + given;
        file = given;
    } else {
        // LoadLibraryA adds ".dll" to a name without an extension.
        file = searchFor(given, ".dll");
        if (file.empty())
            return "no file " + given +
                   " in the folders the loader searches (the program's folder, the system "
                   "folders, the current folder, PATH)";
    }
    const std::vector<Missing> missing = missingImports(file);
    if (missing.empty()) return {};
    std::string text = "the loader cannot find ";
    for (std::size_t i = 0; i < missing.size(); ++i)
        text += (i == 0 ? "" : ", ") + missing[i].name + " (needed by " + missing[i].neededBy + ")";
    return text;
}

} // namespace kov::platform::win32
