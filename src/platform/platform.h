// The only door from the broker core to the operating system. win32/ and posix/ implement
// every function here; CMake picks the folder. No other folder includes system headers for
// threads, libraries, the registry or time.
//
// Results follow the Win32 convention where the broker forwards them: registry calls return 0
// (kRegOk) on success and an error code otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// For the few thread-locals every call reads (plain values, constant-initialised): __thread
// needs no check for a dynamic initialiser, and the initial-exec model reads them with one
// instruction where the loader supports it (ELF), instead of a call into the loader. A module
// loaded with dlopen takes such thread-locals from the few bytes of static TLS the loader keeps
// for that, so the module's thread-locals must stay a few words in all: larger ones (above
// about 512 bytes) do not fit, and AddressSanitizer's 32-bit runtime then cannot start threads.
#if defined(__ELF__)
#define KOV_FAST_THREAD_LOCAL __thread __attribute__((tls_model("initial-exec")))
#else
#define KOV_FAST_THREAD_LOCAL __thread
#endif

// For the module's globals that other files read on every call. -fvisibility=hidden hides
// definitions only: a plain extern declaration is reached through the GOT, one load more on
// every access in a position-independent module. Marked hidden, it is addressed directly.
#if defined(__ELF__)
#define KOV_MODULE_GLOBAL __attribute__((visibility("hidden")))
#else
#define KOV_MODULE_GLOBAL
#endif

// For the branches of the per-call path that a request almost never takes (a first call, a
// detach, a counter's carry): laid out of the way, so that the common path runs straight on.
// GCC (both targets) and Clang (the fuzz builds) know the builtin.
#define KOV_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#define KOV_LIKELY(condition) __builtin_expect(!!(condition), 1)

