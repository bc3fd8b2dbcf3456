// Child processes for the admin tool: a copy of kovctl that loads provider libraries, so that a
// library that crashes or hangs takes down only the copy. The report channel is a pipe whose
// write end the child inherits under its own descriptor number.
#include "platform/platform.h"
#include "platform/posix/write_all.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kov::platform {
namespace {

// The channel this process took as a child; -1: none.
int reportChannel = -1;

// A descriptor closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
};

using Clock = std::chrono::steady_clock;

ChildEnd notStarted(const std::string& why) {
    ChildEnd end;
    end.error = why;
    return end;
}

ChildEnd endFromStatus(int status) {
    ChildEnd end;
    if (WIFSIGNALED(status)) {
        end.kind = ChildEnd::Kind::Crashed;
        end.code = static_cast<std::uint32_t>(WTERMSIG(status));
    } else {
        end.kind = ChildEnd::Kind::Exited;
        end.code = static_cast<std::uint32_t>(WEXITSTATUS(status));
    }
    return end;
}

// Everything the pipe holds now, counted in `total`; false once it is at its end.
bool drain(int fd, const ReportSink& sink, std::size_t& total) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (sink) sink(buffer, static_cast<std::size_t>(got));
            total += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

} // namespace

ChildEnd runChild(const std::string& program, const std::vector<std::string>& arguments,
                  std::uint32_t timeoutMs, bool outputToError, const ReportSink& sink) {
    // Said here: where posix_spawn runs under an emulator, a program that cannot be run shows
    // only as a child that ends with 127.
    if (access(program.c_str(), X_OK) != 0) return notStarted(program + ": " + std::strerror(errno));
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return notStarted(std::strerror(errno));
    Descriptor reader(ends[0]);
    Descriptor writer(ends[1]);
    // The child's copy of the write end, without close-on-exec; this process is the admin tool's
    // single thread here, so no other start can inherit it meanwhile.
    Descriptor childWriter(fcntl(writer.get(), F_DUPFD, 3));
    if (childWriter.get() < 0 || fcntl(reader.get(), F_SETFL, O_NONBLOCK) != 0)
        return notStarted(std::strerror(errno));

    const std::string channel = std::to_string(childWriter.get());
    std::vector<std::string> words{program};
    for (const std::string& argument : arguments)
        words.push_back(argument == kReportChannelWord ? channel : argument);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    SpawnActions actions;
    if (!actions.ok() ||
        (outputToError && posix_spawn_file_actions_adddup2(actions.get(), 2, 1) != 0))
        return notStarted("cannot prepare the process start");
    pid_t child = 0;
    const int started =
        posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    childWriter.reset();
    writer.reset();
    if (started != 0) return notStarted(std::strerror(started));

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kChildStartMs);
    bool open = true;
    bool reported = false;
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) {
            std::size_t got = 0;
            if (open) drain(reader.get(), sink, got); // what it wrote last
            return endFromStatus(status);
        }
        if (ended < 0 && errno != EINTR) return notStarted(std::strerror(errno));
        int wait = 20;
        if (timeoutMs != 0 || !reported) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                kill(child, SIGKILL);
                while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
                ChildEnd end;
                end.kind = ChildEnd::Kind::TimedOut;
                return end;
            }
            if (left.count() < wait) wait = static_cast<int>(left.count());
        }
        if (open) {
            // Woken by reports at once; by the child's end within the poll's period.
            pollfd watch{reader.get(), POLLIN, 0};
            if (poll(&watch, 1, wait) > 0) {
                std::size_t got = 0;
                open = drain(reader.get(), sink, got);
                if (got > 0) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
                reported = reported || got > 0;
            }
        } else {
            usleep(static_cast<useconds_t>(wait) * 1000);
        }
    }
}

bool takeReportChannel(const std::string& name) {
    char* end = nullptr;
    const long fd = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || fd < 3 || fcntl(static_cast<int>(fd), F_GETFD) < 0)
        return false;
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    reportChannel = static_cast<int>(fd);
    // A parent that has gone must not end this process with SIGPIPE: the write says so instead.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool reportToParent(const std::string& text) {
    return reportChannel >= 0 && writeAll(reportChannel, text);
}

void endQuietlyOnCrash() {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // The sanitizers' own handlers would turn a crash into an exit code of theirs.
    for (const int crash : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
        signal(crash, SIG_DFL);
}

std::string crashName(std::uint32_t code) {
    struct Name {
        int signal;
        const char* name;
        const char* meaning;
    };
    static const Name kNames[] = {
        {SIGSEGV, "SIGSEGV", "segmentation fault"}, {SIGBUS, "SIGBUS", "bus error"},
        {SIGILL, "SIGILL", "illegal instruction"},  {SIGFPE, "SIGFPE", "arithmetic error"},
        {SIGABRT, "SIGABRT", "aborted"},            {SIGTRAP, "SIGTRAP", "trace trap"},
        {SIGSYS, "SIGSYS", "bad system call"},      {SIGKILL, "SIGKILL", "killed"},
        {SIGTERM, "SIGTERM", "terminated"},         {SIGINT, "SIGINT", "interrupted"},
        {SIGPIPE, "SIGPIPE", "broken pipe"},
    };
    for (const Name& n : kNames)
        if (static_cast<std::uint32_t>(n.signal) == code)
            return std::string(n.name) + " (" + n.meaning + ")";
    return "signal " + std::to_string(code);
}

} // namespace kov::platform
