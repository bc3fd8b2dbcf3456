// Published regions on POSIX: a file per process in a folder of this user's alone, mapped
// shared, so that the counters written into the mapping are what a reader of the file sees. No
// system call touches it after it is made, until the process withdraws it.
#define _FILE_OFFSET_BITS 64

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/posix/write_all.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kov::platform {
namespace {

constexpr const char* kPrefix = "kov-";
constexpr const char* kSuffix = ".stats";

std::string pathOf(std::uint32_t pid) {
    return joinPath(regionFolder(), kPrefix + std::to_string(pid) + kSuffix);
}

// The folder must be a real folder of this user's that nobody else may enter: a reader trusts
// nothing in it, but a writer must not create its file where others can swap it.
bool privateFolder(const std::string& folder, bool create) {
    if (create) mkdir(folder.c_str(), 0700);
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

long openPrivateNew(const std::string& path, int* fd) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        *fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (*fd >= 0) return 0;
        if (errno != EEXIST) return errno;
        unlink(path.c_str()); // left by an earlier process that had this id
    }
    return EEXIST;
}

// A forked child would share the parent's counters (and its threads' slots) through the shared
// mapping: it gets a private copy of them in the same place instead.
unsigned char* sharedMemory = nullptr;
std::uint32_t sharedSize = 0;

void privateCopyInChild() {
    if (sharedMemory == nullptr) return;
    void* copy = mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) return;
    std::memcpy(copy, sharedMemory, sharedSize);
    if (mmap(sharedMemory, sharedSize, PROT_READ | PROT_WRITE,
             MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED)
        std::memcpy(sharedMemory, copy, sharedSize);
    munmap(copy, sharedSize);
    sharedMemory = nullptr;
}

// A new file at `path` holding `bytes` bytes of `from` (zeros without it), mapped at `at` (null:
// anywhere). Null when any step fails; nothing is left behind then.
unsigned char* mapNewFile(const std::string& path, std::uint32_t bytes, const unsigned char* from,
                          unsigned char* at) {
    if (!privateFolder(regionFolder(), true)) return nullptr;
    int fd = -1;
    if (openPrivateNew(path, &fd) != 0) return nullptr;
    bool ready = ftruncate(fd, bytes) == 0;
    if (ready && from != nullptr)
        ready = writeAll(fd, std::string(reinterpret_cast<const char*>(from), bytes));
    void* memory = MAP_FAILED;
    if (ready)
        memory = mmap(at, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | (at != nullptr ? MAP_FIXED : 0),
                      fd, 0);
    close(fd);
    if (memory == MAP_FAILED) {
        unlink(path.c_str());
        return nullptr;
    }
    return static_cast<unsigned char*>(memory);
}

void noteShared(const MappedRegion& region) {
    static const bool hooked = pthread_atfork(nullptr, nullptr, privateCopyInChild) == 0;
    (void)hooked;
    sharedMemory = region.memory;
    sharedSize = region.size;
}

} // namespace

std::string regionFolder() {
    const std::string chosen = environmentValue("KOV_BROKER_RUNTIME_DIR");
    if (!chosen.empty()) return chosen;
    const std::string runtime = environmentValue("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/') return runtime + "/kov-broker";
    return "/tmp/kov-broker-" + std::to_string(static_cast<unsigned long>(getuid()));
}

bool createOwnRegion(std::uint32_t size, MappedRegion& region) {
    if (faults::shouldFail(faults::Fault::CreateRegion)) return false;
    const std::string path = pathOf(currentProcessId());
    unsigned char* const memory = mapNewFile(path, size, nullptr, nullptr);
    if (memory == nullptr) return false;
    region.memory = memory;
    region.size = size;
    region.name = path;
    noteShared(region);
    return true;
}

// The contents go into a new file, mapped over the old mapping in one step: a thread that writes
// meanwhile writes either mapping, and the counters are cleared at attach anyway.
bool renameOwnRegion(MappedRegion& region) {
    if (region.memory == nullptr || !region.name.empty()) return false;
    if (faults::shouldFail(faults::Fault::CreateRegion)) return false;
    const std::string path = pathOf(currentProcessId());
    if (mapNewFile(path, region.size, region.memory, region.memory) == nullptr) return false;
    region.name = path;
    noteShared(region);
    return true;
}

void withdrawOwnRegion(MappedRegion& region) {
    if (region.name.empty()) return;
    unlink(region.name.c_str());
    region.name.clear();
}

std::vector<std::uint32_t> regionProcesses() {
    std::vector<std::string> names;
    std::vector<std::uint32_t> pids;
    if (!privateFolder(regionFolder(), false) || listFolder(regionFolder(), 4096, names) != 0)
        return pids;
    const std::size_t prefix = std::strlen(kPrefix), suffix = std::strlen(kSuffix);
    for (const std::string& name : names) {
        if (name.size() <= prefix + suffix || name.compare(0, prefix, kPrefix) != 0 ||
            name.compare(name.size() - suffix, suffix, kSuffix) != 0)
            continue;
        const std::string digits = name.substr(prefix, name.size() - prefix - suffix);
        if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned long long pid = std::strtoull(digits.c_str(), nullptr, 10);
        if (pid != 0 && pid <= 0xFFFFFFFFull) pids.push_back(static_cast<std::uint32_t>(pid));
    }
    return pids;
}

long openRegion(std::uint32_t pid, bool writable, std::uint32_t maxBytes, MappedRegion& region) {
    const std::string path = pathOf(pid);
    const int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    long error = 0;
    if (fstat(fd, &st) != 0) error = errno;
    else if (!S_ISREG(st.st_mode) || st.st_uid != getuid()) error = EPERM;
    else if (st.st_size <= 0 || static_cast<std::uint64_t>(st.st_size) > maxBytes) error = EFBIG;
    void* memory = MAP_FAILED;
    if (error == 0) {
        memory = mmap(nullptr, static_cast<std::size_t>(st.st_size),
                      PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) error = errno;
    }
    close(fd);
    if (error != 0) return error;
    region.memory = static_cast<unsigned char*>(memory);
    region.size = static_cast<std::uint32_t>(st.st_size);
    region.name = path;
    return 0;
}

void closeRegion(MappedRegion& region) {
    if (region.memory != nullptr) munmap(region.memory, region.size);
    region = MappedRegion{};
}

long removeRegion(std::uint32_t pid) {
    return unlink(pathOf(pid).c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

std::uint64_t microsecondsNow() {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_usec);
}

} // namespace kov::platform
