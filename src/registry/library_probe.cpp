#include "registry/library_probe.h"

#include <cstdio>
#include <cstring>
#include <cxxabi.h>

namespace kov::registry {
namespace {

void loadFailed(const char* path, LibraryProbe& probe) {
    char loader[kProbeReasonChars - 160];
    platform::lastLoadFailure(loader, sizeof loader);
    std::snprintf(probe.reason, sizeof probe.reason, "the library cannot be loaded: %s%s",
                  loader[0] != '\0' ? loader : "no reason given",
                  platform::isRelativePath(path)
                      ? " (the path is relative: every process resolves it from its own current "
                        "folder or the loader's search path; give a full path)"
                      : "");
}

// Null when the library lacks `name`. A stdcall export left decorated (kov_Receive@4) is the
// usual reason on Windows, so that spelling is tried too, only to say so.
void* entryPoint(LibraryProbe& probe, const char* name, unsigned argumentBytes, bool& named) {
    if (void* entry = platform::findSymbol(probe.module, name)) return entry;
    if (named) return nullptr; // one reason is enough
    named = true;
    char decorated[64];
    std::snprintf(decorated, sizeof decorated, "%s@%u", name, argumentBytes);
    char underscored[72];
    std::snprintf(underscored, sizeof underscored, "_%s", decorated);
    const char* found = nullptr;
    if (platform::findSymbol(probe.module, decorated) != nullptr) found = decorated;
    else if (platform::findSymbol(probe.module, underscored) != nullptr) found = underscored;
    if (found != nullptr)
        std::snprintf(probe.reason, sizeof probe.reason,
                      "the library exports %s only as the decorated name %s; export it "
                      "undecorated (a .def file, or -Wl,--kill-at)",
                      name, found);
    else
        std::snprintf(probe.reason, sizeof probe.reason, "the library does not export %s", name);
    return nullptr;
}

void giveUp(LibraryProbe& probe) {
    platform::freeLibrary(probe.module);
    probe.module = nullptr;
    probe.deleteEntry = nullptr;
    probe.receiveEntry = nullptr;
    probe.infoEntry = nullptr;
}

} // namespace

bool probeLibrary(const char* path, LibraryProbe& probe) {
    probe = LibraryProbe{};
    probe.module = platform::loadLibrary(path);
    if (probe.module == nullptr) {
        loadFailed(path != nullptr ? path : "", probe);
        return false;
    }
    bool named = false;
    probe.deleteEntry = reinterpret_cast<KovDeleteReceiveFn>(
        entryPoint(probe, "kov_DeleteReceive", 4, named));
    probe.receiveEntry =
        reinterpret_cast<KovReceiveFn>(entryPoint(probe, "kov_Receive", 4, named));
    probe.infoEntry = reinterpret_cast<KovGetSubSystemInfoFn>(
        entryPoint(probe, "kov_GetSubSystemInfo", 0, named));
    if (named) {
        giveUp(probe);
        return false;
    }
    // A library that throws while describing itself is one that cannot serve; it must not cut
    // short the loading of every other library. A thread's cancellation passes through.
    try {
        probe.block = probe.infoEntry();
    } catch (abi::__forced_unwind&) {
        giveUp(probe);
        throw;
    } catch (...) {
        std::snprintf(probe.reason, sizeof probe.reason,
                      "kov_GetSubSystemInfo ended with a C++ exception");
        giveUp(probe);
        return false;
    }
    if (probe.block == nullptr) {
        std::snprintf(probe.reason, sizeof probe.reason,
                      "kov_GetSubSystemInfo returned no information block (null)");
        giveUp(probe);
        return false;
    }
    const message::InfoFault fault = message::checkInfoBlock(probe.block, &probe.info);
    if (!fault.ok()) {
        std::snprintf(probe.reason, sizeof probe.reason,
                      "the information block is malformed: %s (%s, payload offset %u)",
                      message::infoRuleText(fault.rule), fault.field,
                      static_cast<unsigned>(fault.offset));
        returnInfoBlock(probe);
        giveUp(probe);
        return false;
    }
    return true;
}

void returnInfoBlock(LibraryProbe& probe) {
    if (probe.block != nullptr && probe.deleteEntry != nullptr) probe.deleteEntry(probe.block);
    probe.block = nullptr;
}

} // namespace kov::registry
