/* Prints this program's effective user id and whether the loader ran it as a secure
 * (set-user-id) program: the users test learns from it whether this machine honours the
 * set-user-id bit of a 32-bit program at all (qemu-user through binfmt may not). */
#include <stdio.h>
#include <sys/auxv.h>
#include <unistd.h>

int main(void) {
    printf("%lu %lu\n", (unsigned long)geteuid(), (unsigned long)getauxval(AT_SECURE));
    return 0;
}
