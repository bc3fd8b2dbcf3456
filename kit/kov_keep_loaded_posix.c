/* POSIX: open this very library again with RTLD_NODELETE and never close that reference; the
 * flag keeps it mapped even after every other dlclose. Valid C and C++ alike, so that a provider
 * project of either language can build it. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* dladdr */
#endif
#include <kov/kov_keep_loaded.h>

#include <dlfcn.h>

/* An object of this library, to ask the loader which file holds it. */
static const char kovKeepLoadedAnchor = 0;

int kov_keepLoaded(void)
{
    Dl_info self;
    if (dladdr(&kovKeepLoadedAnchor, &self) == 0 || self.dli_fname == 0)
        return 0;
    return dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != 0;
}
