// Crash marks: the memory of provider libraries that crashed (or hung in) a process while it was
// loading them, so that later processes skip them until an administrator enables them again.
// Shared by the broker, which writes and reads them, and kovctl, which shows and clears them.
//
// Before loading a library the broker writes a "loading" mark naming the library, its own process
// (id and start, so that a later process given the same id is not taken for it) and program; once
// the library is loaded and described, or refused, the mark goes. A loading mark whose process has
// ended is what a crash leaves behind, or the kill of a process that hung: whoever finds one turns
// it into a "crashed" record, matched to registry entries by provider key and library path.
//
// The marks are kept per user (a program may not write the registry, which may be read-only) and
// per registry. The folder is the user's own, but nothing in it is trusted: files are read with a
// bound, and what does not parse is passed over and named. A store that cannot be written costs a
// load nothing; it is said in the load's report.
#pragma once

#include "platform/platform.h"
#include "registry/crash_mark_file.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kov::registry {

// More files than this in one folder are not read (the rest is said to be there).
constexpr std::size_t kMaxMarkFiles = 1000;

class CrashMarks {
public:
    // The folder of the crash marks of the registry in use, for this user: under the user's state
    // folder (platform::userStateFolder), "crash-marks", then one folder per registry. Empty when
    // no state folder is known or no registry is named.
    static std::string folderForRegistry();

    explicit CrashMarks(std::string folder);
    CrashMarks() : CrashMarks(folderForRegistry()) {}
    // Removes this process's loading mark, if it wrote one.
    ~CrashMarks();
    CrashMarks(const CrashMarks&) = delete;
    CrashMarks& operator=(const CrashMarks&) = delete;

    const std::string& folder() const { return folder_; }

    // Turns the loading marks of processes that have ended into crash records, then reads every
    // record.
    void sweep();
    const std::vector<CrashMark>& records() const { return records_; }
    // The record of this library under this key, or null.
    const CrashMark* recordFor(const std::string& key, const std::string& path) const;

    // Writes this process's loading mark for the library; false (and noted) when it cannot be
    // written. The mark is one file, kept open and rewritten for each library, emptied between
    // two, and removed when this object goes.
    bool beginLoading(const std::string& key, const std::string& path);
    void endLoading();
    // Closes and removes the loading mark (noted when it cannot be removed).
    void finishLoading();

    // For whoever saw process `pid` end while it loaded (kovctl, of its worker): turns its loading
    // mark into a record as sweep() does, with `cause` (the signal, a time-out) as the record's
    // reason; returns the records of that process.
    std::vector<CrashMark> recordEnd(std::uint32_t pid, const std::string& cause);
    // The loading mark this process has written (through another instance), if any: the library
    // it is loading now.
    std::optional<CrashMark> ownLoading() const;

    // Removes the crash records of `key` (of its library `path` alone, when given); returns them.
    std::vector<CrashMark> enable(const std::string& key, const std::string& path = {});

    // Trouble met so far, in words, for reports; empty when there was none.
    const std::string& trouble() const { return trouble_; }

private:
    void note(const std::string& text);
    void convert(const std::string& name, const CrashMark& mark);

    std::string folder_;
    // This process's loading mark, once one was written.
    platform::FileHandle loading_ = nullptr;
    std::string loadingName_, loadingPath_;
    std::string startToken_, program_;
    bool writeFailed_ = false; // said once; no more attempts
    std::vector<CrashMark> records_;
    std::string trouble_;
};

// The crash marks as a load uses them: every step contained, so that a store that cannot be used,
// even for want of memory, never stops a load (what went wrong is in trouble()).
class LoadingMarks {
public:
    LoadingMarks();
    void sweep();
    // Null when there is none, or the marks cannot be read.
    const CrashMark* recordFor(const char* key, const char* path);
    void begin(const char* key, const char* path);
    void end();
    void finish();
    void enable(const char* key, const char* path);
    // Empty when no folder is known.
    std::string folder() const;
    std::string trouble() const;

private:
    template <class Step>
    void step(Step body);

    std::optional<CrashMarks> marks_;
    bool noMemory_ = false;
};

// How a crash record reads in reports: "process N (PROGRAM) ended while loading it, at TIME: ...".
std::string describeCrash(const CrashMark& record);
// Why a load skips the library of a registry entry with that record, and how to let it load:
// the same words in the broker's load report and in kovctl.
std::string skipReason(const CrashMark& record, const std::string& key);

} // namespace kov::registry