namespace kov::platform {

// Opaque 32-bit handles; 0 means "none".
using ModuleHandle = void*;
using LockHandle = void*;
using EventHandle = void*;
using RegKey = void*;
using GlobalHandle = void*;

// ---- recursive lock ------------------------------------------------------------------------
// security: a SECURITY_ATTRIBUTES-shaped record (may be null: default security).
LockHandle createLock(const void* security);
void acquireLock(LockHandle lock);
// Takes the lock only if no other thread holds it (the holder itself may take it again).
bool tryAcquireLock(LockHandle lock);
void releaseLock(LockHandle lock);
void closeLock(LockHandle lock);

// ---- manual-reset event --------------------------------------------------------------------
EventHandle createEvent(const void* security); // not signalled; null on failure
void setEvent(EventHandle event);
void resetEvent(EventHandle event);
void waitEvent(EventHandle event); // no time-out
void closeEvent(EventHandle event);

// ---- per-thread key ------------------------------------------------------------------------
// A key whose value is one pointer per thread; atExit(value) runs when a thread that set a
// non-null value ends. Deleting the key runs nothing for the threads still alive.
using ThreadKey = void*;
bool createThreadKey(ThreadKey* key, void (*atExit)(void* value));
void setThreadValue(ThreadKey key, void* value);
void deleteThreadKey(ThreadKey key);

// ---- security ------------------------------------------------------------------------------
constexpr std::size_t kSecurityDescriptorSize = 20;
// InitializeSecurityDescriptor (revision 1) on a zeroed 20-byte block; false on failure.
bool initSecurityDescriptor(void* descriptor);
// SetSecurityDescriptorDacl: present, null DACL, not defaulted; false on failure.
bool setNullDacl(void* descriptor);

// ---- libraries -----------------------------------------------------------------------------
ModuleHandle loadLibrary(const char* path);     // null on failure
void* findSymbol(ModuleHandle module, const char* name); // null when missing
void freeLibrary(ModuleHandle module);
// The module of an already loaded library, without loading it or adding a reference; null
// when it is not loaded.
ModuleHandle findLoadedModule(const char* path);
// Why this thread's last failed loadLibrary failed, in the loader's own words (dlerror(), or the
// system message of GetLastError()), as a terminated text cut to `size` bytes. Empty when no load
// failed yet, or when another call of this interface into the loader came since (on Linux that
// call frees the loader's text). On Windows, where the system says only "module not found", the
// text goes on to say whether the file itself is missing or which DLL it imports cannot be found.
void lastLoadFailure(char* buffer, std::size_t size);
// The file a loaded module came from, as the loader names it: the path the DLL search found
// (GetModuleFileNameA), on POSIX the name dlopen was given or the file its search found. Empty
// when the loader cannot say.
std::string modulePath(ModuleHandle module);

// ---- paths ---------------------------------------------------------------------------------
// `path` made absolute against the current folder, "." and ".." levels resolved by name; empty
// for an empty path or when the current folder is unknown.
std::string absolutePath(const std::string& path);
// The form in which two paths naming one file compare equal: absolutePath(), case folded where
// file names ignore case (Windows).
std::string pathKey(const std::string& path);
// True for a path the loader resolves against anything but the file system's root: neither
// "/x", "\x" nor "C:x" style.
bool isRelativePath(const char* path);

// ---- this program -------------------------------------------------------------------------
// The folder holding the running executable, with a trailing separator, so a file name can be
// appended as is; empty when the system cannot say. Tools use it to find the module beside them.
std::string programDirectory();

// Whether ending the process stops its other threads before modules are detached (Windows), so
// that a module's detach never runs beside them; elsewhere they run on until the very end.
bool exitStopsOtherThreads();

// The value of environment variable `name` as the process holds it now; empty when it is not set.
// On Windows the process's own environment block, which every module of the process shares
// (a C runtime's copy in one module does not see what another module's runtime changed).
std::string environmentValue(const char* name);

// ---- registry ------------------------------------------------------------------------------
constexpr long kRegOk = 0;
constexpr long kRegFileNotFound = 2;    // ERROR_FILE_NOT_FOUND
constexpr long kRegAccessDenied = 5;    // ERROR_ACCESS_DENIED
constexpr long kRegNoMemory = 8;        // ERROR_NOT_ENOUGH_MEMORY
constexpr long kRegOutOfMemory = 14;    // ERROR_OUTOFMEMORY (POSIX: no memory inside a call)
constexpr long kRegBadPathname = 161;   // ERROR_BAD_PATHNAME: no registry named (POSIX)
constexpr long kRegBusy = 170;          // ERROR_BUSY: another process holds it locked (POSIX)
constexpr long kRegMoreData = 234;      // ERROR_MORE_DATA
constexpr long kRegNoMoreItems = 259;   // ERROR_NO_MORE_ITEMS
constexpr long kRegNotAFile = 267;      // ERROR_DIRECTORY: the registry's path is a folder (POSIX)
constexpr long kRegBadDatabase = 1009;  // ERROR_BADDB: the file is no registry (POSIX)
constexpr std::uint32_t kRegCreatedNewKey = 1;
constexpr std::uint32_t kRegOpenedExistingKey = 2;
constexpr std::uint32_t kRegDword = 4;

// HKEY_LOCAL_MACHINE (or the test override, see testing below).
RegKey localMachineKey();
// RegCreateKeyExA with options 0, access KEY_READ | KEY_WRITE. security may be null (the parent's
// default security). disposition may be null.
long createKey(RegKey parent, const char* name, const void* security, RegKey* result,
               std::uint32_t* disposition);
// RegOpenKeyExA with access KEY_READ: opens `name` only if it exists, creating nothing (on POSIX
// not even the database file). Shares the CreateKey fault kind: both are "open a key".
long openKey(RegKey parent, const char* name, RegKey* result);
// RegEnumKeyExA: name receives the subkey name at index, nameSize is the buffer size in chars.
long enumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize);
// RegEnumValueA: name buffer of nameSize chars, data buffer of dataSize bytes (type not asked).
long enumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize,
               std::uint8_t* data, std::uint32_t dataSize);
long setDwordValue(RegKey key, const char* name, std::uint32_t value);
long deleteValue(RegKey key, const char* name);
long deleteKey(RegKey parent, const char* name);
long flushKey(RegKey key);
long queryValueCount(RegKey key, std::uint32_t* count);
void closeKey(RegKey key);

