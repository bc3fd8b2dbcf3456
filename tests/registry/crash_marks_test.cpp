// Crash marks: their files taken apart as anyone may have left them, the store's sweep, and what
// a load does with marks and records (skips and names, converts, goes on without a store).
#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include "registry/crash_marks.h"
#include "registry/load_report.h"
#include "registry/provider_loading.h"
#include "registry/registration.h"

#include <algorithm>
#include <cstdlib>

namespace kov::test {
namespace {

using faults::Fault;
using registry::CrashMark;
using registry::CrashMarks;
using registry::MarkState;

CrashMark markOf(MarkState state, const std::string& key, const std::string& path,
                 const std::string& startToken) {
    CrashMark mark;
    mark.state = state;
    mark.key = key;
    mark.path = path;
    mark.processId = platform::currentProcessId();
    mark.startToken = startToken;
    mark.program = "/opt/host\\bin/prog";
    mark.time = "2024-01-02T03:04:05.678+0100";
    return mark;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(CrashMarkFile, ReadsWhatItWritesAndNothingElse) {
    CrashMark written = markOf(MarkState::Crashed, "Key\nwith\\escapes", "/x/lib.so", "boot/99");
    written.reason = "did not finish loading within 2000 ms";
    const std::string good = registry::encodeMark(written);
    CrashMark read;
    std::string problem;
    ASSERT_TRUE(registry::parseMark(good, read, problem)) << problem;
    EXPECT_EQ(read.state, MarkState::Crashed);
    EXPECT_EQ(read.key, written.key);
    EXPECT_EQ(read.path, written.path);
    EXPECT_EQ(read.processId, written.processId);
    EXPECT_EQ(read.startToken, "boot/99");
    EXPECT_EQ(read.program, written.program);
    EXPECT_EQ(read.time, written.time);
    EXPECT_EQ(read.reason, written.reason);

    const std::string pid = "pid=" + std::to_string(written.processId);
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"another first line", replaced(good, "mark 1", "mark 2")},
        {"last line cut short", good.substr(0, good.size() - 1)},
        {"unknown line", good + "colour=blue\n"},
        {"line without a value", good + "state\n"},
        {"a field twice", good + "pid=5\n"},
        {"no key", replaced(good, "key=Key\\nwith\\\\escapes\n", "")},
        {"process 0", replaced(good, pid, "pid=0")},
        {"process not a number", replaced(good, pid, "pid=12a4")},
        {"process past 32 bits", replaced(good, pid, "pid=4294967296")},
        {"unknown state", replaced(good, "state=crashed", "state=done")},
        {"unknown escape", replaced(good, "\\n", "\\q")},
        {"escape at the end of a line", replaced(good, "lib.so", "lib.so\\")},
        {"key longer than a registry key", replaced(good, "key=", "key=" + std::string(300, 'k'))},
        {"time with a tab", replaced(good, "T03", "\t03")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(registry::parseMark(c.bytes, read, problem));
        EXPECT_FALSE(problem.empty());
    }
}

// A folder of the test's own for the store.
class CrashMarksTest : public ::testing::Test {
protected:
    void SetUp() override {
        faults::clear();
        const char* tmp = std::getenv("TMPDIR");
        folder_ = platform::joinPath(platform::joinPath(tmp != nullptr && *tmp ? tmp : "/tmp",
                                                        "kov_crash_marks_" +
                                                            std::to_string(platform::currentProcessId())),
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        clean();
    }
    void TearDown() override {
        faults::clear();
        clean();
    }
    void clean() {
        std::vector<std::string> names;
        platform::listFolder(folder_, 100, names);
        for (const std::string& name : names) platform::removeFile(platform::joinPath(folder_, name));
        platform::removeEmptyFolder(folder_);
    }
    void put(const std::string& name, const std::string& bytes) {
        ASSERT_EQ(platform::writePrivateFile(platform::joinPath(folder_, name), bytes), 0);
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        platform::listFolder(folder_, 100, names);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string folder_;
};

// What a sweep does with each kind of file it meets.
TEST_F(CrashMarksTest, SweepTurnsMarksOfEndedProcessesIntoRecords) {
    const std::string self = platform::processStartToken();
    ASSERT_FALSE(self.empty());
    const std::string pid = std::to_string(platform::currentProcessId());
    const struct {
        const char* what;
        std::string name, bytes;
        std::size_t records;
        bool troubled;
        bool stays; // the file is still there afterwards
    } cases[] = {
        {"this process, still loading", "loading-1-a.mark",
         registry::encodeMark(markOf(MarkState::Loading, "K", "/x/a.so", self)), 0, false, true},
        {"a process that ended, its id now this one's", "loading-1-b.mark",
         registry::encodeMark(markOf(MarkState::Loading, "K", "/x/b.so", "an earlier run")), 1,
         false, false},
        {"a record", "crashed-1.mark",
         registry::encodeMark(markOf(MarkState::Crashed, "K", "/x/c.so", "x")), 1, false, true},
        {"a record under a loading mark's name", "loading-1-d.mark",
         registry::encodeMark(markOf(MarkState::Crashed, "K", "/x/d.so", "x")), 0, true, true},
        {"a mark of an ended process that does not parse", "loading-99999999-e.mark",
         "garbage\n", 0, true, true},
        {"the empty mark of an ended process: nothing was loading", "loading-99999999-f.mark", "",
         0, false, false},
        {"a running process's mark being rewritten", "loading-" + pid + "-g.mark", "KOV bro", 0,
         false, true},
        {"a file too long", "crashed-2.mark", std::string(registry::kMarkFileBytes + 1, 'x'), 0,
         true, true},
        {"a name no mark has", "notes.txt", "hello\n", 0, true, true},
        {"a write in progress beside a mark", "loading-1-h.mark.tmp77", "", 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clean();
        put(c.name, c.bytes);
        CrashMarks marks(folder_);
        marks.sweep();
        EXPECT_EQ(marks.records().size(), c.records);
        EXPECT_EQ(!marks.trouble().empty(), c.troubled) << marks.trouble();
        const std::vector<std::string> left = files();
        EXPECT_EQ(std::find(left.begin(), left.end(), c.name) != left.end(), c.stays);
        if (c.records == 1 && !c.stays) {
            // The record outlives this sweep: a later one reads it.
            ASSERT_EQ(left.size(), 1u);
            CrashMarks later(folder_);
            later.sweep();
            ASSERT_EQ(later.records().size(), 1u);
            EXPECT_EQ(later.records()[0].path, "/x/b.so");
            EXPECT_NE(later.recordFor("k", "/x/b.so"), nullptr) << "keys compare without case";
            EXPECT_EQ(later.recordFor("K", "/x/B.so"), nullptr) << "paths compare exactly";
        }
    }
}

TEST_F(CrashMarksTest, LoadingMarkLastsWhileTheLibraryLoads) {
    const auto content = [&](const std::string& name) {
        std::string bytes;
        EXPECT_EQ(platform::readSmallFile(platform::joinPath(folder_, name), 8192, bytes), 0);
        return bytes;
    };
    {
        CrashMarks marks(folder_);
        ASSERT_TRUE(marks.beginLoading("K", "/x/a.so"));
        const std::vector<std::string> during = files();
        ASSERT_EQ(during.size(), 1u);
        CrashMark mark;
        std::string problem;
        ASSERT_TRUE(registry::parseMark(content(during[0]), mark, problem)) << problem;
        EXPECT_EQ(mark.state, MarkState::Loading);
        EXPECT_EQ(mark.path, "/x/a.so");
        EXPECT_EQ(mark.processId, platform::currentProcessId());
        EXPECT_EQ(mark.startToken, platform::processStartToken());
        EXPECT_EQ(mark.program, platform::programPath());
        // Emptied between two libraries; the next one is written into the same file.
        marks.endLoading();
        EXPECT_EQ(content(during[0]), "");
        ASSERT_TRUE(marks.beginLoading("K", "/x/b.so"));
        EXPECT_EQ(files(), during);
        ASSERT_TRUE(registry::parseMark(content(during[0]), mark, problem)) << problem;
        EXPECT_EQ(mark.path, "/x/b.so");
        marks.endLoading();
        EXPECT_TRUE(marks.trouble().empty()) << marks.trouble();
    }
    EXPECT_TRUE(files().empty()) << "the mark goes with its load";
}

TEST_F(CrashMarksTest, StoreThatCannotBeUsedSaysSo) {
    put("crashed-1.mark", registry::encodeMark(markOf(MarkState::Crashed, "K", "/x/a.so", "x")));
    const struct {
        const char* what;
        Fault fault;
        const char* trouble;
    } cases[] = {
        {"unwritable", Fault::StateWrite, "cannot write crash marks"},
        {"unreadable", Fault::StateRead, "cannot read the crash marks"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        faults::failNth(c.fault, 1, true);
        {
            CrashMarks marks(folder_);
            marks.sweep();
            const bool began = marks.beginLoading("K", "/x/b.so");
            marks.endLoading();
            marks.finishLoading();
            EXPECT_EQ(began, c.fault != Fault::StateWrite);
            EXPECT_EQ(marks.records().size(), c.fault == Fault::StateRead ? 0u : 1u);
            EXPECT_NE(marks.trouble().find(c.trouble), std::string::npos) << marks.trouble();
        }
        faults::clear();
        EXPECT_EQ(files(), std::vector<std::string>{"crashed-1.mark"});
    }
}

TEST_F(CrashMarksTest, EnableRemovesTheRecordsOfAKey) {
    put("crashed-1.mark", registry::encodeMark(markOf(MarkState::Crashed, "Key", "/x/a.so", "x")));
    put("crashed-2.mark", registry::encodeMark(markOf(MarkState::Crashed, "KEY", "/x/b.so", "x")));
    put("crashed-3.mark", registry::encodeMark(markOf(MarkState::Crashed, "other", "/x/a.so", "x")));
    CrashMarks marks(folder_);
    EXPECT_TRUE(marks.enable("key", "/x/c.so").empty());
    EXPECT_EQ(marks.enable("key", "/x/b.so").size(), 1u);
    EXPECT_EQ(files(), (std::vector<std::string>{"crashed-1.mark", "crashed-3.mark"}));
    EXPECT_EQ(marks.enable("kEy").size(), 1u);
    EXPECT_EQ(files(), std::vector<std::string>{"crashed-3.mark"});
}

// Loads over a registry whose first library has a crash record (or a loading mark left by a
// process that ended), the store in every state.
class CrashMarkLoadTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        folder_ = CrashMarks::folderForRegistry();
        ASSERT_FALSE(folder_.empty()) << "no per-user folder for the test's crash marks";
        immediate_ = providerPath("kov_test_immediate");
        registerInRegistry("A", {immediate_});
        registerInRegistry("B", {providerPath("kov_test_three_sets")});
    }
    void TearDown() override {
        CrashMarks(folder_).enable("A");
        BrokerTest::TearDown();
    }
    void leave(MarkState state) {
        const std::string name = state == MarkState::Loading ? "loading-1-x.mark" : "crashed-1.mark";
        ASSERT_EQ(platform::writePrivateFile(platform::joinPath(folder_, name),
                                             registry::encodeMark(markOf(state, "a", immediate_,
                                                                         "an earlier run"))),
                  0);
    }
    std::string folder_, immediate_;
};

TEST_F(CrashMarkLoadTest, LibraryWithACrashRecordIsSkippedAndNamed) {
    const struct {
        const char* what;
        int left; // -1 nothing, else the MarkState left in the store
        Fault fault; // Fault::Count: none
        bool skipped;
        std::uint32_t marksState;
    } cases[] = {
        {"no record", -1, Fault::Count, false, KOV_MARKS_KEPT},
        {"a record", int(MarkState::Crashed), Fault::Count, true, KOV_MARKS_KEPT},
        {"a loading mark of an ended process", int(MarkState::Loading), Fault::Count, true,
         KOV_MARKS_KEPT},
        {"a record, the store unwritable", int(MarkState::Crashed), Fault::StateWrite, true,
         KOV_MARKS_TROUBLE},
        {"a record, the store unreadable", int(MarkState::Crashed), Fault::StateRead, false,
         KOV_MARKS_TROUBLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CrashMarks(folder_).enable("A");
        if (c.left >= 0) leave(MarkState(c.left));
        const std::uint32_t inUse = bytesInUse();
        if (c.fault != Fault::Count) faults::failNth(c.fault, 1, true);
        ASSERT_TRUE(registry::loadAllProviders(registry::Load::Reload));
        faults::clear();
        const std::vector<std::uint32_t> sets =
            c.skipped ? std::vector<std::uint32_t>{0, 0x401} : std::vector<std::uint32_t>{0, 0x401, 0x100};
        EXPECT_EQ(listedFunctionSets(), sets);
        const registry::PublishedReport last = registry::lastLoadReport();
        ASSERT_NE(last.report, nullptr);
        const registry::LoadReport& r = *last.report;
        EXPECT_EQ(r.outcome, 0u);
        EXPECT_EQ(r.loadedCount, c.skipped ? 1u : 2u);
        EXPECT_EQ(r.marksState, c.marksState) << r.marksNote;
        EXPECT_EQ(r.marksFolder, folder_);
        ASSERT_EQ(r.problems.size(), c.skipped ? 1u : 0u);
        if (c.skipped) {
            const registry::LoadProblem& p = r.problems[0];
            EXPECT_EQ(p.why, unsigned(KOV_ENTRY_CRASHED));
            EXPECT_EQ(p.status, unsigned(KOV_STATUS_PROVIDER_LOAD_FAILED));
            EXPECT_EQ(p.key, "A");
            EXPECT_EQ(p.path, immediate_);
            EXPECT_EQ(p.processId, platform::currentProcessId());
            EXPECT_NE(p.reason.find("/opt/host\\bin/prog"), std::string::npos) << p.reason;
            EXPECT_NE(p.reason.find("kovctl enable A"), std::string::npos) << p.reason;
        }
        registry::unloadAll();
        EXPECT_EQ(bytesInUse(), inUse);
    }
}

// Registering a library again enables it; so does removing it first.
TEST_F(CrashMarkLoadTest, RegisteringAgainEnablesIt) {
    leave(MarkState::Crashed);
    ASSERT_TRUE(registry::loadAllProviders(registry::Load::First));
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401}));
    const std::u16string key = u"A";
    const std::u16string path(immediate_.begin(), immediate_.end());
    EXPECT_EQ(registry::updateRegistration(key.c_str(), path.c_str(), 2), 0u);
    leave(MarkState::Crashed);
    EXPECT_EQ(registry::updateRegistration(key.c_str(), path.c_str(), KOV_REGISTER), 0u);
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401, 0x100}));
    ASSERT_TRUE(registry::reloadProviders());
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401, 0x100}));
    EXPECT_TRUE(CrashMarks(folder_).enable("A").empty()) << "no record left";
}

} // namespace
} // namespace kov::test
