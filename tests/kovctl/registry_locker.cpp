// kov_test_registry_locker DB HOLD_MS COMMAND [ARGUMENTS...]: takes the registry database's
// exclusive lock, as a process in the middle of a long write would, runs COMMAND, and releases
// the lock when COMMAND ends or HOLD_MS have passed, whichever comes first. Exits with COMMAND's
// exit code and says on stderr which came first, so a test can tell a command that gave up while
// the lock was held from one that waited for it.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s DB HOLD_MS COMMAND [ARGUMENTS...]\n", argv[0]);
        return 125;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 10000) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "locker: cannot lock %s: %s\n", argv[1], sqlite3_errmsg(db));
        return 125;
    }
    const auto hold = std::chrono::milliseconds(std::atol(argv[2]));
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[3], argv + 3);
        std::perror("locker: exec");
        _exit(126);
    }
    int status = 0;
    bool locked = true;
    for (;;) {
        if (waitpid(child, &status, locked ? WNOHANG : 0) == child) break;
        if (locked && std::chrono::steady_clock::now() - start >= hold) {
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            locked = false;
            std::fprintf(stderr, "locker: released the lock while the command ran\n");
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (locked) std::fprintf(stderr, "locker: the command ended while the registry was locked\n");
    sqlite3_close(db);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
