// POSIX: reopen this very object with RTLD_NODELETE. The reference is never closed, and the flag
// keeps the object mapped even if every other reference is dropped.
#include "pin_self.h"

#include <dlfcn.h>

bool pinSelf()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&pinSelf), &info) == 0 || info.dli_fname == nullptr)
        return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}
