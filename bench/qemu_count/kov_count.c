/* kov_count: a qemu-i386 plugin that counts the guest instructions a thread executes inside
 * chosen functions, the way callgrind's --toggle-collect does: counting flips on entry to such a
 * function and flips back when it returns, so nested toggles leave out what they wrap. It lets
 * kov_send_instructions check its ceilings where valgrind cannot run 32-bit programs.
 *
 *   qemu-i386 -plugin ./libkov_count.so,out=FILE program ...
 *
 * The program names the functions and asks for counts through the system call of kov_count.h.
 *
 * Counting is per translated block, not per instruction: on x86 every block ends at a jump, call
 * or return, so all of a block's instructions run once it starts, and a function's entry and the
 * instruction after a call (where it returns to) always start a block. Each block's callback
 * therefore sees the entries and returns, and adds the block's length while counting is on.
 * Plugins of this qemu cannot read registers, so a return is recognised by its address: the
 * block after the call that entered the function (the block that ended in that call says where
 * it returns to). So a toggled function must be entered by its call, directly or through a PLT
 * jump, with no other call between: a lazy-binding resolver in between would give it the wrong
 * return (the benchmark's libraries are loaded with RTLD_NOW). Recursion through a toggled
 * function would confuse it too; the broker has none. Either would most likely leave counting on
 * or a return unmatched at the next dump, which then reports an error instead of a count. */
#include "kov_count.h"
#include "qemu_plugin_api.h"

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum { kMaxThreads = 64, kMaxToggles = 32, kMaxDepth = 64 };

/* One per guest thread (qemu-user gives each its own vcpu index), touched only by that thread. */
struct Thread {
    uint64_t count;
    uint32_t callReturn; /* where the last call this thread made returns to */
    bool on;
    const char *broken; /* why the count cannot be trusted, or NULL */
    unsigned depth;
    uint32_t returns[kMaxDepth]; /* of the toggled functions entered and not yet left */
};

static struct Thread threads[kMaxThreads];
static uint32_t toggles[kMaxToggles];
static atomic_uint toggleCount; /* published after its entries are written */
static FILE *out;

/* What a block's callback needs, packed into its user data (no allocation per translation):
 * bits 0-31 the block's address, 32-47 where its closing call returns to, as an offset from its
 * address (0: it closes with no call), 48-63 its length in instructions. */
static uint64_t pack(uint32_t start, uint32_t callReturnOffset, uint32_t insns)
{
    return start | (uint64_t)callReturnOffset << 32 | (uint64_t)insns << 48;
}

static bool isToggle(uint32_t address)
{
    const unsigned n = atomic_load_explicit(&toggleCount, memory_order_acquire);
    for (unsigned i = 0; i < n; ++i)
        if (toggles[i] == address)
            return true;
    return false;
}

static void blockRuns(unsigned vcpu, void *data)
{
    if (vcpu >= kMaxThreads || atomic_load_explicit(&toggleCount, memory_order_relaxed) == 0)
        return;
    struct Thread *t = &threads[vcpu];
    const uint64_t packed = (uint64_t)(uintptr_t)data;
    const uint32_t start = (uint32_t)packed;
    const uint32_t callReturnOffset = (uint32_t)(packed >> 32) & 0xFFFF;
    /* Leaving: a tail call out of a toggled function returns for both. */
    while (t->depth > 0 && t->returns[t->depth - 1] == start) {
        --t->depth;
        t->on = !t->on;
    }
    if (isToggle(start)) {
        if (t->depth == kMaxDepth) {
            t->broken = "toggled functions nested too deep (recursion?)";
        } else {
            t->returns[t->depth++] = t->callReturn;
            t->on = !t->on;
        }
    }
    if (t->on)
        t->count += packed >> 48;
    if (callReturnOffset != 0)
        t->callReturn = start + callReturnOffset;
}

static bool isPrefix(uint8_t byte)
{
    switch (byte) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65: /* segments, notrack */
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:            /* sizes, lock, rep, bnd */
        return true;
    }
    return false;
}

