// Windows: pin the DLL that holds this function; FreeLibrary no longer unloads it.
#include "sample_provider.h"

#include <windows.h>

bool sample::keepLoaded()
{
    HMODULE self = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&sample::keepLoaded), &self) != 0;
}