// Whether this process may change the registry at `name` under `parent`: opens the deepest
// existing key on that path for reading and writing and closes it again, creating nothing (on
// POSIX, where keys have no rights of their own, it checks the database file and its folder).
// kRegOk, kRegAccessDenied when the process lacks the rights, another error when the registry
// cannot be reached. Loading needs no write access; registration and removal do.
long checkWriteAccess(RegKey parent, const char* name);
// Where the registry lives, for messages: on POSIX the database file (empty when
// KOV_BROKER_REGISTRY is set but empty), on Windows the root key's name followed by `keyPath`.
std::string registryLocation(const char* keyPath);
// How long each registry call waits for a lock another process holds before it fails with
// kRegBusy (the POSIX database; the Windows registry makes nobody wait). 30 s unless changed.
constexpr std::uint32_t kRegDefaultWaitMs = 30000;
void setRegistryWait(std::uint32_t milliseconds);

// ---- the user's registry layer -------------------------------------------------------------
// Every user may keep a registry of their own, laid out as the machine's, whose providers load
// after the machine's. Its root: on POSIX the database at KOV_BROKER_USER_REGISTRY (set but
// empty: none), else $XDG_CONFIG_HOME/kov_broker/registry.db (an absolute XDG_CONFIG_HOME), else
// $HOME/.config/kov_broker/registry.db; on Windows HKEY_CURRENT_USER. Reading it creates nothing.
RegKey currentUserKey();
// Where it lives, for messages, as registryLocation() names the machine's.
std::string userRegistryLocation(const char* keyPath);
// Whether this process may take providers from the user's registry at all.
struct UserLayerCheck {
    enum class State {
        Usable,
        // A set-user-id or set-group-id program (POSIX), an elevated process of a user whose own
        // token is not (Windows): like a dynamic loader ignoring the user's search paths, it reads
        // the machine's registry alone, or the user could make it load any library.
        Elevated,
        // Another user may write the file or its folder: its entries may not be the user's own.
        Unsafe,
        NotNamed, // no place is known for it (no HOME, or KOV_BROKER_USER_REGISTRY set but empty)
    };
    State state = State::Usable;
    std::string reason; // Elevated and Unsafe, in words naming what was found
};
UserLayerCheck checkUserLayer();

// ---- fixed zeroed global memory ------------------------------------------------------------
// GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT) then GlobalLock; null on failure.
void* globalAlloc(std::uint32_t size, GlobalHandle* handle);
// GlobalUnlock and GlobalFree.
void globalFree(GlobalHandle handle);

// ---- module string table -------------------------------------------------------------------
// LoadStringA: copies string id into buffer (size bytes, always terminated), returns the number
// of characters copied, 0 when the string does not exist.
int loadString(ModuleHandle instance, unsigned id, char* buffer, int size);

// ---- time ----------------------------------------------------------------------------------
struct LocalTime {
    int year, month, day, hour, minute, second, milliseconds;
};
LocalTime localTime();
// The local zone's standard-time offset from UTC in minutes, positive west of UTC.
long standardBiasMinutes();

// ---- text ----------------------------------------------------------------------------------
// ANSI code page <-> UTF-16 (the ANSI code page is UTF-8 on POSIX). Neither adds a terminator;
// both return the number of units written, 0 on failure or when the result does not fit.
int ansiToWide(const char* text, int length, char16_t* out, int outUnits);
int wideToAnsi(const char16_t* text, int length, char* out, int outBytes);

