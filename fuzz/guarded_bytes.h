// A byte area placed so that its last byte is followed by an inaccessible page: reading or
// writing even one byte past it faults at once, even where a sanitizer's redzone would miss it.
// The fuzz targets are Linux-only (libFuzzer), so this uses mmap directly.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kov::fuzz {

class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t size) : size_(size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t dataPages = (size + page - 1) / page;
        mapped_ = (dataPages + 1) * page;
        // A hint (not a demand) low in the address space: under qemu-user the system otherwise
        // hands out the last pages below 4 GiB, which the sanitizer's shadow does not cover.
        void* base = mmap(reinterpret_cast<void*>(kHint), mapped_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<std::uint8_t*>(base);
        if (mprotect(base_ + dataPages * page, page, PROT_NONE) != 0) std::abort();
        data_ = base_ + dataPages * page - size;
    }
    ~GuardedBytes() { munmap(base_, mapped_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    static constexpr std::uintptr_t kHint = 0x60000000;
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

} // namespace kov::fuzz
