// Ends the test program when something it waits for does not come: a hang (a deadlock, a
// synchronous call left waiting for ever) must fail the run with a word, not stall it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace kov::test {

class Watchdog {
public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // From now on `what` must be over within `seconds`, or the program ends with exit code 3.
    void start(const char* what, long seconds) {
        what_ = what;
        deadline_ = now() + seconds;
    }
    void stop() { deadline_ = 0; }

private:
    static long now() {
        using namespace std::chrono;
        return long(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
    }
    void watch() {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const long deadline = deadline_;
            if (deadline != 0 && now() > deadline) {
                std::fprintf(stderr, "hangs: %s\n", what_.load());
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<long> deadline_{0};
    std::atomic<const char*> what_{""};
    std::thread thread_;
};

// Watches one scope: `what` must be over within `seconds`.
class Deadline {
public:
    Deadline(const char* what, long seconds) { watchdog_.start(what, seconds); }
    ~Deadline() { watchdog_.stop(); }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    Watchdog watchdog_;
};

} // namespace kov::test
