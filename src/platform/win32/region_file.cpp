// Published regions on Windows: a named file mapping backed by the paging file, in the session's
// namespace (Local\), whose security descriptor lets in this user, the administrators and the
// system alone. The name goes with the last handle to it, so a process that ends, however it
// ends, leaves nothing behind.
#include "platform/faults.h"
#include "platform/win32/win32.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <string>

namespace kov::platform {
namespace {

std::string mappingName(std::uint32_t pid) { return "Local\\KOV_Broker." + std::to_string(pid); }

// "D:P(A;;GA;;;<user>)(A;;GA;;;BA)(A;;GA;;;SY)": protected, nothing inherited. Empty when the
// user's SID cannot be had.
std::string ownerOnlyDescriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    unsigned char buffer[256];
    DWORD length = 0;
    std::string result;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) {
        char* sid = nullptr;
        if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
            result = std::string("D:P(A;;GA;;;") + sid + ")(A;;GA;;;BA)(A;;GA;;;SY)";
            LocalFree(sid);
        }
    }
    CloseHandle(token);
    return result;
}

} // namespace

std::string regionFolder() { return {}; }

bool createOwnRegion(std::uint32_t size, MappedRegion& region) {
    if (faults::shouldFail(faults::Fault::CreateRegion)) return false;
    const std::string descriptor = ownerOnlyDescriptor();
    PSECURITY_DESCRIPTOR security = nullptr;
    if (descriptor.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                  descriptor.c_str(), SDDL_REVISION_1, &security, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                              size, mappingName(currentProcessId()).c_str());
    const DWORD error = GetLastError();
    LocalFree(security);
    if (mapping == nullptr) return false;
    // Someone else's object under our name: not ours to write into.
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        return false;
    }
    void* memory = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (memory == nullptr) {
        CloseHandle(mapping);
        return false;
    }
    region.memory = static_cast<unsigned char*>(memory);
    region.size = size;
    region.handle = mapping;
    return true;
}

// A view cannot be given a new name in place; the memory stays as it is, unnamed.
bool renameOwnRegion(MappedRegion&) { return false; }

void withdrawOwnRegion(MappedRegion& region) {
    if (region.handle != nullptr) CloseHandle(region.handle);
    region.handle = nullptr;
}

std::vector<std::uint32_t> regionProcesses() {
    std::vector<std::uint32_t> pids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return pids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        const HANDLE mapping =
            OpenFileMappingA(FILE_MAP_READ, FALSE, mappingName(entry.th32ProcessID).c_str());
        if (mapping == nullptr) continue;
        CloseHandle(mapping);
        pids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

long openRegion(std::uint32_t pid, bool writable, std::uint32_t maxBytes, MappedRegion& region) {
    const DWORD access = FILE_MAP_READ | (writable ? FILE_MAP_WRITE : 0);
    const HANDLE mapping = OpenFileMappingA(access, FALSE, mappingName(pid).c_str());
    if (mapping == nullptr) return static_cast<long>(GetLastError());
    void* memory = MapViewOfFile(mapping, access, 0, 0, 0);
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    if (memory == nullptr) return static_cast<long>(error);
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(memory, &info, sizeof info) == 0 || info.RegionSize == 0) {
        UnmapViewOfFile(memory);
        return ERROR_INVALID_DATA;
    }
    // The view is rounded up to whole pages: its size only bounds what the header may claim.
    region.memory = static_cast<unsigned char*>(memory);
    region.size = static_cast<std::uint32_t>(info.RegionSize < maxBytes ? info.RegionSize : maxBytes);
    return 0;
}

void closeRegion(MappedRegion& region) {
    if (region.memory != nullptr) UnmapViewOfFile(region.memory);
    region = MappedRegion{};
}

long removeRegion(std::uint32_t) { return 0; }

std::uint64_t microsecondsNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10 - 11644473600000000ull; // 100 ns since 1601 to microseconds since 1970
}

} // namespace kov::platform
