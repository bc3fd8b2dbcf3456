// The running program's file and folder, from the kernel's link to the executable (argv[0] may be
// a bare name found on PATH, or relative to a directory the program has left).
#include "platform/platform.h"

#include <unistd.h>

#include <cstdlib>

#include <vector>

namespace kov::platform {

std::string programPath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2); // readlink truncates silently: grow until it fits
    }
}

std::string programDirectory() {
    const std::string path = programPath();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool exitStopsOtherThreads() { return false; }

void binaryStandardInput() {} // bytes are all there is

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void testing::setEnvironmentValue(const char* name, const char* value) {
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

} // namespace kov::platform
