/* For provider libraries that run threads of their own. The broker unloads a provider on reload,
 * on removal and at process exit without notice, and a thread still inside the library would then
 * run code that is no longer mapped. Calling kov_keepLoaded() before such a thread starts keeps
 * the library loaded until the process ends (a removed provider then stays mapped, idle).
 *
 * The code is not in KOV_BR: it is part of the provider kit (<kov/kov_provider.h>), which
 * kov_add_provider() and the kovbroker-provider pkg-config packages link into the provider
 * (hidden, not exported), and whose worker thread calls it before it starts. Without the kit,
 * kov_add_provider(NAME NO_KIT KEEP_LOADED ...) compiles it in alone; without CMake, compile
 * kov_keep_loaded_posix.c or kov_keep_loaded_win32.c from the package's lib/cmake/KOVBroker
 * folder into the library. */
#ifndef KOV_KEEP_LOADED_H
#define KOV_KEEP_LOADED_H

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when the calling library is pinned (calling it again is harmless). */
int kov_keepLoaded(void);

#ifdef __cplusplus
}
#endif

#endif /* KOV_KEEP_LOADED_H */
