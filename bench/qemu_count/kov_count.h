/* How a 32-bit program under qemu-i386 talks to the kov_count plugin (libkov_count.so): a system
 * call no kernel has, which qemu shows to its plugins before it answers ENOSYS. Shared by the
 * plugin (C, built for the host) and kov_send_instructions (the guest). */
#ifndef KOV_QEMU_COUNT_H
#define KOV_QEMU_COUNT_H

#define KOV_COUNT_SYSCALL 0x4B4F5643

/* syscall(KOV_COUNT_SYSCALL, op, argument) */
enum {
    /* Counting flips on entry to the function at the argument's address and again on its return,
     * as callgrind's --toggle-collect does. */
    KOV_COUNT_TOGGLE = 1,
    /* The calling thread's count back to 0. */
    KOV_COUNT_ZERO = 2,
    /* Appends "instructions N" (the calling thread's count) to the plugin's file, or
     * "error WHY" when the count cannot be trusted. */
    KOV_COUNT_DUMP = 3,
};

#endif
