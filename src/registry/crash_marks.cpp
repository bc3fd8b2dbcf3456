#include "registry/crash_marks.h"

#include "message/timestamp.h"
#include "platform/platform.h"

#include <cstdio>
#include <new>

namespace kov::registry {
namespace {

constexpr const char* kMarkSuffix = ".mark";
constexpr const char* kLoadingPrefix = "loading-";
constexpr const char* kCrashedPrefix = "crashed-";

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hex(std::uint64_t value, int digits) {
    char text[17];
    std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool endsWith(const std::string& text, const char* suffix) {
    const std::size_t n = std::char_traits<char>::length(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// One record per library and key: a later crash of the same one replaces the earlier record.
std::string recordName(const std::string& key, const std::string& path) {
    std::string folded = key;
    for (char& c : folded)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return kCrashedPrefix + hex(fnv1a(folded + '\0' + path), 16) + kMarkSuffix;
}

// One name per run of a process: it has one library loading at a time.
std::string loadingName(std::uint32_t pid, const std::string& startToken) {
    return kLoadingPrefix + std::to_string(pid) + "-" + hex(fnv1a(startToken), 8) + kMarkSuffix;
}

std::string now() {
    char stamp[message::kTimestampSize];
    message::makeTimestamp(stamp);
    return std::string(stamp, sizeof stamp);
}

} // namespace

std::string CrashMarks::folderForRegistry() {
    const std::string state = platform::userStateFolder();
    const std::string registry = platform::registryIdentity();
    if (state.empty() || registry.empty()) return {};
    // The end of the registry's name, for whoever looks into the folder, and a hash of all of it.
    std::string tail = registry.size() > 40 ? registry.substr(registry.size() - 40) : registry;
    for (char& c : tail) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return platform::joinPath(platform::joinPath(state, "crash-marks"),
                              tail + "-" + hex(fnv1a(registry), 16));
}

CrashMarks::CrashMarks(std::string folder) : folder_(std::move(folder)) {}

CrashMarks::~CrashMarks() {
    try {
        finishLoading();
    } catch (const std::bad_alloc&) {
        // Only the note of a failure needs memory; the mark is closed and removed before it.
    }
}

void CrashMarks::finishLoading() {
    if (loading_ == nullptr) return;
    platform::closeFile(loading_);
    loading_ = nullptr;
    // Its path was made when the file was: removing it needs no memory.
    if (const long rc = platform::removeFile(loadingPath_); rc != 0)
        note("cannot remove the loading mark " + loadingPath_ + ": " + platform::errorText(rc) +
             "; once this process ends, its last library may be taken for one that crashed it");
}

void CrashMarks::note(const std::string& text) {
    if (!trouble_.empty()) trouble_ += "; ";
    trouble_ += text;
}

namespace {

// The process id a loading mark's name gives: "loading-PID-...". 0 when it gives none.
std::uint32_t processOfName(const std::string& name) {
    std::uint64_t pid = 0;
    for (std::size_t i = std::char_traits<char>::length(kLoadingPrefix);
         i < name.size() && name[i] >= '0' && name[i] <= '9' && pid <= UINT32_MAX; ++i)
        pid = pid * 10 + static_cast<unsigned>(name[i] - '0');
    return pid <= UINT32_MAX ? static_cast<std::uint32_t>(pid) : 0;
}

} // namespace

void CrashMarks::sweep() {
    records_.clear();
    if (folder_.empty()) return;
    std::vector<std::string> names;
    if (const long rc = platform::listFolder(folder_, kMaxMarkFiles + 1, names); rc != 0) {
        note("cannot read the crash marks in " + folder_ + ": " + platform::errorText(rc) +
             "; libraries that crashed earlier processes are loaded again");
        return;
    }
    if (names.size() > kMaxMarkFiles) {
        note("more than " + std::to_string(kMaxMarkFiles) + " files in " + folder_ +
             ": only some were read");
        names.resize(kMaxMarkFiles);
    }
    std::size_t malformed = 0;
    std::string example;
    for (const std::string& name : names) {
        // A file being written (or left half written) beside a mark; this process's own mark.
        if (name.find(".tmp") != std::string::npos || name == loadingName_) continue;
        const bool loading = startsWith(name, kLoadingPrefix) && endsWith(name, kMarkSuffix);
        const bool crashed = startsWith(name, kCrashedPrefix) && endsWith(name, kMarkSuffix);
        const std::string file = platform::joinPath(folder_, name);
        std::string bytes, problem;
        CrashMark mark;
        if (!loading && !crashed) {
            problem = "not a crash mark's name";
        } else if (const long rc = platform::readSmallFile(file, kMarkFileBytes, bytes); rc != 0) {
            problem = platform::errorText(rc);
        } else if (!parseMark(bytes, mark, problem)) {
            // A loading mark is rewritten in place while its process loads, and emptied between
            // two libraries: what a running process's mark holds is no concern of this sweep. The
            // empty mark of an ended process had nothing loading.
            if (loading && platform::processState(processOfName(name), std::string()) !=
                               platform::ProcessState::Gone)
                continue;
            if (loading && bytes.empty()) {
                platform::removeFile(file);
                continue;
            }
        } else if ((mark.state == MarkState::Loading) != loading) {
            problem = "its state does not match its name";
        }
        if (!problem.empty()) {
            if (malformed++ == 0) example = name + ": " + problem;
            continue;
        }
        if (crashed) {
            records_.push_back(mark);
        } else if (platform::processState(mark.processId, mark.startToken) ==
                   platform::ProcessState::Gone) {
            convert(name, mark);
        }
    }
    if (malformed > 0)
        note("passed over " + std::to_string(malformed) + " file" + (malformed > 1 ? "s" : "") +
             " in " + folder_ + " that " + (malformed > 1 ? "are" : "is") +
             " no crash mark (" + example + "); delete what you do not need by hand");
}

// A loading mark whose process ended while it said "loading": that process crashed, or was ended
// while the library hung.
void CrashMarks::convert(const std::string& name, const CrashMark& mark) {
    CrashMark record = mark;
    record.state = MarkState::Crashed;
    // This load skips the library whether or not the record can be kept.
    records_.push_back(record);
    const long rc = platform::writePrivateFile(
        platform::joinPath(folder_, recordName(record.key, record.path)), encodeMark(record));
    if (rc != 0) {
        note("cannot record in " + folder_ + " that process " + std::to_string(mark.processId) +
             " ended while loading " + mark.path + ": " + platform::errorText(rc));
        return;
    }
    if (const long removed = platform::removeFile(platform::joinPath(folder_, name)); removed != 0)
        note("cannot remove the loading mark " + name + " in " + folder_ + ": " +
             platform::errorText(removed));
}

const CrashMark* CrashMarks::recordFor(const std::string& key, const std::string& path) const {
    for (const CrashMark& record : records_)
        if (record.path == path && sameKeyName(record.key, key)) return &record;
    return nullptr;
}

bool CrashMarks::beginLoading(const std::string& key, const std::string& path) {
    if (folder_.empty() || writeFailed_) return false;
    CrashMark mark;
    mark.key = key;
    mark.path = path;
    mark.processId = platform::currentProcessId();
    if (loading_ == nullptr) {
        startToken_ = platform::processStartToken();
        program_ = platform::programPath();
    }
    mark.startToken = startToken_;
    mark.program = program_;
    mark.time = now();
    long rc = 0;
    if (loading_ == nullptr) {
        // One file per run of a process, kept open and rewritten for each library it loads: a
        // change of the folder costs far more than a rewrite of a few bytes.
        loadingName_ = loadingName(mark.processId, mark.startToken);
        loadingPath_ = platform::joinPath(folder_, loadingName_);
        rc = platform::createPrivateFile(loadingPath_, &loading_);
    }
    if (rc == 0) rc = platform::rewriteFile(loading_, encodeMark(mark));
    if (rc != 0) {
        note("cannot write crash marks in " + folder_ + ": " + platform::errorText(rc) +
             "; a library that crashes this process while it loads is loaded again by the next");
        writeFailed_ = true;
        return false;
    }
    return true;
}

void CrashMarks::endLoading() {
    // Emptied: between two libraries, nothing is loading.
    if (loading_ != nullptr && !writeFailed_ && platform::rewriteFile(loading_, std::string()) != 0) {
        note("cannot empty the loading mark " + loadingPath_ +
             "; if this process ends before it loads another library, the last one may be taken "
             "for one that crashed it");
        writeFailed_ = true;
    }
}

std::vector<CrashMark> CrashMarks::recordEnd(std::uint32_t pid, const std::string& cause) {
    sweep();
    std::vector<CrashMark> ended;
    for (CrashMark& record : records_) {
        if (record.processId != pid) continue;
        // A record someone else made of the same end lacks the cause: it is added.
        if (record.reason.empty()) {
            record.reason = cause;
            const std::string file =
                platform::joinPath(folder_, recordName(record.key, record.path));
            if (const long rc = platform::writePrivateFile(file, encodeMark(record)); rc != 0)
                note("cannot add the cause to the crash record " + file + ": " +
                     platform::errorText(rc));
        }
        ended.push_back(record);
    }
    return ended;
}

std::optional<CrashMark> CrashMarks::ownLoading() const {
    if (folder_.empty()) return std::nullopt;
    const std::string name =
        loadingName(platform::currentProcessId(), platform::processStartToken());
    std::string bytes, problem;
    CrashMark mark;
    if (platform::readSmallFile(platform::joinPath(folder_, name), kMarkFileBytes, bytes) != 0 ||
        !parseMark(bytes, mark, problem))
        return std::nullopt;
    return mark;
}

std::vector<CrashMark> CrashMarks::enable(const std::string& key, const std::string& path) {
    std::vector<CrashMark> enabled;
    if (folder_.empty()) return enabled;
    std::vector<std::string> names;
    if (const long rc = platform::listFolder(folder_, kMaxMarkFiles, names); rc != 0) {
        note("cannot read the crash marks in " + folder_ + ": " + platform::errorText(rc));
        return enabled;
    }
    for (const std::string& name : names) {
        if (!startsWith(name, kCrashedPrefix) || !endsWith(name, kMarkSuffix)) continue;
        std::string bytes, problem;
        CrashMark mark;
        const std::string file = platform::joinPath(folder_, name);
        if (platform::readSmallFile(file, kMarkFileBytes, bytes) != 0 ||
            !parseMark(bytes, mark, problem) || !sameKeyName(mark.key, key) ||
            (!path.empty() && mark.path != path))
            continue;
        if (const long rc = platform::removeFile(file); rc != 0) {
            note("cannot remove the crash record " + file + ": " + platform::errorText(rc));
            continue;
        }
        enabled.push_back(mark);
    }
    for (std::size_t i = records_.size(); i-- > 0;)
        if (sameKeyName(records_[i].key, key) && (path.empty() || records_[i].path == path))
            records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(i));
    return enabled;
}

LoadingMarks::LoadingMarks() {
    try {
        marks_.emplace();
    } catch (const std::bad_alloc&) {
        noMemory_ = true;
    }
}

template <class Step>
void LoadingMarks::step(Step body) {
    if (!marks_.has_value()) return;
    try {
        body();
    } catch (const std::bad_alloc&) {
        noMemory_ = true;
    }
}

void LoadingMarks::sweep() {
    step([&] { marks_->sweep(); });
}

const CrashMark* LoadingMarks::recordFor(const char* key, const char* path) {
    const CrashMark* record = nullptr;
    step([&] { record = marks_->recordFor(key, path); });
    return record;
}

void LoadingMarks::begin(const char* key, const char* path) {
    step([&] { marks_->beginLoading(key, path); });
}

void LoadingMarks::end() {
    step([&] { marks_->endLoading(); });
}

void LoadingMarks::finish() {
    step([&] { marks_->finishLoading(); });
}

void LoadingMarks::enable(const char* key, const char* path) {
    step([&] { marks_->enable(key, path); });
}

std::string LoadingMarks::folder() const { return marks_.has_value() ? marks_->folder() : ""; }

std::string LoadingMarks::trouble() const {
    std::string text = marks_.has_value() ? marks_->trouble() : "";
    if (noMemory_) text += std::string(text.empty() ? "" : "; ") + "no memory was left for the crash marks";
    return text;
}

std::string describeCrash(const CrashMark& record) {
    return "process " + std::to_string(record.processId) + " (" +
           (record.program.empty() ? std::string("program unknown") : record.program) +
           ") ended while loading it, at " + record.time + ": " +
           (record.reason.empty() ? std::string("it crashed, or hung and was killed")
                                  : record.reason);
}

std::string skipReason(const CrashMark& record, const std::string& key) {
    bool plain = !key.empty();
    for (const char c : key)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_');
    return "skipped: " + describeCrash(record) + "; `kovctl enable " +
           (plain ? key : "\"" + key + "\"") + "`, or registering it again, lets it load";
}

} // namespace kov::registry
