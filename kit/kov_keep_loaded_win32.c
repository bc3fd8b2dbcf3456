/* Windows: the loader pins the module that holds this object; FreeLibrary no longer unloads it.
 * Valid C and C++ alike, so that a provider project of either language can build it. */
#include <kov/kov_keep_loaded.h>

#include <windows.h>

/* An object of this library, to ask the loader which module holds it. */
static const char kovKeepLoadedAnchor = 0;

int kov_keepLoaded(void)
{
    HMODULE self = 0;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              (LPCSTR)&kovKeepLoadedAnchor, &self) != 0;
}
