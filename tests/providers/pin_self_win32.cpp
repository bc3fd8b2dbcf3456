// Windows: the loader pins the module that contains this function; FreeLibrary no longer
// unloads it.
#include "pin_self.h"

#include <windows.h>

bool pinSelf()
{
    HMODULE self = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&pinSelf), &self) != 0;
}