/* A near call, after any prefixes: E8 (relative) or FF /2 (indirect). */
static bool isCall(const uint8_t *code, size_t size)
{
    size_t i = 0;
    while (i < size && isPrefix(code[i]))
        ++i;
    if (i < size && code[i] == 0xE8)
        return true;
    return i + 1 < size && code[i] == 0xFF && (code[i + 1] >> 3 & 7) == 2;
}

static void blockTranslated(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    const size_t insns = qemu_plugin_tb_n_insns(tb);
    const uint64_t start = qemu_plugin_tb_vaddr(tb);
    if (insns == 0 || start > UINT32_MAX)
        return;
    const struct qemu_plugin_insn *last = qemu_plugin_tb_get_insn(tb, insns - 1);
    const size_t lastSize = qemu_plugin_insn_size(last);
    const uint64_t end = qemu_plugin_insn_vaddr(last) + lastSize;
    const uint32_t offset =
        isCall(qemu_plugin_insn_data(last), lastSize) && end - start <= 0xFFFF ? end - start : 0;
    qemu_plugin_register_vcpu_tb_exec_cb(tb, blockRuns, QEMU_PLUGIN_CB_NO_REGS,
                                         (void *)(uintptr_t)pack(start, offset, insns));
}

static void threadStarts(qemu_plugin_id_t id, unsigned vcpu)
{
    (void)id;
    if (vcpu < kMaxThreads)
        memset(&threads[vcpu], 0, sizeof threads[vcpu]);
}

static void dump(unsigned vcpu)
{
    const struct Thread *t = vcpu < kMaxThreads ? &threads[vcpu] : NULL;
    if (t == NULL)
        fprintf(out, "error more than %d threads\n", kMaxThreads);
    else if (t->broken != NULL)
        fprintf(out, "error %s\n", t->broken);
    else if (t->on || t->depth != 0)
        fprintf(out, "error counting still on at the dump: a toggled function did not return\n");
    else
        fprintf(out, "instructions %llu\n", (unsigned long long)t->count);
    fflush(out);
}

static void syscallMade(qemu_plugin_id_t id, unsigned vcpu, int64_t num, uint64_t op,
                        uint64_t argument, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                        uint64_t a7, uint64_t a8)
{
    (void)id, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    if (num != KOV_COUNT_SYSCALL)
        return;
    const unsigned n = atomic_load_explicit(&toggleCount, memory_order_relaxed);
    switch (op) {
    case KOV_COUNT_TOGGLE:
        if (n == kMaxToggles) {
            fprintf(out, "error more than %d toggled functions\n", kMaxToggles);
            fflush(out);
            return;
        }
        /* qemu sign-extends the 32-bit guest's arguments. */
        toggles[n] = (uint32_t)argument;
        atomic_store_explicit(&toggleCount, n + 1, memory_order_release);
        return;
    case KOV_COUNT_ZERO:
        if (vcpu < kMaxThreads)
            threads[vcpu].count = 0;
        return;
    case KOV_COUNT_DUMP:
        dump(vcpu);
        return;
    }
}

static void finished(qemu_plugin_id_t id, void *unused)
{
    (void)id, (void)unused;
    fclose(out);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv)
{
    if (info->system_emulation || strcmp(info->target_name, "i386") != 0) {
        fprintf(stderr, "kov_count: counts 32-bit x86 programs under qemu-i386 only\n");
        return 1;
    }
    const char *path = NULL;
    for (int i = 0; i < argc; ++i)
        if (strncmp(argv[i], "out=", 4) == 0)
            path = argv[i] + 4;
    if (path == NULL) {
        fprintf(stderr, "kov_count: usage -plugin libkov_count.so,out=FILE\n");
        return 1;
    }
    out = fopen(path, "a");
    if (out == NULL) {
        fprintf(stderr, "kov_count: cannot open %s\n", path);
        return 1;
    }
    qemu_plugin_register_vcpu_init_cb(id, threadStarts);
    qemu_plugin_register_vcpu_tb_trans_cb(id, blockTranslated);
    qemu_plugin_register_vcpu_syscall_cb(id, syscallMade);
    qemu_plugin_register_atexit_cb(id, finished, NULL);
    return 0;
}