// ---- per-user state files (the crash marks of provider loading) ----------------------------
// Results are 0 or the system's own error code (errno, GetLastError()); errorText() words it.
// Failures the fault switch injects (StateWrite, StateRead) answer "access denied".
//
// The folder this user's broker state lives in: KOV_BROKER_STATE_DIR when set and not empty;
// else on POSIX $XDG_STATE_HOME/kov_broker (an absolute one) or $HOME/.local/state/kov_broker,
// on Windows %LOCALAPPDATA%\KOV_Broker. Empty when none is known. Nothing is created.
std::string userStateFolder();
// The registry in use, named the same way by every process that uses it: the database's full
// path (POSIX; empty when none is named), the root key's name (Windows).
std::string registryIdentity();
std::string joinPath(const std::string& folder, const std::string& name);
// Writes the file `path` whole or not at all (into a file beside it, then renamed over it),
// readable by this user alone (0600); missing folders on the way are made, private (0700).
long writePrivateFile(const std::string& path, const std::string& bytes);
// The bytes of a plain file that holds at most `maxBytes` (a longer one is refused); links are
// not followed.
long readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes);
// A file kept open for rewriting in place, cheaper than writing a new one: creating or removing
// a file is a change of its folder, which a file system journals, while rewriting a few bytes of
// an open file stays in memory. Created (or emptied) readable by this user alone, missing
// folders made as for writePrivateFile.
using FileHandle = void*;
long createPrivateFile(const std::string& path, FileHandle* file);
// Makes `bytes` the whole content of the open file.
long rewriteFile(FileHandle file, const std::string& bytes);
void closeFile(FileHandle file);
// 0 also when there is no such file.
long removeFile(const std::string& path);
// Removes `folder` if it is empty; says nothing either way.
void removeEmptyFolder(const std::string& folder);
// The names in `folder` (not "." and ".."), at most `maxNames`; a missing folder holds none.
long listFolder(const std::string& folder, std::size_t maxNames, std::vector<std::string>& names);
std::string errorText(long code);

// ---- processes -----------------------------------------------------------------------------
std::uint32_t currentProcessId();
// What tells this run of the process from any other that had or will have its id: its start
// time (and on POSIX the boot it started in), as text. Empty when the system cannot say.
std::string processStartToken();
enum class ProcessState { Running, Gone, Unknown };
// Gone: no process has the id `pid`, it has ended (a zombie), or a process started later has it
// (its start token differs from `startToken`). Unknown when the system cannot tell.
ProcessState processState(std::uint32_t pid, const std::string& startToken);
// The running program's file, as the loader took it (kovctl starts copies of it); empty when
// the system cannot say.
std::string programPath();

// ---- published regions (each process's counters, read by kovctl) --------------------------
// A region is a block of shared memory named after its process: on POSIX a file
// `kov-<pid>.stats` in regionFolder() (0600), on Windows the file mapping
// Local\KOV_Broker.<pid>, open to this user, the administrators and the system alone.
struct MappedRegion {
    unsigned char* memory = nullptr;
    std::uint32_t size = 0;
    void* handle = nullptr;   // Windows: the mapping while it is named
    std::string name;         // POSIX: the file's path while it exists
};
// POSIX: KOV_BROKER_RUNTIME_DIR when set, else $XDG_RUNTIME_DIR/kov-broker, else
// /tmp/kov-broker-<uid>. Windows: empty (regions live in the session's namespace).
std::string regionFolder();
// Creates this process's region of `size` zeroed bytes and maps it; a region left under the
// same name by an earlier process of this id is replaced. False when it cannot be had (the
// folder is missing, not this user's alone, the system refuses): nothing is left behind.
bool createOwnRegion(std::uint32_t size, MappedRegion& region);
// Names again a region whose name was withdrawn, keeping its memory where it is and what it
// holds. False where that cannot be done (Windows): the region then stays unnamed.
bool renameOwnRegion(MappedRegion& region);
// Takes the region's name away: nobody can open it any more. Its memory stays mapped, so a
// thread that still holds a pointer into it can go on; it goes with the process.
void withdrawOwnRegion(MappedRegion& region);
// ---- for readers
// The ids of the processes that have a region now (POSIX: files in the folder; Windows: the
// running processes whose region opens).
std::vector<std::uint32_t> regionProcesses();
// Maps the region of process `pid` (read-only unless `writable`); 0 or the system's error. A
// POSIX file must be a plain file of this user's, of at most `maxBytes`.
long openRegion(std::uint32_t pid, bool writable, std::uint32_t maxBytes, MappedRegion& region);
void closeRegion(MappedRegion& region);
// Removes the region a gone process left (POSIX; Windows regions go with their process).
long removeRegion(std::uint32_t pid);
// Microseconds since 1970, with no kernel call where the system allows (tracing).
std::uint64_t microsecondsNow();

