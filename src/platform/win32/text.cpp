// ANSI code page <-> UTF-16. The broker's UTF-16 is the system's WCHAR, so the conversion is the
// system's own. An empty output buffer is refused up front: the system calls treat a zero size as
// "tell me the size needed" and would report a count nothing was written for.
#include "platform/win32/win32.h"

namespace kov::platform {

static_assert(sizeof(char16_t) == sizeof(WCHAR), "char16_t and WCHAR are both UTF-16 units");

int ansiToWide(const char* text, int length, char16_t* out, int outUnits) {
    if (text == nullptr || length <= 0 || out == nullptr || outUnits <= 0) return 0;
    return MultiByteToWideChar(CP_ACP, 0, text, length, reinterpret_cast<WCHAR*>(out), outUnits);
}

int wideToAnsi(const char16_t* text, int length, char* out, int outBytes) {
    if (text == nullptr || length <= 0 || out == nullptr || outBytes <= 0) return 0;
    return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(text), length, out,
                               outBytes, nullptr, nullptr);
}

} // namespace kov::platform
