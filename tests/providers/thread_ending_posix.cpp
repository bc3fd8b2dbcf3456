#include "thread_ending.h"

#include <pthread.h>

void endThisThread()
{
    pthread_exit(nullptr);
}
