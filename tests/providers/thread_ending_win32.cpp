#include "thread_ending.h"

#include <windows.h>

void endThisThread()
{
    ExitThread(0);
}
