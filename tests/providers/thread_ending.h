// Ends the calling thread at once; one definition per platform (thread_ending_posix.cpp,
// thread_ending_win32.cpp).
#ifndef KOV_TEST_THREAD_ENDING_H
#define KOV_TEST_THREAD_ENDING_H

[[noreturn]] void endThisThread();

#endif
