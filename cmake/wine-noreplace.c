/* Preloaded into Wine where 32-bit programs run under qemu-user (see wine-run.sh).
 *
 * qemu-user 7.2 drops MAP_FIXED_NOREPLACE: a request for an address that is taken comes back
 * mapped somewhere else instead of failing. Wine's 32-bit loader reserves its address space with
 * such requests and keeps what lands above 2 GB, so the space fills with stray reservations and
 * the reservation splits down to 64 KB pieces, each searched page by page: startup never ends.
 * Here a misplaced answer is undone and reported as EEXIST, as the kernel would. Where the kernel
 * honours the flag (checked once against a page we own) every call passes straight through. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static void *raw_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
#ifdef SYS_mmap2
    if (off & 4095) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return (void *)syscall(SYS_mmap2, addr, len, prot, flags, fd, (long)(off >> 12));
#else
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, (long)off);
#endif
}

static char owned_page[2 * 4096] __attribute__((aligned(4096)));

/* 1 when the flag must be emulated, 0 when the kernel honours it, -1 before the check. */
static int emulate = -1;

static int must_emulate(void)
{
    if (emulate < 0) {
        void *const taken = owned_page;
        void *const p = raw_mmap(taken, 4096, PROT_NONE,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p != MAP_FAILED && p != taken) syscall(SYS_munmap, p, 4096);
        emulate = p != MAP_FAILED && p != taken;
    }
    return emulate;
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    if ((flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED) && must_emulate()) {
        void *const p = raw_mmap(addr, len, prot, flags & ~MAP_FIXED_NOREPLACE, fd, off);
        if (p == MAP_FAILED || p == addr) return p;
        syscall(SYS_munmap, p, len);
        errno = EEXIST;
        return MAP_FAILED;
    }
    return raw_mmap(addr, len, prot, flags, fd, off);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return mmap64(addr, len, prot, flags, fd, off);
}
