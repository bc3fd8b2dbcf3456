/* Checks libkov_count's counts against hand-written functions whose instruction counts are known:
 * nested toggles, a loop, a tail call into a toggled function.
 *
 *   qemu-i386 -plugin libkov_count.so,out=FILE kov_count_check FILE */
#include "kov_count.h"

#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#define LOCAL __attribute__((visibility("hidden")))
LOCAL void kc_inner(void);
LOCAL void kc_outer(void);
LOCAL void kc_loop(void);
LOCAL void kc_tail(void);

/* Written out, so the compiler cannot change the counts. kc_plain is toggled by no one. */
__asm__(".text\n"
        "kc_plain: nop; nop; ret\n"
        "kc_inner: nop; nop; nop; nop; ret\n"
        "kc_outer: nop; call kc_plain; call kc_inner; nop; ret\n"
        "kc_loop: mov $3, %ecx\n"
        "1: dec %ecx; jnz 1b; ret\n"
        "kc_tail: nop; jmp kc_inner\n");

int main(int argc, char **argv)
{
    static const struct {
        const char *what;
        void (*function)(void);
        unsigned long long expected;
    } cases[] = {
        {"a toggled function alone", kc_inner, 5},
        {"its own 5, an untoggled callee's 3, a toggled callee's none", kc_outer, 8},
        {"a loop: 1, 3 times 2, 1", kc_loop, 8},
        {"a tail call into a toggled function: the jump and what is before it", kc_tail, 2},
    };
    enum { kCases = sizeof cases / sizeof cases[0] };
    if (argc != 2 || truncate(argv[1], 0) != 0) {
        fprintf(stderr, "usage: qemu-i386 -plugin libkov_count.so,out=FILE kov_count_check FILE\n");
        return 1;
    }
    for (int i = 0; i < kCases; ++i)
        syscall(KOV_COUNT_SYSCALL, KOV_COUNT_TOGGLE, cases[i].function);
    for (int i = 0; i < kCases; ++i) {
        syscall(KOV_COUNT_SYSCALL, KOV_COUNT_ZERO, 0);
        cases[i].function();
        syscall(KOV_COUNT_SYSCALL, KOV_COUNT_DUMP, 0);
    }
    FILE *counts = fopen(argv[1], "r");
    int failed = 0;
    for (int i = 0; i < kCases; ++i) {
        unsigned long long got = 0;
        if (counts == NULL || fscanf(counts, " instructions %llu", &got) != 1) {
            fprintf(stderr, "%s: no count (was the plugin loaded?)\n", cases[i].what);
            return 1;
        }
        if (got != cases[i].expected) {
            fprintf(stderr, "%s: %llu instructions, expected %llu\n", cases[i].what, got,
                    cases[i].expected);
            failed = 1;
        }
    }
    fclose(counts);
    return failed;
}
