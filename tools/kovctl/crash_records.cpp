#include "crash_records.h"

#include "registry_view.h"
#include "report.h"

#include "registry/crash_marks.h"

namespace kovctl {

using kov::registry::CrashMark;
using kov::registry::CrashMarks;

std::string crashRecordReason(const std::string& key, const std::string& path) {
    CrashMarks marks;
    marks.sweep();
    const CrashMark* record = marks.recordFor(key, path);
    return record != nullptr ? kov::registry::skipReason(*record, key) : std::string();
}

int runEnable(const Options& options) {
    const std::string& key = options.operands[0];
    const std::string given = options.operands.size() > 1 ? options.operands[1] : std::string();
    CrashMarks marks;
    if (marks.folder().empty())
        return fail("no folder is known for this user's crash marks: set KOV_BROKER_STATE_DIR "
                    "(or HOME on Linux, LOCALAPPDATA on Windows)");
    // A process that crashed may have left only its loading mark: the sweep makes it a record.
    marks.sweep();
    std::vector<std::string> paths;
    for (const CrashMark& record : marks.records())
        if (sameKey(record.key, key)) paths.push_back(record.path);
    Extras extras{{"key", key}, {"store", marks.folder()}};
    std::size_t enabled = 0;
    for (const std::string& path : librariesNamed(paths, given)) {
        for (const CrashMark& record : marks.enable(key, path)) {
            extras.push_back({"note", "enabled " + record.path + " (" +
                                          kov::registry::describeCrash(record) + ")"});
            ++enabled;
        }
    }
    if (!marks.trouble().empty()) return fail(marks.trouble());
    if (enabled == 0)
        extras.push_back({"note", "key '" + key + "' has no crash record" +
                                      (given.empty() ? "" : " for " + given) + ": nothing to enable"});
    return reportStatus(options, KOV_STATUS_OK, extras);
}

} // namespace kovctl
