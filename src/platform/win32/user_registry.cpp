// Whether this process may take providers from the user's registry (HKEY_CURRENT_USER).
#include "platform/faults.h"
#include "platform/win32/win32.h"

namespace kov::platform {
namespace {

// TokenElevationTypeFull: this process runs elevated while the user's own (linked) token does
// not; without a split token (no UAC, the built-in administrator, a standard user) the user
// and the process have the same rights.
bool elevatedBeyondUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    const BOOL asked = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    CloseHandle(token);
    return asked && type == TokenElevationTypeFull;
}

} // namespace

UserLayerCheck checkUserLayer() {
    UserLayerCheck check;
    // Only the user and administrators may write under HKEY_CURRENT_USER: nothing else to judge.
    if (faults::elevatedAsPretended(elevatedBeyondUser())) {
        check.state = UserLayerCheck::State::Elevated;
        check.reason = "this program runs elevated, with rights its user's own programs do not "
                       "have: it reads the machine's registry alone";
    }
    return check;
}

} // namespace kov::platform
