// Child processes for the admin tool: a copy of kovctl.exe that loads provider libraries, so that
// a library that crashes or hangs takes down only the copy. The report channel is an anonymous
// pipe whose write handle the child inherits; its value stands in the child's command line. The
// exception code of a crashed child is its exit code. No thread of our own: the parent reads the
// pipe between short waits on the process.
#include "platform/win32/win32.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace kov::platform {
namespace {

HANDLE reportChannel = nullptr;

// A handle closed on every path.
class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

ChildEnd notStarted(const std::string& why) {
    ChildEnd end;
    end.error = why;
    return end;
}

std::string systemMessage(DWORD code) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message + " (error " + std::to_string(code) + ")";
}

// One argument as the C runtime's parser reads it back: quoted when it holds blanks or quotes,
// backslashes doubled only before a quote.
void appendQuoted(std::string& line, const std::string& argument) {
    if (!line.empty()) line += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// A copy of one of this process's standard handles that the child may inherit; null when there
// is none.
HANDLE inheritable(DWORD which) {
    const HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Everything the pipe holds now; the number of bytes.
std::size_t drain(HANDLE pipe, const ReportSink& sink) {
    std::size_t total = 0;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return total;
        char buffer[4096];
        DWORD got = 0;
        const DWORD want = available < sizeof buffer ? available : sizeof buffer;
        if (!ReadFile(pipe, buffer, want, &got, nullptr) || got == 0) return total;
        if (sink) sink(buffer, got);
        total += got;
    }
}

// Exit codes from 0x40000000 on are status codes of the system (an exception, an abort), never
// an exit code a program chooses.
bool isCrashCode(DWORD code) { return code >= 0x40000000u && code != STILL_ACTIVE; }

LONG WINAPI endAtOnce(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

constexpr DWORD kAbortCode = 0x40000015; // STATUS_FATAL_APP_EXIT, as abort() ends a program

void abortAtOnce(int) { TerminateProcess(GetCurrentProcess(), kAbortCode); }

} // namespace

ChildEnd runChild(const std::string& program, const std::vector<std::string>& arguments,
                  std::uint32_t timeoutMs, bool outputToError, const ReportSink& sink) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle reader, writer;
    if (!CreatePipe(reader.out(), writer.out(), &inherit, 1 << 16) ||
        !SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0))
        return notStarted(systemMessage(GetLastError()));

    std::string line;
    appendQuoted(line, program);
    const std::string channel = std::to_string(reinterpret_cast<std::uintptr_t>(writer.get()));
    for (const std::string& argument : arguments)
        appendQuoted(line, argument == kReportChannelWord ? channel : argument);

    Handle input(inheritable(STD_INPUT_HANDLE));
    Handle output(inheritable(STD_OUTPUT_HANDLE));
    Handle error(inheritable(STD_ERROR_HANDLE));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = outputToError ? error.get() : output.get();
    startup.hStdError = error.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return notStarted(systemMessage(GetLastError()));
    Handle child(process.hProcess);
    CloseHandle(process.hThread);
    writer.reset();
    input.reset();
    output.reset();
    error.reset();

    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kChildStartMs);
    bool reported = false;
    for (;;) {
        if (drain(reader.get(), sink) > 0) {
            deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
            reported = true;
        }
        DWORD wait = 20;
        if (timeoutMs != 0 || !reported) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                TerminateProcess(child.get(), 1);
                WaitForSingleObject(child.get(), INFINITE);
                ChildEnd end;
                end.kind = ChildEnd::Kind::TimedOut;
                return end;
            }
            if (left.count() < wait) wait = static_cast<DWORD>(left.count());
        }
        if (WaitForSingleObject(child.get(), wait) == WAIT_OBJECT_0) break;
    }
    drain(reader.get(), sink); // what it wrote last
    DWORD code = 0;
    if (!GetExitCodeProcess(child.get(), &code)) return notStarted(systemMessage(GetLastError()));
    ChildEnd end;
    end.kind = isCrashCode(code) ? ChildEnd::Kind::Crashed : ChildEnd::Kind::Exited;
    end.code = code;
    return end;
}

bool takeReportChannel(const std::string& name) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || value == 0) return false;
    const HANDLE channel = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
    DWORD flags = 0;
    if (!GetHandleInformation(channel, &flags)) return false;
    SetHandleInformation(channel, HANDLE_FLAG_INHERIT, 0);
    reportChannel = channel;
    return true;
}

bool reportToParent(const std::string& text) {
    if (reportChannel == nullptr) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(reportChannel, text.data() + done, static_cast<DWORD>(text.size() - done),
                       &wrote, nullptr) ||
            wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

void endQuietlyOnCrash() {
    // No error box, and no debugger: Wine starts one for an unhandled exception whatever the
    // error mode, but only after the top-level filter, which ends the process first.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endAtOnce);
    std::signal(SIGABRT, abortAtOnce);
}

std::string crashName(std::uint32_t code) {
    struct Name {
        std::uint32_t code;
        const char* meaning;
    };
    static const Name kNames[] = {
        {0xC0000005, "access violation"},
        {0xC000001D, "illegal instruction"},
        {0xC0000096, "privileged instruction"},
        {0xC0000094, "integer division by zero"},
        {0xC0000095, "integer overflow"},
        {0xC000008E, "floating-point division by zero"},
        {0xC00000FD, "stack overflow"},
        {0xC0000409, "stack buffer overrun"},
        {0xC0000374, "heap corruption"},
        {0x80000003, "breakpoint"},
        {0xC0000420, "assertion failure"},
        {kAbortCode, "abort"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(code));
    for (const Name& n : kNames)
        if (n.code == code) return std::string("exception ") + hex + " (" + n.meaning + ")";
    return std::string("exception ") + hex;
}

} // namespace kov::platform
