// The running program's file and folder, from the loader's record of the executable's path.
#include "platform/win32/win32.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <vector>

namespace kov::platform {

std::string programPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        // A full buffer means the path was cut short: grow until it fits.
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::string programDirectory() {
    const std::string path = programPath();
    const std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

bool exitStopsOtherThreads() { return true; }

void binaryStandardInput() { _setmode(_fileno(stdin), _O_BINARY); }

std::string environmentValue(const char* name) {
    std::vector<char> buffer(64);
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(length); // too small: the length asked for includes the terminator
    }
}

void testing::setEnvironmentValue(const char* name, const char* value) {
    SetEnvironmentVariableA(name, value);
}

} // namespace kov::platform
