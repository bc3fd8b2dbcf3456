// Per-user state files: the folder, private writes that replace a file whole, bounded reads.
// The files are this user's own, but nothing read back is trusted: links are not followed and a
// read never takes more than it was told.
//
// 64-bit file offsets and inode numbers: a 32-bit program's readdir and fstat otherwise fail with
// EOVERFLOW on file systems that number their files past 2^32, as many do.
#define _FILE_OFFSET_BITS 64

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/posix/write_all.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kov::platform {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// mkdir -p of `folder`, each folder it makes private to the user.
void makeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0700);
        if (slash == std::string::npos) return;
    }
}

long writeBeside(const std::string& path, const std::string& bytes) {
    // Named after the process: two processes writing the same file never share the one beside it.
    const std::string temporary = path + ".tmp" + std::to_string(static_cast<long>(getpid()));
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const bool written = writeAll(fd, bytes);
    const long writeError = written ? 0 : (errno != 0 ? errno : EIO);
    if (close(fd) != 0 && written) {
        unlink(temporary.c_str());
        return errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        return writeError;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const long error = errno;
        unlink(temporary.c_str());
        return error;
    }
    return 0;
}

} // namespace

std::string userStateFolder() {
    const std::string chosen = variable("KOV_BROKER_STATE_DIR");
    if (!chosen.empty()) return chosen;
    // The XDG base directory rules: a relative XDG_STATE_HOME is to be ignored.
    const std::string state = variable("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/') return state + "/kov_broker";
    const std::string home = variable("HOME");
    if (!home.empty() && home[0] == '/') return home + "/.local/state/kov_broker";
    return {};
}

std::string registryIdentity() { return absolutePath(registryLocation(nullptr)); }

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

long writePrivateFile(const std::string& path, const std::string& bytes) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return EACCES;
    long result = writeBeside(path, bytes);
    const std::size_t slash = path.rfind('/');
    if (result == ENOENT && slash != std::string::npos && slash > 0) {
        makeFolders(path.substr(0, slash));
        result = writeBeside(path, bytes);
    }
    return result;
}

long createPrivateFile(const std::string& path, FileHandle* file) {
    *file = nullptr;
    if (faults::shouldFail(faults::Fault::StateWrite)) return EACCES;
    const auto open = [&] {
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    };
    int fd = open();
    const std::size_t slash = path.rfind('/');
    if (fd < 0 && errno == ENOENT && slash != std::string::npos && slash > 0) {
        makeFolders(path.substr(0, slash));
        fd = open();
    }
    if (fd < 0) return errno;
    // A descriptor is a small number: carried in the handle, offset by one so that 0 stays none.
    *file = reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(fd) + 1);
    return 0;
}

long rewriteFile(FileHandle file, const std::string& bytes) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return EACCES;
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done,
                                 static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 ? 0 : errno;
}

void closeFile(FileHandle file) {
    if (file != nullptr) close(static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1));
}

long readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    if (faults::shouldFail(faults::Fault::StateRead)) return EACCES;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat status {};
    long result = 0;
    if (fstat(fd, &status) != 0) {
        result = errno;
    } else if (!S_ISREG(status.st_mode)) {
        result = EINVAL; // a fifo or a device would block or never end
    } else {
        // One byte more than allowed shows a file that is too long, whatever its size says now.
        bytes.resize(maxBytes + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = read(fd, &bytes[got], bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) result = errno;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        if (result == 0 && got > maxBytes) result = EFBIG;
    }
    close(fd);
    if (result != 0) bytes.clear();
    return result;
}

long removeFile(const std::string& path) {
    if (faults::shouldFail(faults::Fault::StateWrite)) return EACCES;
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

void removeEmptyFolder(const std::string& folder) { rmdir(folder.c_str()); }

long listFolder(const std::string& folder, std::size_t maxNames, std::vector<std::string>& names) {
    names.clear();
    if (faults::shouldFail(faults::Fault::StateRead)) return EACCES;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (dir == nullptr) return errno == ENOENT ? 0 : errno;
    while (names.size() < maxNames) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) return errno;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    return 0;
}

std::string errorText(long code) { return std::strerror(static_cast<int>(code)); }

} // namespace kov::platform
