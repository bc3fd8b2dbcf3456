// Registry calls, passed through to the system so callers see its own result codes. Failures the
// fault switch injects report ERROR_ACCESS_DENIED, the code a process without write rights gets.
#include "platform/faults.h"
#include "platform/win32/win32.h"

#include <string>

namespace kov::platform {

// The interface's codes are the system's own, handed through unchanged.
static_assert(kRegOk == ERROR_SUCCESS && kRegNoMoreItems == ERROR_NO_MORE_ITEMS &&
              kRegMoreData == ERROR_MORE_DATA && kRegFileNotFound == ERROR_FILE_NOT_FOUND &&
              kRegAccessDenied == ERROR_ACCESS_DENIED && kRegBusy == ERROR_BUSY &&
              kRegBadPathname == ERROR_BAD_PATHNAME && kRegNotAFile == ERROR_DIRECTORY &&
              kRegBadDatabase == ERROR_BADDB && kRegNoMemory == ERROR_NOT_ENOUGH_MEMORY &&
              kRegOutOfMemory == ERROR_OUTOFMEMORY);
static_assert(kRegCreatedNewKey == REG_CREATED_NEW_KEY &&
              kRegOpenedExistingKey == REG_OPENED_EXISTING_KEY && kRegDword == REG_DWORD);

namespace {

using faults::Fault;
using win32::asKey;

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;
static_assert(kReadWrite == 0x2001F, "read and write access, nothing else");

bool injected(Fault fault) { return faults::shouldFail(fault); }

// A process without the rights has its read-write opens and its writes refused; the test switch
// plays that part.
bool writeDenied() { return faults::registryWritesDenied(); }

} // namespace

long createKey(RegKey parent, const char* name, const void* security, RegKey* result,
               std::uint32_t* disposition) {
    if (result != nullptr) *result = nullptr;
    if (injected(Fault::CreateKey) || writeDenied()) return ERROR_ACCESS_DENIED;
    if (result == nullptr) return ERROR_INVALID_PARAMETER; // the opened key would leak
    HKEY key = nullptr;
    DWORD how = 0;
    const LONG rc = RegCreateKeyExA(asKey(parent), name, 0, nullptr, 0, kReadWrite,
                                    win32::asAttributes(security), &key, &how);
    if (rc != ERROR_SUCCESS) return rc;
    *result = key;
    if (disposition != nullptr) *disposition = how;
    return ERROR_SUCCESS;
}

long openKey(RegKey parent, const char* name, RegKey* result) {
    if (result != nullptr) *result = nullptr;
    if (injected(Fault::CreateKey)) return ERROR_ACCESS_DENIED;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExA(asKey(parent), name, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return rc;
    *result = key;
    return ERROR_SUCCESS;
}

long enumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize) {
    if (injected(Fault::EnumKey)) return ERROR_ACCESS_DENIED;
    DWORD size = nameSize;
    return RegEnumKeyExA(asKey(key), index, name, &size, nullptr, nullptr, nullptr, nullptr);
}

long enumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize,
               std::uint8_t* data, std::uint32_t dataSize) {
    if (injected(Fault::EnumValue)) return ERROR_ACCESS_DENIED;
    DWORD nameChars = nameSize;
    DWORD dataBytes = dataSize;
    return RegEnumValueA(asKey(key), index, name, &nameChars, nullptr, nullptr, data,
                         &dataBytes);
}

long setDwordValue(RegKey key, const char* name, std::uint32_t value) {
    if (injected(Fault::SetValue) || writeDenied()) return ERROR_ACCESS_DENIED;
    const DWORD data = value;
    return RegSetValueExA(asKey(key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data);
}

long deleteValue(RegKey key, const char* name) {
    if (injected(Fault::DeleteValue) || writeDenied()) return ERROR_ACCESS_DENIED;
    return RegDeleteValueA(asKey(key), name);
}

long deleteKey(RegKey parent, const char* name) {
    if (injected(Fault::DeleteKey) || writeDenied()) return ERROR_ACCESS_DENIED;
    return RegDeleteKeyA(asKey(parent), name);
}

long flushKey(RegKey key) { return RegFlushKey(asKey(key)); }

long queryValueCount(RegKey key, std::uint32_t* count) {
    if (count != nullptr) *count = 0;
    if (injected(Fault::QueryValueCount)) return ERROR_ACCESS_DENIED;
    DWORD values = 0;
    const LONG rc = RegQueryInfoKeyA(asKey(key), nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS && count != nullptr) *count = values;
    return rc;
}

long checkWriteAccess(RegKey parent, const char* name) {
    if (writeDenied()) return ERROR_ACCESS_DENIED;
    std::string path = name != nullptr ? name : "";
    for (;;) {
        HKEY key = nullptr;
        const LONG rc = RegOpenKeyExA(asKey(parent), path.c_str(), 0, kReadWrite, &key);
        if (rc == ERROR_SUCCESS) RegCloseKey(key);
        // A missing key would be created under its parent: that one's rights decide.
        if (rc != ERROR_FILE_NOT_FOUND || path.empty()) return rc;
        const std::size_t cut = path.find_last_of('\\');
        path = cut == std::string::npos ? std::string() : path.substr(0, cut);
    }
}

// Nothing here waits for another process: the registry serialises its callers itself.
void setRegistryWait(std::uint32_t /*milliseconds*/) {}

void closeKey(RegKey key) {
    // The root stands in for a predefined key, which callers may "close" without effect.
    if (key == nullptr || asKey(key) == win32::rootKey() || key == currentUserKey()) return;
    RegCloseKey(asKey(key));
}

} // namespace kov::platform
