// Keeps the library that calls it loaded until the process ends, whatever its loader does later.
// Needed by a library that runs a thread of its own: unloading would pull the code from under it.
#ifndef KOV_TEST_PIN_SELF_H
#define KOV_TEST_PIN_SELF_H

// True when the library is pinned (calling it again is harmless).
bool pinSelf();

#endif // KOV_TEST_PIN_SELF_H
