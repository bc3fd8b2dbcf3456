// Per-user state files: the folder, writes that replace a file whole, bounded reads. The folder
// lies in the user's own profile, whose permissions keep other users out; nothing read back is
// trusted all the same: a read never takes more than it was told.
#include "platform/faults.h"
#include "platform/win32/win32.h"

#include <vector>

namespace kov::platform {
namespace {

std::string variable(const char* name) {
    char buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Each missing folder on the way to `folder`.
void makeFolders(const std::string& folder) {
    for (std::size_t at = folder.find_first_of("\\/", 3);; at = folder.find_first_of("\\/", at + 1)) {
        CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) return;
    }
}

long writeBeside(const std::string& path, const std::string& bytes) {
    // Named after the process: two processes writing the same file never share the one beside it.
    const std::string temporary = path + ".tmp" + std::to_string(GetCurrentProcessId());
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    long result = ok && written == bytes.size() ? 0 : static_cast<long>(GetLastError());
    if (result == 0 && ok && written != bytes.size()) result = ERROR_WRITE_FAULT;
    CloseHandle(file);
    if (result == 0 && !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        result = static_cast<long>(GetLastError());
    if (result != 0) DeleteFileA(temporary.c_str());
    return result;
}

} // namespace

std::string userStateFolder() {
    const std::string chosen = variable("KOV_BROKER_STATE_DIR");
    if (!chosen.empty()) return chosen;
    const std::string local = variable("LOCALAPPDATA");
    if (!local.empty()) return local + "\\KOV_Broker";
    const std::string profile = variable("USERPROFILE");
    if (!profile.empty()) return profile + "\\AppData\\Local\\KOV_Broker";
    return {};
}

std::string registryIdentity() { return registryLocation(nullptr); }

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
    return folder + "\\" + name;
}

long writePrivateFile(const std::string& path, const std::string& bytes) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return ERROR_ACCESS_DENIED;
    long result = writeBeside(path, bytes);
    const std::size_t separator = path.find_last_of("\\/");
    if (result == ERROR_PATH_NOT_FOUND && separator != std::string::npos) {
        makeFolders(path.substr(0, separator));
        result = writeBeside(path, bytes);
    }
    return result;
}

long createPrivateFile(const std::string& path, FileHandle* file) {
    *file = nullptr;
    if (faults::shouldFail(faults::Fault::StateWrite)) return ERROR_ACCESS_DENIED;
    // Others may read it while it is open; none may write it.
    const auto open = [&] {
        return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE handle = open();
    const std::size_t separator = path.find_last_of("\\/");
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND &&
        separator != std::string::npos) {
        makeFolders(path.substr(0, separator));
        handle = open();
    }
    if (handle == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    *file = handle;
    return 0;
}

long rewriteFile(FileHandle file, const std::string& bytes) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return ERROR_ACCESS_DENIED;
    const HANDLE handle = win32::asHandle(file);
    DWORD written = 0;
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        !SetEndOfFile(handle))
        return static_cast<long>(GetLastError());
    return written == bytes.size() ? 0 : ERROR_WRITE_FAULT;
}

void closeFile(FileHandle file) {
    if (file != nullptr) CloseHandle(win32::asHandle(file));
}

long readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    if (faults::shouldFail(faults::Fault::StateRead)) return ERROR_ACCESS_DENIED;
    // A link is opened as itself, not followed (and is then no plain file).
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    long result = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        result = ERROR_INVALID_PARAMETER;
    } else {
        // One byte more than allowed shows a file that is too long, whatever its size says now.
        bytes.resize(maxBytes + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            DWORD n = 0;
            if (!ReadFile(file, &bytes[got], static_cast<DWORD>(bytes.size() - got), &n, nullptr)) {
                result = static_cast<long>(GetLastError());
                break;
            }
            if (n == 0) break;
            got += n;
        }
        bytes.resize(got);
        if (result == 0 && got > maxBytes) result = ERROR_FILE_TOO_LARGE;
    }
    CloseHandle(file);
    if (result != 0) bytes.clear();
    return result;
}

long removeFile(const std::string& path) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return ERROR_ACCESS_DENIED;
    if (DeleteFileA(path.c_str())) return 0;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : static_cast<long>(error);
}

void removeEmptyFolder(const std::string& folder) { RemoveDirectoryA(folder.c_str()); }

long listFolder(const std::string& folder, std::size_t maxNames, std::vector<std::string>& names) {
    names.clear();
    if (faults::shouldFail(faults::Fault::StateRead)) return ERROR_ACCESS_DENIED;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(joinPath(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? 0 : static_cast<long>(error);
    }
    long result = 0;
    try {
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (names.size() < maxNames && FindNextFileA(search, &found));
        if (names.size() < maxNames && GetLastError() != ERROR_NO_MORE_FILES)
            result = static_cast<long>(GetLastError());
    } catch (...) {
        FindClose(search);
        throw;
    }
    FindClose(search);
    return result;
}

std::string errorText(long code) {
    char buffer[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0, buffer,
                                        sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text + " (error " + std::to_string(code) + ")";
}

} // namespace kov::platform
