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

// The entry points a library lacks, named all at once: one missing name usually means a typing
// mistake, all three a forgotten extern "C" or KOV_PROVIDER_EXPORT.
struct MissingEntries {
    const char* absent[3];
    int absentCount = 0;
    const char* decorated[3]; // a stdcall export left decorated (kov_Receive@4): usual on Windows
    char decoratedNames[3][72];
    int decoratedCount = 0;
};

// Null when the library lacks `name`, which is then noted in `missing`.
void* entryPoint(LibraryProbe& probe, const char* name, unsigned argumentBytes,
                 MissingEntries& missing) {
    if (void* entry = platform::findSymbol(probe.module, name)) return entry;
    char* spelled = missing.decoratedNames[missing.decoratedCount];
    std::snprintf(spelled, sizeof missing.decoratedNames[0], "%s@%u", name, argumentBytes);
    if (platform::findSymbol(probe.module, spelled) == nullptr) {
        char underscored[72];
        std::snprintf(underscored, sizeof underscored, "_%s", spelled);
        if (platform::findSymbol(probe.module, underscored) == nullptr) {
            missing.absent[missing.absentCount++] = name;
            return nullptr;
        }
        std::snprintf(spelled, sizeof missing.decoratedNames[0], "%s", underscored);
    }
    missing.decorated[missing.decoratedCount++] = name;
    return nullptr;
}

// Appends to the reason; no allocation on the loading path, and cut short at the buffer's end.
void append(LibraryProbe& probe, const char* text) {
    const std::size_t used = std::strlen(probe.reason);
    std::snprintf(probe.reason + used, sizeof probe.reason - used, "%s", text);
}

// "a", "a and b", "a, b and c".
void appendNames(LibraryProbe& probe, const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        if (i > 0) append(probe, i + 1 == count ? " and " : ", ");
        append(probe, names[i]);
    }
}

void explainMissing(const MissingEntries& missing, LibraryProbe& probe) {
    probe.reason[0] = '\0';
    if (missing.absentCount > 0) {
        append(probe, "the library does not export ");
        appendNames(probe, missing.absent, missing.absentCount);
        if (missing.absentCount == 3)
            append(probe, " (declare them extern \"C\" and mark them KOV_PROVIDER_EXPORT)");
    }
    if (missing.decoratedCount > 0) {
        const char* spelled[3];
        for (int i = 0; i < missing.decoratedCount; ++i) spelled[i] = missing.decoratedNames[i];
        const bool one = missing.decoratedCount == 1;
        append(probe, missing.absentCount == 0 ? "the library exports " : "; it exports ");
        appendNames(probe, missing.decorated, missing.decoratedCount);
        append(probe, one ? " only as the decorated name " : " only as the decorated names ");
        appendNames(probe, spelled, missing.decoratedCount);
        append(probe, one ? "; export it undecorated (a .def file, or -Wl,--kill-at)"
                          : "; export them undecorated (a .def file, or -Wl,--kill-at)");
    }
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
    MissingEntries missing;
    probe.deleteEntry = reinterpret_cast<KovDeleteReceiveFn>(
        entryPoint(probe, "kov_DeleteReceive", 4, missing));
    probe.receiveEntry =
        reinterpret_cast<KovReceiveFn>(entryPoint(probe, "kov_Receive", 4, missing));
    probe.infoEntry = reinterpret_cast<KovGetSubSystemInfoFn>(
        entryPoint(probe, "kov_GetSubSystemInfo", 0, missing));
    if (missing.absentCount + missing.decoratedCount > 0) {
        explainMissing(missing, probe);
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
                      "the information block is malformed: %s (%s, %s offset %u)",
                      message::infoRuleText(fault.rule), fault.field,
                      message::isHeaderRule(fault.rule) ? "block" : "payload",
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