// ---- child processes and the console (for the admin tool, never the broker) ----------------
// kovctl loads provider libraries, and runs the broker for a command, in a copy of itself: a
// library that crashes or hangs there takes down only the copy, and the parent names it.
struct ChildEnd {
    enum class Kind { Exited, Crashed, TimedOut, NotStarted };
    Kind kind = Kind::NotStarted;
    // Exited: the exit code. Crashed: the signal (POSIX) or the exception code (Windows).
    std::uint32_t code = 0;
    std::string error; // NotStarted: why
};
// Receives what a child writes to its report channel, as it comes.
using ReportSink = std::function<void(const char* bytes, std::size_t length)>;
// The word in a child's arguments that runChild replaces by its report channel's name.
constexpr const char* kReportChannelWord = "{report-channel}";
// Runs `program` with `arguments` (after the program's name) and waits for it to end, handing
// what it reports to `sink`. The child shares this process's standard input and error, and its
// standard output too, or this process's standard error when `outputToError` (a provider that
// prints while loading must not disturb the parent's output). With a `timeoutMs` (0: no limit)
// the child is ended (Kind::TimedOut) once it has been silent that long after a report; before
// its first report, while it starts (which takes long under emulation), it has kChildStartMs.
// Every handle and descriptor is closed on every path.
constexpr std::uint32_t kChildStartMs = 60000;
ChildEnd runChild(const std::string& program, const std::vector<std::string>& arguments,
                  std::uint32_t timeoutMs, bool outputToError, const ReportSink& sink);
// In the child: takes the report channel named `name` (what kReportChannelWord became), out of
// reach of the child's own children. False when `name` names none.
bool takeReportChannel(const std::string& name);
// Writes `text` to the channel taken; false when there is none or the parent has gone.
bool reportToParent(const std::string& text);
// In the child: a crash ends the process at once by its signal or exception code (no debugger,
// no error box, no core file, no sanitizer report), so that the parent can name it.
void endQuietlyOnCrash();
// The signal or exception code of a crashed child in words: "SIGSEGV (segmentation fault)",
// "exception 0xc0000005 (access violation)".
std::string crashName(std::uint32_t code);
// Standard input read as bytes from now on: no newline translation, no end at Ctrl-Z (Windows).
void binaryStandardInput();
// Why this process may not write the registry, as far as the system tells; for the admin tool's
// messages. POSIX looks at the database file, then at the folder SQLite writes its journal into
// (and creates the file in); Windows knows only that the key needs an administrator.
struct RegistryWriteDenial {
    enum class Cause { Unknown, Administrator, File, Folder };
    Cause cause = Cause::Unknown; // Unknown: nothing the files show (or writes denied in a test)
    std::string path;             // File, Folder: what may not be written
    std::string owner;            // its owner, by name where the system knows one
    bool yours = false;           // the owner is this process's user
    unsigned mode = 0;            // its permission bits
};
RegistryWriteDenial registryWriteDenial();

// ---- test hooks ----------------------------------------------------------------------------
namespace testing {
// Points localMachineKey() at a scratch registry private to this process, so unit tests never
// touch the machine's: on POSIX a database file in the temporary folder, on Windows a key under
// HKEY_CURRENT_USER, both named after `tag` and the process id. Starts empty. null goes back to
// the real registry.
void useScratchRegistry(const char* tag);
// Deletes the current scratch registry with everything in it and goes back to the real one.
void dropScratchRegistry();
// Points the machine's registry at a fresh scratch registry for the whole process, every module
// in it included (on POSIX by setting KOV_BROKER_REGISTRY, which child processes inherit; on
// Windows by overriding HKEY_LOCAL_MACHINE), so that a program can load the real module over a
// provider list of its own. Named after `tag` and the process id; starts empty. null deletes it
// and goes back to the machine's registry.
void redirectMachineRegistry(const char* tag);
// Sets environment variable `name` (null `value`: removes it) where environmentValue() reads it.
void setEnvironmentValue(const char* name, const char* value);
} // namespace testing

} // namespace kov::platform
